// SPDX-License-Identifier: Apache-2.0
// libFuzzer harness: the vector row kernels of every instruction set this
// processor supports, and keyRow with each of them, against the per-pixel
// keyer, bit for bit (any NaN equals any NaN, as in the differential test),
// on fuzzer-chosen pixels and settings. Also: nothing written outside the
// span, the stop query's order (a stop at a chosen pixel leaves it and all
// after it unwritten), keying in place, and, for finite inputs, no
// floating-point flag that the per-pixel keyer does not raise.
//
// Input layout (little-endian):
//   byte 0      bit 0 checkAlpha, bit 1 the input has alpha
//   byte 1, 2   inMaskReplacementMode, sourceAlpha (signed bytes, any value)
//   bytes 3-42  ten floats: screen colour (3), replace colour (3), clip black,
//               clip white, gain, balance
//   byte 43     x, the first pixel index (0..255)
//   bytes 44-45 the stop query answers "stop" at this call (0..65535)
//   then        pixels, 16 bytes each: red, green, blue, alpha (at most 600)

#include "FloatFlags.h"
#include "RowKernel.h"
#include "veilcast/core/ScreenKeyer.h"

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using zav::detail::Isa;

constexpr float kUntouched = -31337.0f;
constexpr std::size_t kHeader = 46;
constexpr std::size_t kMaxPixels = 600;

float floatAt(const std::uint8_t* p)
{
    float f;
    std::memcpy(&f, p, sizeof f);
    return f;
}

