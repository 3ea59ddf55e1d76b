// SPDX-License-Identifier: Apache-2.0
#include "veilcast/host/ImageSource.h"

#include "DDImage/Row.h"

#include "FloatBits.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace DD::Image;
using veilcast::ImageSource;
using veilcast::PlanarImage;

float value(Channel z, int x, int y)
{
    return static_cast<float>(1000 * y + 100 * static_cast<int>(z) + x + 1);
}

// Rows the image covers whole are lent without a copy; any other span reads
// the image's pixels where it has them and black elsewhere, also through
// the row's writable copy.
TEST(ImageSource, LendsWholeRowsAndFillsPartialOnesWithBlack)
{
    PlanarImage image(Box{10, 20, 30, 25}, Box{0, 0, 40, 40}, {Chan_Red, Chan_Green, Chan_Blue});
    for (Channel z : {Chan_Red, Chan_Green, Chan_Blue})
        for (int y = 20; y < 25; ++y)
            for (int x = 10; x < 30; ++x)
                image.row(z, y)[x] = value(z, x, y);
    ImageSource source(image);
    source.validate(true);

    struct Case {
        int rowX, rowR, askX, askR, y;
        bool lent;
    };
    const Case cases[] = {
        {10, 30, 10, 30, 22, true},   // the whole row of the image
        {12, 28, 12, 28, 22, true},   // a row inside the image
        {5, 35, 5, 35, 22, false},    // wider than the image
        {10, 30, 12, 20, 22, false},  // part of the row asked for
        {10, 30, 10, 30, 30, false},  // below the image
        {10, 30, 10, 30, 25, false},  // one past the bottom
        {10, 35, 10, 35, 24, false},  // the last row, reaching past the right
    };
    // Nothing lies past the last row: not the next plane, not memory past the image.
    EXPECT_EQ(image.row(Chan_Red, 25), nullptr);
    EXPECT_EQ(image.row(Chan_Blue, 25), nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE("row " + std::to_string(c.rowX) + ".." + std::to_string(c.rowR) + " asked " +
                     std::to_string(c.askX) + ".." + std::to_string(c.askR) + " y " + std::to_string(c.y));
        Row row(c.rowX, c.rowR);
        // What a row held before must not show through where the image has no pixels.
        for (Channel z : {Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha})
            if (!c.lent)
                std::fill(row.writable(z) + c.askX, row.writable(z) + c.askR, 7.0f);
        row.get(source, c.y, c.askX, c.askR, Mask_RGBA);
        EXPECT_EQ(row[Chan_Red] == image.row(Chan_Red, c.y), c.lent);
        for (Channel z : {Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha})
            for (const float* pixels : {row[z], const_cast<const float*>(row.writable(z))})
                for (int x = c.rowX; x < c.rowR; ++x) {
                    const bool inside = z != Chan_Alpha && x >= 10 && x < 30 && c.y >= 20 && c.y < 25 &&
                                        x >= c.askX && x < c.askR;
                    ASSERT_EQ(zavtest::bits(pixels[x]), zavtest::bits(inside ? value(z, x, c.y) : 0.0f))
                        << "channel " << z << " x " << x;
                }
    }
}

}  // namespace
