// SPDX-License-Identifier: Apache-2.0
// Keys a small synthetic scan line against a green screen with the core alone,
// no host, and prints input and output side by side.

#include "veilcast/core/ScreenKeyer.h"

#include <cstdio>

int main()
{
    constexpr int n = 8;
    float red[n], green[n], blue[n];
    for (int i = 0; i < n; ++i) {  // from pure backing to a skin tone
        const float t = static_cast<float>(i) / (n - 1);
        red[i] = 0.05f + 0.75f * t;
        green[i] = 0.33f + 0.17f * t;
        blue[i] = 0.08f + 0.27f * t;
    }
    zav::KeyParams params;
    params.screenColor[0] = 0.05f;
    params.screenColor[1] = 0.33f;
    params.screenColor[2] = 0.08f;

    float outR[n], outG[n], outB[n], outA[n];
    zav::keyRow(params, 0, n, red, green, blue, nullptr, outR, outG, outB, outA, [] { return false; });

    std::printf("%-26s %-26s %s\n", "source R G B", "keyed R G B", "matte");
    for (int i = 0; i < n; ++i)
        std::printf("%.4f %.4f %.4f    %.4f %.4f %.4f    %.4f\n", red[i], green[i], blue[i], outR[i],
                    outG[i], outB[i], outA[i]);
    return 0;
}
