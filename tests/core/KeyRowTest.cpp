// SPDX-License-Identifier: Apache-2.0
#include "RowKernel.h"
#include "veilcast/core/ScreenKeyer.h"

#include "AdversarialValues.h"
#include "FloatBits.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace {

using zavtest::bits;
using zavtest::sameResult;

constexpr float kUntouched = -12345.0f;

// A span of input pixels and output arrays pre-filled with a sentinel.
struct Span {
    explicit Span(int n)
        : r(n), g(n), b(n), a(n), outR(n, kUntouched), outG(n, kUntouched), outB(n, kUntouched),
          outA(n, kUntouched)
    {
    }
    std::vector<float> r, g, b, a, outR, outG, outB, outA;
};

zav::KeyParams greenScreen()
{
    zav::KeyParams p;
    p.screenColor[1] = 1.0f;
    return p;
}

Span gradient(int n)
{
    Span s(n);
    for (int i = 0; i < n; ++i) {
        s.r[i] = 0.01f * static_cast<float>(i % 50);
        s.g[i] = 0.9f - 0.005f * static_cast<float>(i % 100);
        s.b[i] = 0.1f;
        s.a[i] = 0.5f;
    }
    return s;
}

const auto kNeverStop = [] { return false; };

TEST(KeyRow, WritesKeyPixelResults)
{
    const zav::KeyParams p = greenScreen();
    Span s = gradient(40);
    zav::keyRow(p, 0, 40, s.r.data(), s.g.data(), s.b.data(), nullptr, s.outR.data(), s.outG.data(),
                s.outB.data(), s.outA.data(), kNeverStop);
    const zav::ScreenAnalysis sa = zav::analyseScreen(p);
    for (int i = 0; i < 40; ++i) {
        const float px[3] = {s.r[i], s.g[i], s.b[i]};
        const zav::PixelKeyResult k = zav::keyPixel(p, sa, px, std::nullopt);
        EXPECT_EQ(bits(s.outR[i]), bits(k.color[0]));
        EXPECT_EQ(bits(s.outG[i]), bits(k.color[1]));
        EXPECT_EQ(bits(s.outB[i]), bits(k.color[2]));
        EXPECT_EQ(bits(s.outA[i]), bits(k.alpha));
    }
}

TEST(KeyRow, MatteInspectionWritesTheMatteIntoColourOnly)
{
    zav::KeyParams p = greenScreen();
    p.checkAlpha = true;
    Span s = gradient(16);
    zav::keyRow(p, 0, 16, s.r.data(), s.g.data(), s.b.data(), s.a.data(), s.outR.data(),
                s.outG.data(), s.outB.data(), nullptr, kNeverStop);
    const zav::ScreenAnalysis sa = zav::analyseScreen(p);
    for (int i = 0; i < 16; ++i) {
        const float px[3] = {s.r[i], s.g[i], s.b[i]};
        const float alpha = zav::keyPixel(p, sa, px, s.a[i]).alpha;
        EXPECT_EQ(bits(s.outR[i]), bits(alpha));
        EXPECT_EQ(bits(s.outG[i]), bits(alpha));
        EXPECT_EQ(bits(s.outB[i]), bits(alpha));
        EXPECT_EQ(s.outA[i], kUntouched);
    }
}

TEST(KeyRow, EmptyOrInvertedSpanWritesNothingAndNeverAsks)
{
    const zav::KeyParams p = greenScreen();
    Span s = gradient(4);
    int asked = 0;
    for (auto [x, r] : {std::pair{2, 2}, std::pair{3, 1}}) {
        zav::keyRow(p, x, r, s.r.data(), s.g.data(), s.b.data(), nullptr, s.outR.data(),
                    s.outG.data(), s.outB.data(), s.outA.data(), [&] { return ++asked, false; });
    }
    EXPECT_EQ(asked, 0);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(s.outR[i], kUntouched);
}

TEST(KeyRow, SpanIsAddressedByPixelIndex)
{
    // Arrays are addressed by absolute pixel index: keying 5..9 of a base
    // pointer offset by -5 touches elements 0..4.
    const zav::KeyParams p = greenScreen();
    Span s = gradient(5);
    const int x = 5;
    zav::keyRow(p, x, x + 5, s.r.data() - x, s.g.data() - x, s.b.data() - x, nullptr,
                s.outR.data() - x, s.outG.data() - x, s.outB.data() - x, s.outA.data() - x, kNeverStop);
    for (int i = 0; i < 5; ++i)
        EXPECT_NE(s.outA[i], kUntouched);
}

