// SPDX-License-Identifier: Apache-2.0
#include "RowKernel.h"
#include "veilcast/core/ScreenKeyer.h"

#include "FloatBits.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <limits>
#include <string>
#include <vector>

// Cases worked out by hand from the numbered steps of the keyer's
// arithmetic, in single precision, compared by bits.
//
// The expected bit patterns do not come from keyPixel: they were computed
// once by an independent model of the keyer's steps (handworked/keyer_f32.py:
// each operation done on two single-precision values and rounded to single
// precision, in the keyer's order) and chosen by handworked/make_table.py,
// which also checks that each misreading listed for a step (a reordered sum
// or product, a strict comparison for a non-strict one, a missing clamp...)
// changes at least one bit of at least one row of that step's table. The
// ordinary rows use a gain of 1.1 and a balance of 0.3, where reorderings
// round differently; the designed rows say in their comment how they arise.
//
// Every row is keyed by keyPixel and, through keyRowWith, by every kernel
// this processor supports, in a span long enough for whole vectors and a
// tail, with and without an alpha output.

namespace {

using zavtest::bits;
using zavtest::fromBits;
using zavtest::sameResult;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNoAlpha = std::numeric_limits<float>::lowest();  // no alpha sample
constexpr std::uint32_t kAnyNaN = 0x7FC00000;  // any NaN (sign and payload are free)

struct Case {
    float screen[3];
    float gain, balance, clipBlack, clipWhite;
    int mode, sourceAlpha;
    float replace[3];
    float pixel[3];
    float alpha;  // kNoAlpha: the input has no alpha
    std::uint32_t want[4];  // red, green, blue, alpha
};

zav::KeyParams paramsOf(const Case& c)
{
    zav::KeyParams p;
    for (int i = 0; i < 3; ++i) {
        p.screenColor[i] = c.screen[i];
        p.inMaskReplacementColor[i] = c.replace[i];
    }
    p.screenGain = c.gain;
    p.screenBalance = c.balance;
    p.clipBlack = c.clipBlack;
    p.clipWhite = c.clipWhite;
    p.inMaskReplacementMode = c.mode;
    p.sourceAlpha = c.sourceAlpha;
    return p;
}

bool same(float got, std::uint32_t want)
{
    return sameResult(got, fromBits(want));
}

std::string hex(float f)
{
    char s[16];
    std::snprintf(s, sizeof s, "0x%08X", bits(f));
    return s;
}

// Keys one row of the table every way the keyer can and compares the bits.
void expectCase(const char* step, std::size_t row, const Case& c)
{
    SCOPED_TRACE(std::string(step) + " row " + std::to_string(row));
    const zav::KeyParams p = paramsOf(c);
    const zav::ScreenAnalysis sa = zav::analyseScreen(p);
    const bool hasAlpha = c.alpha != kNoAlpha;
    const zav::PixelKeyResult k =
        zav::keyPixel(p, sa, c.pixel, hasAlpha ? std::optional<float>(c.alpha) : std::nullopt);
    const float got[4] = {k.color[0], k.color[1], k.color[2], k.alpha};
    for (int ch = 0; ch < 4; ++ch)
        EXPECT_TRUE(same(got[ch], c.want[ch]))
            << "keyPixel channel " << ch << ": got " << hex(got[ch]) << " want " << std::hex << c.want[ch];

    // The same pixel 21 times, so that each vector kernel keys it in whole
    // vectors and in a padded tail.
    constexpr int n = 21;
    using zav::detail::Isa;
    std::vector<Isa> kernels{Isa::Scalar};
    kernels.insert(kernels.end(), zav::detail::kVectorIsas.begin(), zav::detail::kVectorIsas.end());
    for (const Isa isa : kernels) {
        if (!zav::detail::isaSupported(isa))
            continue;
        for (const bool alphaOut : {true, false}) {
            std::vector<float> in[4], out[4];
            for (int ch = 0; ch < 4; ++ch) {
                in[ch].assign(n, ch < 3 ? c.pixel[ch] : c.alpha);
                out[ch].assign(n, -1.0f);
            }
            const zav::RowArrays a{{in[0].data(), in[1].data(), in[2].data()},
                                   hasAlpha ? in[3].data() : nullptr,
                                   {out[0].data(), out[1].data(), out[2].data()},
                                   alphaOut ? out[3].data() : nullptr};
            zav::detail::keyRowWith(zav::detail::spanKernel(isa), p, 0, n, a, [] { return false; });
            for (int i = 0; i < n; ++i) {
                for (int ch = 0; ch < 3; ++ch) {
                    const std::uint32_t want = alphaOut ? c.want[ch] : c.want[3];
                    EXPECT_TRUE(same(out[ch][i], want))
                        << zav::detail::isaName(isa) << (alphaOut ? "" : " matte only") << " pixel " << i
                        << " channel " << ch << ": got " << hex(out[ch][i]) << " want " << std::hex << want;
                }
                if (alphaOut) {
                    EXPECT_TRUE(same(out[3][i], c.want[3]))
                        << zav::detail::isaName(isa) << " pixel " << i << " alpha: got " << hex(out[3][i]);
                }
            }
        }
    }
}

template <std::size_t N>
void expectTable(const char* step, const Case (&table)[N])
{
    for (std::size_t i = 0; i < N; ++i)
        expectCase(step, i, table[i]);
}

// Columns: screen colour; gain, balance, clip black, clip white; replace
// mode, source alpha; replace colour; then the pixel, its alpha sample, and
// the expected red, green, blue and alpha bits.

// Step 3 of analyseScreen and of keyPixel: x[p] - (((1 - b) x[l]) + (b x[g])).
// With balance 0.3, (x[p] - (1 - b) x[l]) - b x[g] and the interpolation
// x[p] - (x[l] + b (x[g] - x[l])) round differently, both in the screen
// difference (checked on its own below) and in the pixel difference.
TEST(HandWorked, Step3ScreenAndPixelDifference)
{
    const Case table[] = {
        // ordinary
        {{0.05f, 0.56f, 0.15f}, 1.1f, 0.3f, 0.0f, 1.0f, 0, 0, {0.8f, 0.65f, 0.89f},
         {0.14f, 0.69f, 0.48f}, kNoAlpha, {0x3D8052B6, 0x3DB663E8, 0x3E99986E, 0x3E99986E}},
    };
    expectTable("Step3ScreenAndPixelDifference", table);
    // The screen difference of that row, 0.48 rounded in the keyer's order.
    zav::KeyParams p = paramsOf(table[0]);
    EXPECT_EQ(bits(zav::analyseScreen(p).screenDifference), 0x3EF5C290u);
}

// Step 4: w = v / difference, C = 1 - ((gain w) gain), E = w average,
// k = gain E, D[c] = P[c] - ((((S[c] w) - E) + k) gain), a D[c] that is not
// >= 0 becomes 0, and v >= 0 (not v > 0) decides. The first row tells apart
// (gain gain) w, (S w) - (E - k), ((S w) + k) - E and ((S w - E) gain) + (k gain).
TEST(HandWorked, Step4ScreenSubtraction)
{
    const Case table[] = {
        // ordinary
        {{0.03f, 0.62f, 0.04f}, 1.1f, 0.3f, 0.0f, 1.0f, 0, 0, {0.58f, 0.66f, 0.47f},
         {0.08f, 0.46f, 0.1f}, kNoAlpha, {0x3D2F8893, 0x3C193A20, 0x3D64BF22, 0x3E6A8F80}},
        // v = 0 with a negative channel: keyed, D = P clamped at 0
        {{0.0f, 1.0f, 0.0f}, 1.0f, 0.5f, 0.0f, 1.0f, 3, 0, {0.5f, 0.5f, 0.5f},
         {-0.2f, 0.1f, 0.4f}, kNoAlpha, {0x00000000, 0x3DCCCCCD, 0x3ECCCCCD, 0x3F800000}},
        // NaN D[c] (0 times an infinite w, inf - inf) becomes 0
        {{0.0f, 1.0f, -2.0f}, -1.0f, 0.5f, 0.0f, 1.0f, 3, 0, {0.5f, 0.5f, 0.5f},
         {0.0f, 3e+38f, -3e+38f}, kNoAlpha, {0x00000000, 0x7F800000, 0x00000000, 0x3F800000}},
    };
    expectTable("Step4ScreenSubtraction", table);
}

// Step 5: the replacement rule, tested in the keyer's order, with a NaN C.
TEST(HandWorked, Step5MatteFloor)
{
    const Case table[] = {
        // NaN C (gain 0 times an infinite w) is raised to the largest channel
        {{0.5f, 0.6f, 0.0f}, 0.0f, 2.0f, 0.0f, 1.0f, 3, 0, {0.5f, 0.5f, 0.5f},
         {0.0f, 3e+38f, 0.0f}, kNoAlpha, {0x00000000, 0x7F61B1E6, 0x00000000, 0x3F800000}},
        // ordinary, C above the floor
        {{0.1f, 0.8f, 0.2f}, 1.1f, 0.3f, 0.0f, 1.0f, 3, 0, {0.5f, 0.5f, 0.5f},
         {0.3f, 0.45f, 0.2f}, kNoAlpha, {0x3E84EBDC, 0x3E4F9CB9, 0x3E052E60, 0x3F2CC7EA}},
    };
    expectTable("Step5MatteFloor", table);
}

// Step 6: a matte above 1 is clamped before clip black re-stretches it.
TEST(HandWorked, Step6MatteAboveOneClamped)
{
    const Case table[] = {
        // a pixel brighter than 1, clip black 0.2
        {{0.0f, 1.0f, 0.0f}, 1.0f, 0.5f, 0.2f, 1.0f, 3, 0, {0.5f, 0.5f, 0.5f},
         {1.5f, 1.2f, 1.3f}, kNoAlpha, {0x3FC00000, 0x3F99999A, 0x3FA66666, 0x3F800000}},
    };
    expectTable("Step6MatteAboveOneClamped", table);
}

// Step 7: t = (H - cb) / (1 - cb), s = t / H, D[c] = s D[c]. The first row
// tells s D from (D t) / H and from (D / H) t; the others clip a pixel whose
// colour is not black, once with a NaN clip black.
TEST(HandWorked, Step7ClipBlack)
{
    const Case table[] = {
        // ordinary, clip black 0.2
        {{0.12f, 0.82f, 0.06f}, 1.1f, 0.3f, 0.2f, 1.0f, 0, 0, {0.61f, 0.13f, 0.39f},
         {0.36f, 0.76f, 0.49f}, kNoAlpha, {0x3E5D5EFC, 0x3E8CFE13, 0x3EAAD7E3, 0x3EBD81DE}},
        // matte 0.55 at or below clip black 0.6: colour (0.2, 0.15, 0.1) becomes black
        {{0.0f, 1.0f, 0.0f}, 1.0f, 0.5f, 0.6f, 1.0f, 3, 0, {0.5f, 0.5f, 0.5f},
         {0.2f, 0.6f, 0.1f}, kNoAlpha, {0x00000000, 0x00000000, 0x00000000, 0x00000000}},
        // NaN clip black: H > NaN is false, so the pixel is clipped to black
        {{0.0f, 1.0f, 0.0f}, 1.0f, 0.5f, kNaN, 1.0f, 3, 0, {0.5f, 0.5f, 0.5f},
         {0.2f, 0.6f, 0.1f}, kNoAlpha, {0x00000000, 0x00000000, 0x00000000, 0x00000000}},
    };
    expectTable("Step7ClipBlack", table);
}

// Step 8: K = 1 when H >= cw, so a matte of 0 with clip white 0 or -0 goes to 1
// (and step 9 fills it with the pixel's luminance, 0x3F372474 = 0.7154 for
// green). With H > cw instead, K would stay 0. Clip white below 0 cannot tell
// the two apart: H is never negative after step 7 (C <= 0 only where D was
// clamped at 0, and a negative C gives H = mx >= 0), so those cases are left out.
TEST(HandWorked, Step8ClipWhite)
{
    const Case table[] = {
        // pixel equal to the screen (H = 0), clip white 0: H >= 0 gives K = 1
        {{0.0f, 1.0f, 0.0f}, 1.0f, 0.5f, 0.0f, 0.0f, 3, 0, {0.5f, 0.5f, 0.5f},
         {0.0f, 1.0f, 0.0f}, kNoAlpha, {0x3F372474, 0x3F372474, 0x3F372474, 0x3F800000}},
        // pixel (0.2, 0.6, 0.1), H = 0 after clip black 0.6, clip white -0: 0 >= -0
        {{0.0f, 1.0f, 0.0f}, 1.0f, 0.5f, 0.6f, -0.0f, 3, 0, {0.5f, 0.5f, 0.5f},
         {0.2f, 0.6f, 0.1f}, kNoAlpha, {0x3EF538EF, 0x3EF538EF, 0x3EF538EF, 0x3F800000}},
        // ordinary, clip white 0.8
        {{0.1f, 0.8f, 0.2f}, 1.1f, 0.3f, 0.0f, 0.8f, 3, 0, {0.5f, 0.5f, 0.5f},
         {0.3f, 0.6f, 0.2f}, kNoAlpha, {0x3E8DEE22, 0x3E4AB460, 0x3DFBF645, 0x3F014A1F}},
    };
    expectTable("Step8ClipWhite", table);
}

// Step 9: M = lum(P) (K - H) with lum(T) = ((T0 0.2125) + (T1 0.7154)) + (T2 0.0721);
// T0 0.2125 + (T1 0.7154 + T2 0.0721) and (T0 0.2125 + T2 0.0721) + T1 0.7154
// round differently here.
TEST(HandWorked, Step9LuminanceFill)
{
    const Case table[] = {
        // ordinary, clip white 0.8
        {{0.12f, 0.76f, 0.02f}, 1.1f, 0.3f, 0.0f, 0.8f, 0, 0, {0.16f, 0.43f, 0.88f},
         {0.11f, 0.71f, 0.47f}, kNoAlpha, {0x3DBBDBF9, 0x3EB17E98, 0x3F0171DD, 0x3F0DC605}},
    };
    expectTable("Step9LuminanceFill", table);
}

// Step 10, with u = (1 - K) m: Source (P m) + ((1 - m) D) (not D + m (P - D)
// nor (P m + D) - m D); Hard Color D + R u with a partial matte, where u is not
// m; Soft Color f = (lum(P) u) / lum(R) (not lum(P) (u / lum(R)) nor
// (lum(P) / lum(R)) u), whose luminances also tell the sum's order apart.
TEST(HandWorked, Step10InsideReplacement)
{
    const Case table[] = {
        // Source, alpha as mask
        {{0.23f, 0.55f, 0.18f}, 1.1f, 0.3f, 0.0f, 1.0f, 1, 2, {0.83f, 0.22f, 0.29f},
         {0.46f, 0.43f, 0.35f}, 0.73f, {0x3EE63ECD, 0x3ED07165, 0x3EAEEE92, 0x3F74ED5B}},
        // Hard Color, partial matte: u = (1 - K) m differs from m
        {{0.03f, 0.66f, 0.21f}, 1.1f, 0.3f, 0.0f, 1.0f, 2, 2, {0.9f, 0.88f, 0.84f},
         {0.55f, 0.76f, 0.36f}, 0.27f, {0x3F22DD62, 0x3F05B972, 0x3EB178A9, 0x3F262FC8}},
        // Soft Color
        {{0.25f, 0.51f, 0.09f}, 1.1f, 0.3f, 0.0f, 1.0f, 3, 2, {0.43f, 0.38f, 0.8f},
         {0.59f, 0.65f, 0.23f}, 0.65f, {0x3F1A1A55, 0x3EC81CA0, 0x3F1EEE7E, 0x3F44418E}},
    };
    expectTable("Step10InsideReplacement", table);
}

}  // namespace
