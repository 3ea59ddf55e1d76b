// SPDX-License-Identifier: Apache-2.0
// Links the instruction-set kernels ahead of everything else and without
// optimisation (tests/CMakeLists.txt), so that any inline function of a
// shared header that a kernel file emitted with wider instructions would be
// the copy the linker keeps. Then keys pixels with the per-pixel keyer and
// the dispatched kernel; run under qemu's Nehalem (no AVX) it must not crash.

#include "RowKernel.h"
#include "veilcast/core/ScreenKeyer.h"

#include <cstdio>
#include <optional>

int main()
{
    zav::KeyParams p;
    p.screenColor[0] = 0.1f, p.screenColor[1] = 0.7f, p.screenColor[2] = 0.2f;
    p.sourceAlpha = 1;
    p.clipWhite = 0.9f;
    const zav::ScreenAnalysis sa = zav::analyseScreen(p);
    float in[4][37], out[4][37];
    for (int i = 0; i < 37; ++i) {
        in[0][i] = 0.02f * static_cast<float>(i);
        in[1][i] = 0.7f - 0.01f * static_cast<float>(i);
        in[2][i] = 0.2f;
        in[3][i] = 0.5f;
    }
    const zav::RowArrays a{{in[0], in[1], in[2]}, in[3], {out[0], out[1], out[2]}, out[3]};
    zav::detail::keySpanScalar(p, sa, 0, 37, a);
    zav::keyRow(p, 0, 37, in[0], in[1], in[2], in[3], out[0], out[1], out[2], out[3], [] { return false; });
    const float px[3] = {0.3f, 0.5f, 0.2f};
    const zav::PixelKeyResult k = zav::keyPixel(p, sa, px, 0.25f);
    std::printf("dispatched %s; pixel keyed to %g %g %g, alpha %g\n",
                zav::detail::isaName(zav::detail::dispatchedIsa()), static_cast<double>(k.color[0]),
                static_cast<double>(k.color[1]), static_cast<double>(k.color[2]), static_cast<double>(k.alpha));
    return 0;
}
