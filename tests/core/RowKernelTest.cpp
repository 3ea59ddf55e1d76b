#include "RowKernel.h"

#include "AdversarialValues.h"
#include "FloatBits.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using zav::detail::Isa;

constexpr float kUntouched = -4242.0f;

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
    long pixels = 0;
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
                    zav::detail::keySpanScalar(p, sa, x, r, arrays(want));
                    zav::detail::keySpanWith(isa, p, sa, x, r, arrays(got));
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

INSTANTIATE_TEST_SUITE_P(EveryInstructionSet, RowKernelTest, ::testing::Values(Isa::Sse2, Isa::Avx2, Isa::Avx512),
                         [](const auto& param) {
                             return std::string(param.param == Isa::Sse2   ? "SSE2"
                                                : param.param == Isa::Avx2 ? "AVX2"
                                                                          : "AVX512");
                         });

TEST(RowKernel, DispatchPicksASupportedVectorKernel)
{
    const Isa isa = zav::detail::dispatchedIsa();
    EXPECT_NE(isa, Isa::Scalar);
    EXPECT_TRUE(zav::detail::isaSupported(isa));
}

}  // namespace