TEST(KeyRow, StopLeavesLaterPixelsUntouched)
{
    const zav::KeyParams p = greenScreen();
    for (int k : {0, 1, 7, 255, 256, 257, 600}) {
        const int n = 700;
        Span s = gradient(n);
        int asked = 0;
        zav::keyRow(p, 0, n, s.r.data(), s.g.data(), s.b.data(), nullptr, s.outR.data(), s.outG.data(),
                    s.outB.data(), s.outA.data(), [&] { return asked++ == k; });
        EXPECT_EQ(asked, k + 1) << "no further question after the first stop";
        for (int i = 0; i < n; ++i) {
            if (i < k) {
                EXPECT_NE(s.outA[i], kUntouched) << "pixel " << i << " stop at " << k;
            } else {
                EXPECT_EQ(s.outR[i], kUntouched) << "pixel " << i << " stop at " << k;
                EXPECT_EQ(s.outA[i], kUntouched) << "pixel " << i << " stop at " << k;
            }
        }
    }
}

TEST(KeyRow, InPlaceKeyingMatchesSeparateOutput)
{
    zav::KeyParams p = greenScreen();
    p.sourceAlpha = 1;
    Span s = gradient(33);
    Span inPlace = s;
    zav::keyRow(p, 0, 33, s.r.data(), s.g.data(), s.b.data(), s.a.data(), s.outR.data(), s.outG.data(),
                s.outB.data(), s.outA.data(), kNeverStop);
    zav::keyRow(p, 0, 33, inPlace.r.data(), inPlace.g.data(), inPlace.b.data(), inPlace.a.data(),
                inPlace.r.data(), inPlace.g.data(), inPlace.b.data(), inPlace.a.data(), kNeverStop);
    for (int i = 0; i < 33; ++i) {
        EXPECT_EQ(bits(inPlace.r[i]), bits(s.outR[i]));
        EXPECT_EQ(bits(inPlace.a[i]), bits(s.outA[i]));
    }
}

// keyRow over random and hostile pixels and settings must equal keyPixel
// applied pixel by pixel, bit for bit.
TEST(KeyRow, MatchesKeyPixelOnAdversarialInput)
{
    zavtest::AdversarialValues gen(0x5eed1234);
    for (int trial = 0; trial < 3000; ++trial) {
        const zav::KeyParams p = gen.params();
        const int n = static_cast<int>(gen.pick(300));
        const int x = static_cast<int>(gen.pick(20));
        Span s(n + x);
        for (int i = 0; i < n + x; ++i) {
            s.r[i] = gen.value();
            s.g[i] = gen.value();
            s.b[i] = gen.value();
            s.a[i] = gen.value();
        }
        const bool withAlpha = gen.pick(2) == 0;
        const bool alphaOut = !p.checkAlpha;
        zav::keyRow(p, x, x + n, s.r.data(), s.g.data(), s.b.data(), withAlpha ? s.a.data() : nullptr,
                    s.outR.data(), s.outG.data(), s.outB.data(), alphaOut ? s.outA.data() : nullptr,
                    kNeverStop);
        const zav::ScreenAnalysis sa = zav::analyseScreen(p);
        for (int i = x; i < x + n; ++i) {
            const float px[3] = {s.r[i], s.g[i], s.b[i]};
            const auto k = zav::keyPixel(p, sa, px, withAlpha ? std::optional<float>(s.a[i]) : std::nullopt);
            const float want[4] = {alphaOut ? k.color[0] : k.alpha, alphaOut ? k.color[1] : k.alpha,
                                   alphaOut ? k.color[2] : k.alpha, alphaOut ? k.alpha : kUntouched};
            const float got[4] = {s.outR[i], s.outG[i], s.outB[i], s.outA[i]};
            for (int c = 0; c < 4; ++c)
                ASSERT_TRUE(sameResult(got[c], want[c]))
                    << "trial " << trial << " pixel " << i << " channel " << c << ": got " << got[c]
                    << " want " << want[c];
        }
    }
}

