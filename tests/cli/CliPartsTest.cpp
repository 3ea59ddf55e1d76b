#include "ScreenPicker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

using namespace veilcast;
using namespace DD::Image;

TEST(ScreenPicker, BoxAverageAndAutomaticBacking)
{
    const Box box{0, 0, 40, 30};
    PlanarImage img(box, box, {Chan_Red, Chan_Green, Chan_Blue});
    const float screen[3] = {0.05f, 0.4f, 0.1f};
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) {
            const bool subject = x >= 20 && y >= 10;
            const float light = 0.9f + 0.2f * static_cast<float>((x * 7 + y * 3) % 11) / 10.0f;
            for (int c = 0; c < 3; ++c)
                img.row(static_cast<Channel>(Chan_Red + c), y)[x] = subject ? 0.6f - 0.1f * static_cast<float>(c) : screen[c] * light;
        }
    img.row(Chan_Green, 0)[0] = std::nanf("");  // a bad pixel is skipped
    const Colour picked = pickScreenInBox(img, 9, 5, 0, 0);
    EXPECT_NEAR(picked[1], 0.4f * 1.0f, 0.03f);
    EXPECT_THROW(pickScreenInBox(img, 100, 100, 120, 120), std::invalid_argument);

    const Colour automatic = pickScreenAuto(img);
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(automatic[c], screen[c] * 1.05f, screen[c] * 0.12f) << c;

    // A blue backing is recognised as blue.
    for (int y = 0; y < 30; ++y)
        std::swap_ranges(img.row(Chan_Green, y), img.row(Chan_Green, y) + 40, img.row(Chan_Blue, y));
    EXPECT_GT(pickScreenAuto(img)[2], pickScreenAuto(img)[1]);
    EXPECT_EQ(parsePickBox("1, 2,3,4"), (std::array<int, 4>{1, 2, 3, 4}));
    EXPECT_THROW(parsePickBox("1,2,3"), std::invalid_argument);
}

}  // namespace
