// SPDX-License-Identifier: Apache-2.0
#include "veilcast/media/SrgbCurve.h"

#include <gtest/gtest.h>

namespace veilcast {
namespace {

// Published values of the sRGB transfer: its straight toe (x 12.92) and its
// power piece, mid-grey 0.18 encoding to 0.4614 and code 0.5 decoding to
// 0.2140, each worked out from the standard's formula, not from ours.
TEST(SrgbCurve, MatchesTheStandardsValues)
{
    const struct {
        double linear, code;
    } points[] = {
        {0.001, 0.01292},
        {0.0015479876160990713, 0.02},
        {0.18, 0.46135612950044164},
        {0.21404114048223255, 0.5},
        {1.0, 1.0},
    };
    for (const auto& p : points) {
        EXPECT_NEAR(srgbFromLinear(p.linear), p.code, 1e-12) << p.linear;
        EXPECT_NEAR(linearFromSrgb(p.code), p.linear, 1e-12) << p.code;
    }
}

}  // namespace
}  // namespace veilcast