// The keyer's order, seen from the stop query itself: at its i-th call (from
// 0) pixel x+i-1 is already written, in all its channels, with keyPixel's
// result, and pixel x+i is not; a stop at any call leaves that pixel and all
// after it unwritten and is never followed by another question. Every kernel
// (through keyRowWith, which keyRow runs with the dispatched one), every span
// length 0..100 and lengths around the compute-block boundaries, starting at
// several offsets, with and without an alpha output.
class KeyRowOrderTest : public ::testing::TestWithParam<zav::detail::Isa> {};

TEST_P(KeyRowOrderTest, StopQueryWatchesEachPixelWrittenAfterItsQuestion)
{
    using zav::detail::Isa;
    const Isa isa = GetParam();
    if (!zav::detail::isaSupported(isa))
        GTEST_SKIP() << zav::detail::isaName(isa) << " is not available on this processor";
    const zav::detail::SpanKernel kernel = zav::detail::spanKernel(isa);

    constexpr int B = zav::detail::kComputeBlock;
    std::vector<int> lengths;
    for (int n = 0; n <= 100; ++n)
        lengths.push_back(n);
    for (int edge : {B, 2 * B, 3 * B})
        for (int d : {-1, 0, 1})
            lengths.push_back(edge + d);

    zavtest::AdversarialValues gen(0x0D3E5 + static_cast<unsigned>(isa));
    long questions = 0;
    for (const int n : lengths) {
        for (const bool alphaOut : {true, false}) {
            zav::KeyParams p = greenScreen();
            p.checkAlpha = !alphaOut;
            p.sourceAlpha = 1;
            p.clipBlack = 0.05f;
            p.clipWhite = 0.9f;
            const zav::ScreenAnalysis sa = zav::analyseScreen(p);
            const int x = static_cast<int>(gen.pick(20));
            Span s(x + n);
            for (int i = 0; i < x + n; ++i) {
                s.r[i] = 0.01f * static_cast<float>(gen.pick(100));
                s.g[i] = 0.01f * static_cast<float>(gen.pick(100));
                s.b[i] = 0.01f * static_cast<float>(gen.pick(100));
                s.a[i] = 0.01f * static_cast<float>(gen.pick(100));
            }
            // What keyPixel writes into each channel of pixel i.
            std::vector<std::array<float, 4>> want(static_cast<std::size_t>(x + n));
            for (int i = x; i < x + n; ++i) {
                const float px[3] = {s.r[i], s.g[i], s.b[i]};
                const zav::PixelKeyResult k = zav::keyPixel(p, sa, px, s.a[i]);
                want[i] = alphaOut ? std::array<float, 4>{k.color[0], k.color[1], k.color[2], k.alpha}
                                   : std::array<float, 4>{k.alpha, k.alpha, k.alpha, kUntouched};
            }
            const auto expected = [&](int i, int c) { return want[i][c]; };
            std::vector<float>* const out[4] = {&s.outR, &s.outG, &s.outB, &s.outA};
            const auto written = [&](int i) {
                for (int c = 0; c < 4; ++c)
                    if (bits((*out[c])[i]) != bits(expected(i, c)))
                        return false;
                return true;
            };
            const auto untouched = [&](int i) {
                for (int c = 0; c < 4; ++c)
                    if ((*out[c])[i] != kUntouched)
                        return false;
                return true;
            };
            // Stop at every question for short spans, at a sample for long ones.
            std::vector<int> stops;
            for (int k = 0; k <= n + 1; ++k)
                if (n <= 100 || k < 3 || k % 17 == 0 || std::abs(k % B) <= 1 || std::abs(k % B - B) <= 1 || k >= n - 1)
                    stops.push_back(k);
            for (const int stopAt : stops) {
                for (auto* o : out)
                    std::fill(o->begin(), o->end(), kUntouched);
                int calls = 0;
                bool ok = true;
                std::string why;
                const auto query = [&] {
                    const int i = x + calls;
                    if (calls > 0 && !written(i - 1)) {
                        ok = false;
                        why = "pixel " + std::to_string(i - 1) + " not written before the next question";
                    }
                    if (i < x + n && !untouched(i)) {
                        ok = false;
                        why = "pixel " + std::to_string(i) + " written before its question";
                    }
                    return calls++ == stopAt;
                };
                const zav::RowArrays a{{s.r.data(), s.g.data(), s.b.data()},
                                       s.a.data(),
                                       {s.outR.data(), s.outG.data(), s.outB.data()},
                                       alphaOut ? s.outA.data() : nullptr};
                zav::detail::keyRowWith(kernel, p, x, x + n, a, query);
                questions += calls;
                ASSERT_TRUE(ok) << zav::detail::isaName(isa) << " length " << n << " stop at " << stopAt << ": "
                                << why;
                ASSERT_EQ(calls, std::min(stopAt + 1, n)) << zav::detail::isaName(isa) << " length " << n;
                for (int i = x; i < x + n; ++i) {
                    const bool done = i - x < stopAt ? written(i) : untouched(i);
                    ASSERT_TRUE(done) << zav::detail::isaName(isa) << " length " << n << " stop at " << stopAt
                                      << " pixel " << i;
                }
                for (int i = 0; i < x; ++i)
                    ASSERT_TRUE(untouched(i));
            }
        }
    }
    EXPECT_GT(questions, 100'000);
}

// In place (outputs are the inputs) across compute-block boundaries, with
// every kernel: the same as separate outputs.
TEST_P(KeyRowOrderTest, InPlaceAcrossBlocksMatchesSeparateOutput)
{
    using zav::detail::Isa;
    const Isa isa = GetParam();
    if (!zav::detail::isaSupported(isa))
        GTEST_SKIP();
    zavtest::AdversarialValues gen(77);
    for (int n : {1, 31, 127, 128, 129, 300, 515}) {
        for (int trial = 0; trial < 20; ++trial) {
            zav::KeyParams p = gen.params();
            p.checkAlpha = trial % 2 == 0;
            Span s(n);
            for (int i = 0; i < n; ++i)
                s.r[i] = gen.value(), s.g[i] = gen.value(), s.b[i] = gen.value(), s.a[i] = gen.value();
            Span inPlace = s;
            const auto kernel = zav::detail::spanKernel(isa);
            float* const alphaSep = p.checkAlpha ? nullptr : s.outA.data();
            float* const alphaSame = p.checkAlpha ? nullptr : inPlace.a.data();
            zav::detail::keyRowWith(kernel, p, 0, n,
                                    {{s.r.data(), s.g.data(), s.b.data()}, s.a.data(),
                                     {s.outR.data(), s.outG.data(), s.outB.data()}, alphaSep},
                                    kNeverStop);
            zav::detail::keyRowWith(kernel, p, 0, n,
                                    {{inPlace.r.data(), inPlace.g.data(), inPlace.b.data()}, inPlace.a.data(),
                                     {inPlace.r.data(), inPlace.g.data(), inPlace.b.data()}, alphaSame},
                                    kNeverStop);
            for (int i = 0; i < n; ++i) {
                ASSERT_TRUE(sameResult(inPlace.r[i], s.outR[i])) << n << " " << trial << " " << i;
                ASSERT_TRUE(sameResult(inPlace.g[i], s.outG[i])) << n << " " << trial << " " << i;
                ASSERT_TRUE(sameResult(inPlace.b[i], s.outB[i])) << n << " " << trial << " " << i;
                if (!p.checkAlpha) {
                    ASSERT_TRUE(sameResult(inPlace.a[i], s.outA[i])) << n << " " << trial << " " << i;
                }
            }
        }
    }
}

std::vector<zav::detail::Isa> everyKernel()
{
    std::vector<zav::detail::Isa> kernels{zav::detail::Isa::Scalar};
    kernels.insert(kernels.end(), zav::detail::kVectorIsas.begin(), zav::detail::kVectorIsas.end());
    return kernels;
}

INSTANTIATE_TEST_SUITE_P(EveryKernel, KeyRowOrderTest, ::testing::ValuesIn(everyKernel()),
                         [](const auto& param) {
                             switch (param.param) {
                             case zav::detail::Isa::Scalar: return std::string("Scalar");
                             case zav::detail::Isa::Sse2: return std::string("SSE2");
                             case zav::detail::Isa::Avx2: return std::string("AVX2");
                             case zav::detail::Isa::Avx512: return std::string("AVX512");
                             case zav::detail::Isa::Neon: return std::string("NEON");
                             }
                             return std::string("unknown");
                         });

}  // namespace