std::uint32_t bitsOf(float f)
{
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

bool sameResult(float a, float b)
{
    return (std::isnan(a) && std::isnan(b)) || bitsOf(a) == bitsOf(b);
}

[[noreturn]] void fail(const char* what, const char* isa, std::size_t channel, std::size_t index, float got,
                       float want)
{
    std::fprintf(stderr, "kernel_fuzz: %s (%s), channel %zu index %zu: got %a (0x%08X), want %a (0x%08X)\n", what, isa,
                 channel, index, static_cast<double>(got), bitsOf(got), static_cast<double>(want), bitsOf(want));
    std::abort();
}

struct Planes {
    explicit Planes(std::size_t size)
    {
        for (auto& p : v)
            p.assign(size, kUntouched);
    }
    std::vector<float> v[4];
};

void expectSame(const Planes& got, const Planes& want, const char* what, const char* isa)
{
    for (std::size_t c = 0; c < 4; ++c)
        for (std::size_t i = 0; i < want.v[c].size(); ++i)
            if (!sameResult(got.v[c][i], want.v[c][i]))
                fail(what, isa, c, i, got.v[c][i], want.v[c][i]);
}

using zavtest::flagsRaisedBy;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < kHeader)
        return 0;
    zav::KeyParams p;
    p.checkAlpha = (data[0] & 1) != 0;
    const bool withAlpha = (data[0] & 2) != 0;
    p.inMaskReplacementMode = static_cast<std::int8_t>(data[1]);
    p.sourceAlpha = static_cast<std::int8_t>(data[2]);
    const std::uint8_t* f = data + 3;
    for (int c = 0; c < 3; ++c) {
        p.screenColor[c] = floatAt(f + 4 * c);
        p.inMaskReplacementColor[c] = floatAt(f + 12 + 4 * c);
    }
    p.clipBlack = floatAt(f + 24);
    p.clipWhite = floatAt(f + 28);
    p.screenGain = floatAt(f + 32);
    p.screenBalance = floatAt(f + 36);
    const std::int32_t x = data[43];
    const int stopAt = data[44] | (data[45] << 8);
    std::size_t n = (size - kHeader) / 16;
    if (n > kMaxPixels)
        n = kMaxPixels;
    const std::int32_t r = x + static_cast<std::int32_t>(n);
    const std::size_t total = static_cast<std::size_t>(r) + 8;  // a margin after the span

    Planes in(total);
    bool finite = true;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t c = 0; c < 4; ++c) {
            const float v = floatAt(data + kHeader + 16 * i + 4 * c);
            in.v[c][static_cast<std::size_t>(x) + i] = v;
            finite = finite && (std::isfinite(v) || (c == 3 && !withAlpha));
        }
    for (const float s : {p.screenColor[0], p.screenColor[1], p.screenColor[2], p.inMaskReplacementColor[0],
                          p.inMaskReplacementColor[1], p.inMaskReplacementColor[2], p.clipBlack, p.clipWhite,
                          p.screenGain, p.screenBalance})
        finite = finite && std::isfinite(s);

    const bool alphaOut = !p.checkAlpha;
    const auto arrays = [&](Planes& out) {
        return zav::RowArrays{{in.v[0].data(), in.v[1].data(), in.v[2].data()},
                              withAlpha ? in.v[3].data() : nullptr,
                              {out.v[0].data(), out.v[1].data(), out.v[2].data()},
                              alphaOut ? out.v[3].data() : nullptr};
    };
    const zav::ScreenAnalysis sa = zav::analyseScreen(p);

    // The per-pixel reference.
    Planes want(total);
    int wantFlags = 0;
    if (n > 0)
        wantFlags = flagsRaisedBy([&] { zav::detail::keySpanScalar(p, sa, x, r, arrays(want)); });

    for (const Isa isa : {Isa::Scalar, Isa::Sse2, Isa::Avx2, Isa::Avx512}) {
        if (!zav::detail::isaSupported(isa))
            continue;
        const char* name = zav::detail::isaName(isa);
        if (n > 0 && isa != Isa::Scalar) {
            Planes got(total);
            const int gotFlags = flagsRaisedBy([&] { zav::detail::keySpanWith(isa, p, sa, x, r, arrays(got)); });
            expectSame(got, want, "kernel against keyPixel", name);
            if (finite && (gotFlags & ~wantFlags) != 0) {
                std::fprintf(stderr, "kernel_fuzz: %s raises flags 0x%x that keyPixel does not\n", name,
                             gotFlags & ~wantFlags);
                std::abort();
            }
        }

        // keyRow with this kernel and a stop query that says stop at call stopAt:
        // pixels before it written as keyPixel wrote them, the rest untouched.
        Planes got(total);
        int calls = 0;
        zav::detail::keyRowWith(zav::detail::spanKernel(isa), p, x, r, arrays(got),
                                [&] { return calls++ == stopAt; });
        const int asked = static_cast<int>(n) < stopAt + 1 ? static_cast<int>(n) : stopAt + 1;
        if (calls != asked) {
            std::fprintf(stderr, "kernel_fuzz: keyRow (%s) asked %d times, want %d\n", name, calls, asked);
            std::abort();
        }
        Planes partial = want;
        for (auto& plane : partial.v)
            for (std::size_t i = static_cast<std::size_t>(x) + static_cast<std::size_t>(asked < stopAt ? asked : stopAt);
                 i < total; ++i)
                plane[i] = kUntouched;
        expectSame(got, partial, "keyRow with a stop", name);
    }

    // In place with the dispatched kernel: the outputs are the inputs.
    if (alphaOut && n > 0) {
        Planes same = in;
        zav::keyRow(p, x, r, same.v[0].data(), same.v[1].data(), same.v[2].data(),
                    withAlpha ? same.v[3].data() : nullptr, same.v[0].data(), same.v[1].data(), same.v[2].data(),
                    same.v[3].data(), [] { return false; });
        for (std::size_t c = 0; c < 4; ++c)
            for (std::size_t i = static_cast<std::size_t>(x); i < static_cast<std::size_t>(r); ++i)
                if (!sameResult(same.v[c][i], want.v[c][i]))
                    fail("keyRow in place", zav::detail::isaName(zav::detail::dispatchedIsa()), c, i, same.v[c][i],
                         want.v[c][i]);
    }
    return 0;
}
