// SPDX-License-Identifier: Apache-2.0
#include "veilcast/core/KeyParams.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <type_traits>

namespace {

TEST(KeyParams, NewRecordHoldsTheDefaults)
{
    const zav::KeyParams p;
    EXPECT_FALSE(p.checkAlpha);
    for (float s : p.screenColor)
        EXPECT_EQ(s, 0.0f);
    for (float c : p.inMaskReplacementColor)
        EXPECT_EQ(c, 0.5f);
    EXPECT_EQ(p.clipBlack, 0.0f);
    EXPECT_EQ(p.clipWhite, 1.0f);
    EXPECT_EQ(p.screenGain, 1.0f);
    EXPECT_EQ(p.screenBalance, 0.5f);
    EXPECT_EQ(p.inMaskReplacementMode, 3);
    EXPECT_EQ(p.sourceAlpha, 0);
}

TEST(KeyParams, IsAPlainRecordInDeclaredOrderWithIntegerModes)
{
    static_assert(std::is_trivially_copyable_v<zav::KeyParams>);
    static_assert(std::is_same_v<decltype(zav::KeyParams::sourceAlpha), std::int32_t>);
    static_assert(std::is_same_v<decltype(zav::KeyParams::inMaskReplacementMode), std::int32_t>);
    static_assert(std::is_same_v<std::underlying_type_t<zav::SourceAlphaMode>, std::int32_t>);
    static_assert(std::is_same_v<std::underlying_type_t<zav::InsideReplaceMode>, std::int32_t>);
    using P = zav::KeyParams;
    const std::size_t offsets[] = {offsetof(P, checkAlpha),    offsetof(P, screenColor),
                                   offsetof(P, inMaskReplacementColor), offsetof(P, clipBlack),
                                   offsetof(P, clipWhite),     offsetof(P, screenGain),
                                   offsetof(P, screenBalance), offsetof(P, inMaskReplacementMode),
                                   offsetof(P, sourceAlpha)};
    for (std::size_t i = 1; i < std::size(offsets); ++i)
        EXPECT_LT(offsets[i - 1], offsets[i]) << "field " << i;
}

TEST(KeyParams, EnumerationValuesAreItemPositions)
{
    EXPECT_EQ(static_cast<int>(zav::SourceAlphaMode::Ignore), 0);
    EXPECT_EQ(static_cast<int>(zav::SourceAlphaMode::AddToInsideMask), 1);
    EXPECT_EQ(static_cast<int>(zav::SourceAlphaMode::Normal), 2);
    EXPECT_EQ(static_cast<int>(zav::InsideReplaceMode::None), 0);
    EXPECT_EQ(static_cast<int>(zav::InsideReplaceMode::Source), 1);
    EXPECT_EQ(static_cast<int>(zav::InsideReplaceMode::HardColor), 2);
    EXPECT_EQ(static_cast<int>(zav::InsideReplaceMode::SoftColor), 3);
}

TEST(KeyParams, OnlyModesOneAndTwoUseTheSourceAlpha)
{
    zav::KeyParams p;
    for (int mode : {-1, 0, 3, 7}) {
        p.sourceAlpha = mode;
        EXPECT_FALSE(zav::usesSourceAlpha(p)) << mode;
    }
    for (int mode : {1, 2}) {
        p.sourceAlpha = mode;
        EXPECT_TRUE(zav::usesSourceAlpha(p)) << mode;
    }
}

}  // namespace
