// SPDX-License-Identifier: Apache-2.0
#include "veilcast/media/Preview.h"

#include <gtest/gtest.h>

namespace {

using namespace veilcast;

TEST(Preview, PanelsKeepAspectWithinSaneBounds)
{
    const struct {
        int w, h;
        PanelSize want;
    } cases[] = {
        {4096, 2160, {640, 338}}, {100, 50, {100, 50}}, {20000, 4, {640, 32}},
        {4, 20000, {32, 640}},    {10, 10, {32, 32}},   {1, 1, {32, 32}},
    };
    for (const auto& c : cases) {
        const PanelSize got = previewPanelSize(c.w, c.h);
        EXPECT_EQ(got.width, c.want.width) << c.w << "x" << c.h;
        EXPECT_EQ(got.height, c.want.height) << c.w << "x" << c.h;
    }
}

}  // namespace
