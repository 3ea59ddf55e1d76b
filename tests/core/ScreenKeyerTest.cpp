// SPDX-License-Identifier: Apache-2.0
#include "veilcast/core/ScreenKeyer.h"

#include "FloatBits.h"
#include "KeyMath.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

namespace {

using zavtest::bits;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

zav::KeyParams greenScreen()
{
    zav::KeyParams p;
    p.screenColor[0] = 0.0f;
    p.screenColor[1] = 1.0f;
    p.screenColor[2] = 0.0f;
    return p;
}

zav::PixelKeyResult key(const zav::KeyParams& p, float r, float g, float b,
                        std::optional<float> alpha = std::nullopt)
{
    const float pixel[3] = {r, g, b};
    return zav::keyPixel(p, zav::analyseScreen(p), pixel, alpha);
}

void expectNear(const zav::PixelKeyResult& k, float r, float g, float b, float a)
{
    EXPECT_NEAR(k.color[0], r, 1e-6f);
    EXPECT_NEAR(k.color[1], g, 1e-6f);
    EXPECT_NEAR(k.color[2], b, 1e-6f);
    EXPECT_NEAR(k.alpha, a, 1e-6f);
}

void expectExact(const zav::PixelKeyResult& k, const float pixel[3], float alpha)
{
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(bits(k.color[c]), bits(pixel[c])) << "channel " << c;
    EXPECT_EQ(bits(k.alpha), bits(alpha));
}

struct AnalysisCase {
    float s[3];
    int primary, lesser, greater;
};

TEST(AnalyseScreen, FindsDominantAndOrdersTheOthers)
{
    const AnalysisCase cases[] = {
        {{0, 1, 0}, 1, 0, 2},  {{0, 0, 1}, 2, 1, 0},  {{1, 1, 0}, 1, 2, 0},
        {{1, 0, 1}, 2, 1, 0},  {{1, 0, 0}, 0, 2, 1},  {{0, 0, 0}, 1, 0, 2},
        {{0.9f, 0.2f, 0.5f}, 0, 1, 2},  {{0.2f, 0.3f, 0.9f}, 2, 0, 1},
    };
    for (const auto& c : cases) {
        zav::KeyParams p;
        std::copy(c.s, c.s + 3, p.screenColor);
        const zav::ScreenAnalysis a = zav::analyseScreen(p);
        EXPECT_EQ(a.primary, c.primary) << c.s[0] << "," << c.s[1] << "," << c.s[2];
        EXPECT_EQ(a.lesser, c.lesser) << c.s[0] << "," << c.s[1] << "," << c.s[2];
        EXPECT_EQ(a.greater, c.greater) << c.s[0] << "," << c.s[1] << "," << c.s[2];
    }
}

TEST(AnalyseScreen, DifferenceAndAverage)
{
    zav::KeyParams p = greenScreen();
    zav::ScreenAnalysis a = zav::analyseScreen(p);
    EXPECT_EQ(a.screenDifference, 1.0f);
    EXPECT_EQ(bits(a.screenAverage), 0x3EAAAAABu);  // 1 times the rounded third

    p.screenColor[0] = 1.0f;
    EXPECT_EQ(zav::analyseScreen(p).screenDifference, 0.5f);

    // The average multiplies by the rounded third; dividing by 3 would differ here.
    p.screenColor[0] = 0.1f;
    p.screenColor[1] = 0.8f;
    p.screenColor[2] = 0.8f;
    const float sum = (0.1f + 0.8f) + 0.8f;
    a = zav::analyseScreen(p);
    EXPECT_EQ(bits(a.screenAverage), bits(sum * zavtest::fromBits(0x3EAAAAABu)));
    EXPECT_NE(bits(a.screenAverage), bits(sum / 3.0f));
}

TEST(KeyPixel, WorkedExamplesOnAGreenScreen)
{
    zav::KeyParams p = greenScreen();
    expectNear(key(p, 0, 1, 0), 0, 0, 0, 0);
    expectNear(key(p, 0.2f, 0.6f, 0.1f), 0.2f, 0.15f, 0.1f, 0.55f);
    expectNear(key(p, 0.5f, 0.5f, 0.5f), 0.5f, 0.5f, 0.5f, 1);
    expectNear(key(p, 0, 0, 0), 0, 0, 0, 1);

    zav::KeyParams q = p;
    q.screenBalance = 0.0f;
    expectNear(key(q, 0.2f, 0.6f, 0.1f), 0.2f, 0.2f, 0.1f, 0.6f);
    q = p;
    q.screenGain = 0.5f;
    expectNear(key(q, 0.2f, 0.6f, 0.1f), 0.2375f, 0.4125f, 0.1375f, 0.8875f);
    q = p;
    q.screenGain = 2.0f;
    expectNear(key(q, 0.2f, 0.6f, 0.1f), 0, 0, 0, 0);
    q = p;
    q.clipBlack = 0.25f;
    expectNear(key(q, 0.2f, 0.6f, 0.1f), 0.145455f, 0.109091f, 0.072727f, 0.4f);
    q = p;
    q.clipWhite = 0.5f;
    expectNear(key(q, 0.2f, 0.6f, 0.1f), 0.415528f, 0.365528f, 0.315528f, 1);
}

TEST(KeyPixel, ExactBitPatterns)
{
    zav::KeyParams p = greenScreen();
    const zav::PixelKeyResult k = key(p, 0.2f, 0.6f, 0.1f);
    EXPECT_EQ(bits(k.color[0]), 0x3E4CCCCDu);
    EXPECT_EQ(bits(k.color[1]), 0x3E19999Au);
    EXPECT_EQ(bits(k.color[2]), 0x3DCCCCCDu);
    EXPECT_EQ(bits(k.alpha), 0x3F0CCCCCu);  // one ulp below 0.55f: rounding order matters

    p.clipWhite = 0.5f;
    const zav::PixelKeyResult w = key(p, 0.2f, 0.6f, 0.1f);
    EXPECT_EQ(bits(w.color[0]), 0x3ED4C006u);
    EXPECT_EQ(bits(w.color[1]), 0x3EBB266Cu);
    EXPECT_EQ(bits(w.color[2]), 0x3EA18CD3u);
    EXPECT_EQ(bits(w.alpha), 0x3F800000u);
}

TEST(KeyPixel, DegenerateScreenPassesEverythingThrough)
{
    zav::KeyParams p;  // default black screen
    p.sourceAlpha = static_cast<int>(zav::SourceAlphaMode::Normal);
    p.inMaskReplacementMode = static_cast<int>(zav::InsideReplaceMode::HardColor);
    const float pixels[][3] = {{0.2f, 0.6f, 0.1f}, {0, 1, 0}, {-1, kNaN, 3e38f}, {-0.0f, 0, 0}};
    for (float grey : {0.0f, 0.1f}) {
        std::fill(p.screenColor, p.screenColor + 3, grey);
        for (const auto& px : pixels)
            expectExact(zav::keyPixel(p, zav::analyseScreen(p), px, 0.5f), px, 1.0f);
    }
    // A NaN screen difference is degenerate too.
    p.screenColor[1] = kNaN;
    ASSERT_TRUE(std::isnan(zav::analyseScreen(p).screenDifference));
    expectExact(zav::keyPixel(p, zav::analyseScreen(p), pixels[0], 0.5f), pixels[0], 1.0f);
}

TEST(KeyPixel, DegenerateThresholdIsTestedInDouble)
{
    // The smallest float whose double is above 1e-8 keys; the float below it,
    // though it prints as 1e-8 in single precision, does not.
    float above = 1e-8f;
    while (!(static_cast<double>(above) > 1e-8))
        above = std::nextafter(above, 1.0f);
    const float below = std::nextafter(above, 0.0f);
    zav::ScreenAnalysis a;
    for (float sign : {1.0f, -1.0f}) {
        a.screenDifference = sign * above;
        EXPECT_FALSE(zav::isDegenerateScreen(a)) << sign;
        a.screenDifference = sign * below;
        EXPECT_TRUE(zav::isDegenerateScreen(a)) << sign;
    }
    a.screenDifference = kNaN;
    EXPECT_TRUE(zav::isDegenerateScreen(a));

    const float px[3] = {0, 0.5f, 0};
    zav::KeyParams p;
    p.screenColor[1] = above;
    EXPECT_NE(bits(key(p, px[0], px[1], px[2]).alpha), bits(1.0f));
    p.screenColor[1] = below;
    expectExact(key(p, px[0], px[1], px[2]), px, 1.0f);
}

TEST(KeyPixel, InsideMaskModes)
{
    zav::KeyParams p = greenScreen();
    p.sourceAlpha = static_cast<int>(zav::SourceAlphaMode::Normal);
    p.inMaskReplacementMode = static_cast<int>(zav::InsideReplaceMode::HardColor);
    p.inMaskReplacementColor[0] = 1.0f;
    p.inMaskReplacementColor[1] = 0.0f;
    p.inMaskReplacementColor[2] = 0.0f;
    expectNear(key(p, 0, 1, 0, 1.0f), 1, 0, 0, 1);

    p = greenScreen();
    p.sourceAlpha = static_cast<int>(zav::SourceAlphaMode::Normal);
    expectNear(key(p, 0, 1, 0, 0.5f), 0.3577f, 0.3577f, 0.3577f, 0.5f);
    p.inMaskReplacementMode = static_cast<int>(zav::InsideReplaceMode::Source);
    expectNear(key(p, 0, 1, 0, 0.5f), 0, 0.5f, 0, 0.5f);
    p.inMaskReplacementMode = static_cast<int>(zav::InsideReplaceMode::None);
    expectNear(key(p, 0, 1, 0, 0.5f), 0, 0, 0, 0.5f);
    // Out-of-range modes behave as None.
    for (int mode : {-1, 4, 1000}) {
        p.inMaskReplacementMode = mode;
        expectNear(key(p, 0, 1, 0, 0.5f), 0, 0, 0, 0.5f);
    }

    // Add to Inside Mask and Normal are the same thing.
    zav::KeyParams add = greenScreen();
    add.sourceAlpha = static_cast<int>(zav::SourceAlphaMode::AddToInsideMask);
    zav::KeyParams normal = add;
    normal.sourceAlpha = static_cast<int>(zav::SourceAlphaMode::Normal);
    for (float a : {-0.5f, 0.0f, 0.3f, 1.0f, 7.0f, kNaN}) {
        const auto x = key(add, 0.1f, 0.8f, 0.2f, a);
        const auto y = key(normal, 0.1f, 0.8f, 0.2f, a);
        for (int c = 0; c < 3; ++c)
            EXPECT_TRUE(zavtest::sameResult(x.color[c], y.color[c]));
        EXPECT_TRUE(zavtest::sameResult(x.alpha, y.alpha));
    }
}

TEST(KeyPixel, IgnoredOrMissingAlpha)
{
    zav::KeyParams p = greenScreen();
    p.inMaskReplacementMode = static_cast<int>(zav::InsideReplaceMode::HardColor);
    // Ignore: the sample has no effect.
    expectNear(key(p, 0, 1, 0, 0.75f), 0, 0, 0, 0);
    // Normal without an alpha input: the mask is 1 everywhere.
    p.sourceAlpha = static_cast<int>(zav::SourceAlphaMode::Normal);
    p.inMaskReplacementColor[0] = 1.0f;
    p.inMaskReplacementColor[1] = p.inMaskReplacementColor[2] = 0.0f;
    expectNear(key(p, 0, 1, 0), 1, 0, 0, 1);
    // The mask is limited above, so alpha 3 acts as 1.
    expectNear(key(p, 0, 1, 0, 3.0f), 1, 0, 0, 1);
}

TEST(KeyPixel, NaNRules)
{
    zav::KeyParams p = greenScreen();
    p.sourceAlpha = static_cast<int>(zav::SourceAlphaMode::Normal);
    p.inMaskReplacementMode = static_cast<int>(zav::InsideReplaceMode::HardColor);
    p.inMaskReplacementColor[0] = 1.0f;
    p.inMaskReplacementColor[1] = p.inMaskReplacementColor[2] = 0.0f;
    // A NaN alpha sample counts as a full inside mask...
    expectNear(key(p, 0, 1, 0, kNaN), 1, 0, 0, 1);
    // ...and has no effect when the alpha is ignored.
    p.sourceAlpha = static_cast<int>(zav::SourceAlphaMode::Ignore);
    expectNear(key(p, 0, 1, 0, kNaN), 0, 0, 0, 0);

    // A NaN channel makes the pixel difference NaN: the pixel passes with alpha 1.
    const zav::PixelKeyResult k = key(greenScreen(), kNaN, 0.6f, 0.1f);
    EXPECT_TRUE(std::isnan(k.color[0]));
    EXPECT_EQ(bits(k.color[1]), bits(0.6f));
    EXPECT_EQ(bits(k.color[2]), bits(0.1f));
    EXPECT_EQ(bits(k.alpha), bits(1.0f));
}

TEST(KeyPixel, NegativeAlphaLowersTheMatte)
{
    zav::KeyParams p = greenScreen();
    p.sourceAlpha = static_cast<int>(zav::SourceAlphaMode::Normal);
    std::fill(p.inMaskReplacementColor, p.inMaskReplacementColor + 3, 0.0f);
    const zav::PixelKeyResult k = key(p, 0, 1, 0, -0.5f);
    expectNear(k, 0, 0, 0, -0.5f);
    for (float c : k.color)
        EXPECT_TRUE(std::isfinite(c));
}

// A replace colour of zero luminance would divide by zero and put NaN or
// infinity into the picture; Soft Color then leaves the colour alone.
TEST(KeyPixel, SoftColorWithZeroLuminanceReplaceColorAddsNothing)
{
    for (float zero : {0.0f, -0.0f}) {
        zav::KeyParams p = greenScreen();
        p.sourceAlpha = static_cast<int>(zav::SourceAlphaMode::Normal);
        std::fill(p.inMaskReplacementColor, p.inMaskReplacementColor + 3, zero);

        zav::KeyParams none = p;
        none.inMaskReplacementMode = static_cast<int>(zav::InsideReplaceMode::None);
        for (float a : {0.5f, 1.0f, kNaN}) {
            const auto soft = key(p, 0.1f, 0.9f, 0.05f, a);
            const auto plain = key(none, 0.1f, 0.9f, 0.05f, a);
            for (int c = 0; c < 3; ++c) {
                EXPECT_TRUE(std::isfinite(soft.color[c]));
                EXPECT_EQ(bits(soft.color[c]), bits(plain.color[c]));
            }
            EXPECT_EQ(bits(soft.alpha), bits(plain.alpha));
            EXPECT_GT(soft.alpha, 0.49f);  // the alpha still takes the inside mask: u + K
        }
    }
    // A replace colour whose channels cancel to zero luminance is guarded too.
    zav::KeyParams p = greenScreen();
    p.sourceAlpha = static_cast<int>(zav::SourceAlphaMode::Normal);
    p.inMaskReplacementColor[0] = 0.7154f;
    p.inMaskReplacementColor[1] = -0.2125f;
    p.inMaskReplacementColor[2] = 0.0f;
    const float* R = p.inMaskReplacementColor;
    ASSERT_EQ(((R[0] * 0.2125f) + (R[1] * 0.7154f)) + (R[2] * 0.0721f), 0.0f);
    for (float c : key(p, 0, 1, 0, 0.5f).color)
        EXPECT_TRUE(std::isfinite(c));
}

TEST(KeyPixel, NegativeScreenDifferenceKeepsTheColour)
{
    // A negative balance can push the difference below zero: D stays the pixel.
    zav::KeyParams p;
    p.screenColor[0] = 0.5f;
    p.screenColor[1] = 0.6f;
    p.screenColor[2] = 0.0f;
    p.screenBalance = 2.0f;
    const zav::ScreenAnalysis a = zav::analyseScreen(p);
    ASSERT_LT(a.screenDifference, 0.0f);
    const float px[3] = {0.05f, 0.05f, 0.3f};
    const zav::PixelKeyResult k = zav::keyPixel(p, a, px, std::nullopt);
    const float v = px[1] - (((1.0f - p.screenBalance) * px[a.lesser]) + (p.screenBalance * px[a.greater]));
    ASSERT_GE(v, 0.0f);
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(bits(k.color[c]), bits(px[c]));
}

}  // namespace
