// SPDX-License-Identifier: Apache-2.0
#include "FloatFlags.h"
#include "RowKernel.h"

#include "AdversarialValues.h"
#include "FloatBits.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <limits>
#include <vector>

namespace {

using zav::detail::Isa;

constexpr float kUntouched = -4242.0f;

using zavtest::flagsRaisedBy;

std::string flagNames(int flags)
{
    std::string s;
    const std::pair<int, const char*> names[] = {{FE_INVALID, "invalid "},     {FE_DIVBYZERO, "divide-by-zero "},
                                                 {FE_OVERFLOW, "overflow "},   {FE_UNDERFLOW, "underflow "},
                                                 {FE_INEXACT, "inexact "}};
    for (const auto& [flag, name] : names)
        if (flags & flag)
            s += name;
    return s.empty() ? "none" : s;
}

bool finiteSettings(const zav::KeyParams& p)
{
    bool ok = std::isfinite(p.clipBlack) && std::isfinite(p.clipWhite) && std::isfinite(p.screenGain) &&
              std::isfinite(p.screenBalance);
    for (int c = 0; c < 3; ++c)
        ok = ok && std::isfinite(p.screenColor[c]) && std::isfinite(p.inMaskReplacementColor[c]);
    return ok;
}

class RowKernelTest : public ::testing::TestWithParam<Isa> {};

// Every vector kernel against the per-pixel reference: random and hostile
// pixels and settings, every span length 0..100 at every start offset within
// the widest vector, identical bits (any NaN equal to any NaN), and nothing
// written outside the span.
TEST_P(RowKernelTest, MatchesThePerPixelReference)
{
    const Isa isa = GetParam();
    if (!zav::detail::isaSupported(isa))
        GTEST_SKIP() << zav::detail::isaName(isa) << " is not available on this processor";

    zavtest::AdversarialValues gen(0xC0FFEE ^ static_cast<unsigned>(isa));
    constexpr int kMaxLength = 100, kOffsets = 16, kPad = 8;
    constexpr int kSize = kPad + kOffsets + kMaxLength + kPad;
    std::vector<float> in[4], want[4], got[4];
    long pixels = 0, finiteSpans = 0;
    for (int settings = 0; settings < 40; ++settings) {
        const zav::KeyParams p = gen.params();
        const zav::ScreenAnalysis sa = zav::analyseScreen(p);
        const bool withAlpha = gen.pick(3) != 0;
        for (auto& v : in) {
            v.resize(kSize);
            for (float& f : v)
                f = gen.value();
        }
        for (int length = 0; length <= kMaxLength; ++length) {
            for (int offset = 0; offset < kOffsets; ++offset) {
                for (int c = 0; c < 4; ++c) {
                    want[c].assign(kSize, kUntouched);
                    got[c].assign(kSize, kUntouched);
                }
                const int x = kPad + offset, r = x + length;
                const auto arrays = [&](std::vector<float>* out) {
                    return zav::RowArrays{{in[0].data(), in[1].data(), in[2].data()},
                                          withAlpha ? in[3].data() : nullptr,
                                          {out[0].data(), out[1].data(), out[2].data()},
                                          p.checkAlpha ? nullptr : out[3].data()};
                };
                if (length > 0) {
                    // No flag that the per-pixel keyer does not raise on the
                    // same pixels, when they and the settings are finite.
                    const int wantFlags =
                        flagsRaisedBy([&] { zav::detail::keySpanScalar(p, sa, x, r, arrays(want)); });
                    const int gotFlags =
                        flagsRaisedBy([&] { zav::detail::keySpanWith(isa, p, sa, x, r, arrays(got)); });
                    bool finite = finiteSettings(p);
                    for (int i = x; i < r && finite; ++i)
                        for (int c = 0; c < 4; ++c)
                            finite = finite && std::isfinite(in[c][i]);
                    if (finite) {
                        ++finiteSpans;
                        ASSERT_EQ(gotFlags & ~wantFlags, 0)
                            << zav::detail::isaName(isa) << " settings " << settings << " length " << length
                            << " offset " << offset << " raises " << flagNames(gotFlags & ~wantFlags);
                    }
                }
                pixels += length;
                for (int c = 0; c < 4; ++c)
                    for (int i = 0; i < kSize; ++i)
                        ASSERT_TRUE(zavtest::sameResult(got[c][i], want[c][i]))
                            << zav::detail::isaName(isa) << " settings " << settings << " length " << length
                            << " offset " << offset << " channel " << c << " index " << i << ": got " << got[c][i]
                            << " want " << want[c][i];
            }
        }
    }
    EXPECT_GT(pixels, 3'000'000);
    EXPECT_GT(finiteSpans, 20);
}

// Finite pixels and settings, hostile ones included (huge, tiny, subnormal,
// signed zeros, values that overflow on the way): each vector kernel raises
// no floating-point flag that keyPixel does not raise on the same pixels,
// checked on single pixels (padded to a whole vector), on spans, and with
// the results compared to the bit. The per-pixel keyer alone raises none for
// a pixel equal to the screen, where the vector lanes would divide 0 by 0.
TEST_P(RowKernelTest, RaisesNoFlagThatThePerPixelKeyerDoesNot)
{
    const Isa isa = GetParam();
    if (!zav::detail::isaSupported(isa))
        GTEST_SKIP() << zav::detail::isaName(isa) << " is not available on this processor";
    zavtest::AdversarialValues gen(0xF1A65 ^ static_cast<unsigned>(isa));
    const auto finite = [&](float f) {
        return std::isfinite(f) ? f : std::copysign(std::numeric_limits<float>::max(), f);
    };
    constexpr int kMax = 40;
    long checked = 0;
    for (int trial = 0; trial < 6000; ++trial) {
        zav::KeyParams p = gen.params();
        for (float* f : {&p.clipBlack, &p.clipWhite, &p.screenGain, &p.screenBalance})
            *f = finite(*f);
        for (int c = 0; c < 3; ++c) {
            p.screenColor[c] = finite(p.screenColor[c]);
            p.inMaskReplacementColor[c] = finite(p.inMaskReplacementColor[c]);
        }
        const zav::ScreenAnalysis sa = zav::analyseScreen(p);
        const int n = trial % 3 == 0 ? 1 : 1 + static_cast<int>(gen.pick(kMax));
        std::vector<float> in[4], want[4], got[4];
        const bool pixelIsScreen = gen.pick(4) == 0;
        for (int c = 0; c < 4; ++c) {
            in[c].resize(n);
            for (int i = 0; i < n; ++i)
                in[c][i] = (pixelIsScreen && c < 3) ? p.screenColor[c] : finite(gen.value());
            want[c].assign(n, kUntouched);
            got[c].assign(n, kUntouched);
        }
        const bool withAlpha = gen.pick(2) == 0;
        const auto arrays = [&](std::vector<float>* out) {
            return zav::RowArrays{{in[0].data(), in[1].data(), in[2].data()}, withAlpha ? in[3].data() : nullptr,
                                  {out[0].data(), out[1].data(), out[2].data()},
                                  p.checkAlpha ? nullptr : out[3].data()};
        };
        const int wantFlags = flagsRaisedBy([&] { zav::detail::keySpanScalar(p, sa, 0, n, arrays(want)); });
        const int gotFlags = flagsRaisedBy([&] { zav::detail::keySpanWith(isa, p, sa, 0, n, arrays(got)); });
        ASSERT_EQ(gotFlags & ~wantFlags, 0) << zav::detail::isaName(isa) << " trial " << trial << " length " << n
                                            << " raises " << flagNames(gotFlags & ~wantFlags);
        for (int c = 0; c < 4; ++c)
            for (int i = 0; i < n; ++i)
                ASSERT_TRUE(zavtest::sameResult(got[c][i], want[c][i])) << trial;
        ++checked;
    }
    EXPECT_EQ(checked, 6000);

    // A pixel equal to a green screen, keyed alone: keyPixel raises no invalid
    // operation (the vector lanes that do not stretch would divide 0 by 0).
    zav::KeyParams p;
    p.screenColor[1] = 1.0f;
    const zav::ScreenAnalysis sa = zav::analyseScreen(p);
    float in[3] = {0.0f, 1.0f, 0.0f}, out[4];
    const zav::RowArrays a{{&in[0], &in[1], &in[2]}, nullptr, {&out[0], &out[1], &out[2]}, &out[3]};
    const int wantFlags = flagsRaisedBy([&] { zav::detail::keySpanScalar(p, sa, 0, 1, a); });
    EXPECT_EQ(wantFlags, FE_INEXACT) << flagNames(wantFlags);
    const int gotFlags = flagsRaisedBy([&] { zav::detail::keySpanWith(isa, p, sa, 0, 1, a); });
    EXPECT_EQ(gotFlags, FE_INEXACT) << zav::detail::isaName(isa) << ": " << flagNames(gotFlags);
}

// Keying in place (outputs are the inputs) gives the same result.
TEST_P(RowKernelTest, InPlaceMatchesSeparateOutput)
{
    const Isa isa = GetParam();
    if (!zav::detail::isaSupported(isa))
        GTEST_SKIP();
    zavtest::AdversarialValues gen(99);
    for (int trial = 0; trial < 200; ++trial) {
        zav::KeyParams p = gen.params();
        p.checkAlpha = false;
        const zav::ScreenAnalysis sa = zav::analyseScreen(p);
        const int n = 1 + static_cast<int>(gen.pick(70));
        std::vector<float> buf[4], sep[4];
        for (int c = 0; c < 4; ++c) {
            buf[c].resize(static_cast<std::size_t>(n));
            for (float& f : buf[c])
                f = gen.value();
            sep[c].assign(static_cast<std::size_t>(n), kUntouched);
        }
        const std::vector<float> orig[4] = {buf[0], buf[1], buf[2], buf[3]};
        zav::detail::keySpanWith(isa, p, sa, 0, n,
                                 {{orig[0].data(), orig[1].data(), orig[2].data()}, orig[3].data(),
                                  {sep[0].data(), sep[1].data(), sep[2].data()}, sep[3].data()});
        zav::detail::keySpanWith(isa, p, sa, 0, n,
                                 {{buf[0].data(), buf[1].data(), buf[2].data()}, buf[3].data(),
                                  {buf[0].data(), buf[1].data(), buf[2].data()}, buf[3].data()});
        for (int c = 0; c < 4; ++c)
            for (int i = 0; i < n; ++i)
                ASSERT_TRUE(zavtest::sameResult(buf[c][i], sep[c][i])) << trial;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryInstructionSet, RowKernelTest, ::testing::ValuesIn(zav::detail::kVectorIsas),
                         [](const auto& param) {
                             switch (param.param) {
                             case Isa::Sse2: return std::string("SSE2");
                             case Isa::Avx2: return std::string("AVX2");
                             case Isa::Avx512: return std::string("AVX512");
                             case Isa::Neon: return std::string("NEON");
                             default: return std::string("unknown");
                             }
                         });

TEST(RowKernel, DispatchPicksASupportedVectorKernel)
{
    const Isa isa = zav::detail::dispatchedIsa();
    if (!std::getenv("VEILCAST_ISA")) {  // unless forced, a vector kernel
        EXPECT_NE(isa, Isa::Scalar);
    }
    EXPECT_TRUE(zav::detail::isaSupported(isa));
}

// The kernel dispatch picks is one this processor has, and keyRow runs with
// it and gives keyPixel's results. Under qemu (tests/CMakeLists.txt) the
// instruction set it must pick for the emulated processor is named in
// VEILCAST_EXPECT_ISA: AVX2 on Haswell, SSE2 on Nehalem, or the one forced
// with VEILCAST_ISA.
TEST(RowKernel, DispatchedKernelRunsOnThisProcessor)
{
    const Isa isa = zav::detail::dispatchedIsa();
    ASSERT_TRUE(zav::detail::isaSupported(isa)) << zav::detail::isaName(isa);
    if (const char* expected = std::getenv("VEILCAST_EXPECT_ISA")) {
        EXPECT_STREQ(zav::detail::isaName(isa), expected);
    }
    std::printf("dispatched: %s\n", zav::detail::isaName(isa));

    zavtest::AdversarialValues gen(4242);
    for (int trial = 0; trial < 50; ++trial) {
        const zav::KeyParams p = gen.params();
        const int n = 1 + static_cast<int>(gen.pick(300));
        std::vector<float> in[4], out[4];
        for (int c = 0; c < 4; ++c) {
            in[c].resize(static_cast<std::size_t>(n));
            for (float& f : in[c])
                f = gen.value();
            out[c].assign(static_cast<std::size_t>(n), kUntouched);
        }
        float* const alphaOut = p.checkAlpha ? nullptr : out[3].data();
        zav::keyRow(p, 0, n, in[0].data(), in[1].data(), in[2].data(), in[3].data(), out[0].data(), out[1].data(),
                    out[2].data(), alphaOut, [] { return false; });
        const zav::ScreenAnalysis sa = zav::analyseScreen(p);
        for (int i = 0; i < n; ++i) {
            const float px[3] = {in[0][i], in[1][i], in[2][i]};
            const zav::PixelKeyResult k = zav::keyPixel(p, sa, px, in[3][i]);
            const float want[4] = {alphaOut ? k.color[0] : k.alpha, alphaOut ? k.color[1] : k.alpha,
                                   alphaOut ? k.color[2] : k.alpha, alphaOut ? k.alpha : kUntouched};
            for (int c = 0; c < 4; ++c)
                ASSERT_TRUE(zavtest::sameResult(out[c][i], want[c])) << trial << " " << i << " " << c;
        }
    }
}

}  // namespace
