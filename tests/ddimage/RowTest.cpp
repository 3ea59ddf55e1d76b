// SPDX-License-Identifier: Apache-2.0
#include "DDImage/Iop.h"
#include "DDImage/Row.h"

#include "FloatBits.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace DD::Image;

constexpr int kFar = 1 << 26;

// Every value is an integer well below 2^24, so it is exact in a float, and
// none is zero, so a pixel the input wrote never passes for an unwritten one.
float pixelValue(int y, Channel z, int x)
{
    return static_cast<float>(100000 * y + 1000 * static_cast<int>(z) + x);
}

// An input that writes pixelValue into each pixel it is asked for and records
// every span it is asked for.
class NamingInput : public Iop {
public:
    struct Call {
        int y, x, r;
        ChannelSet channels;
    };

    NamingInput() : Iop(nullptr) {}
    const char* Class() const override { return "NamingInput"; }
    const char* node_help() const override { return "Test input.\n"; }

    void engine(int y, int x, int r, const ChannelSet& channels, Row& out) override
    {
        calls.push_back({y, x, r, channels});
        // Stays on the row even when asked for more, so that a wrong span
        // shows in the calls rather than as a corrupted heap.
        const int first = std::max(x, out.getLeft());
        const int last = std::min(r, out.getRight());
        for (Channel z = channels.first(); z; z = channels.next(z)) {
            float* p = out.writable(z);
            for (int i = first; i < last; ++i)
                p[i] = pixelValue(y, z, i);
        }
    }

    std::vector<Call> calls;
};

struct Span {
    int x, r;
};

std::string describe(Span s)
{
    return "row " + std::to_string(s.x) + ".." + std::to_string(s.r);
}

// Small spans reuse freed heap blocks, which still hold what was written
// there; spans far from zero put a wrongly indexed pixel far outside any
// buffer.
const Span kSpans[] = {{0, 1}, {0, 37}, {-50, 13}, {100, 140}, {-kFar, -kFar + 7}, {kFar, kFar + 7}};

TEST(Row, NewChannelsReadAsZeroOverTheWholeSpan)
{
    for (const Span s : kSpans) {
        SCOPED_TRACE(describe(s));
        {
            // Leaves freed blocks of the same sizes full of non-zero values.
            Row dirty(s.x, s.r);
            for (Channel z : {Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha})
                for (int i = s.x; i < s.r; ++i)
                    dirty.writable(z)[i] = -1.5f;
        }
        Row row(s.x, s.r);
        EXPECT_EQ(row.getLeft(), s.x);
        EXPECT_EQ(row.getRight(), s.r);
        float* red = row.writable(Chan_Red);
        ASSERT_NE(red, nullptr);
        for (int i = s.x; i < s.r; ++i) {
            ASSERT_EQ(zavtest::bits(red[i]), 0u) << "written channel at " << i;
            ASSERT_EQ(zavtest::bits(row[Chan_Green][i]), 0u) << "unwritten channel at " << i;
            ASSERT_EQ(zavtest::bits(row[Chan_Z][i]), 0u) << "unwritten channel at " << i;
        }
    }
}

TEST(Row, WritablePixelsAreIndexedByXAndReadBackThroughTheRow)
{
    for (const Span s : kSpans) {
        SCOPED_TRACE(describe(s));
        Row row(s.x, s.r);
        float* blue = row.writable(Chan_Blue);
        EXPECT_EQ(row.writable(Chan_Blue), blue) << "a second call makes a new buffer";
        for (int i = s.x; i < s.r; ++i)
            blue[i] = pixelValue(0, Chan_Blue, i - s.x);
        const float* read = row[Chan_Blue];
        EXPECT_EQ(read, blue);
        for (int i = s.x; i < s.r; ++i)
            ASSERT_EQ(zavtest::bits(read[i]), zavtest::bits(pixelValue(0, Chan_Blue, i - s.x))) << i;
        for (int i = s.x; i < s.r; ++i)
            ASSERT_EQ(zavtest::bits(row[Chan_Red][i]), 0u) << "another channel at " << i;
    }
}

TEST(Row, ChannelsOutsideTheNumberedOnesHaveNoBuffer)
{
    Row row(0, 4);
    EXPECT_EQ(row.writable(Chan_Black), nullptr);
    EXPECT_EQ(row.writable(static_cast<Channel>(Chan_Last + 1)), nullptr);
    EXPECT_NE(row.writable(Chan_Last), nullptr);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(zavtest::bits(row[Chan_Black][i]), 0u);
}

TEST(Row, AttachedPixelsAreUsedInPlace)
{
    std::vector<float> frame{1.0f, 2.0f, 3.0f, 4.0f};
    Row row(10, 14);
    row.attach(Chan_Alpha, frame.data() - 10);
    EXPECT_EQ(row.writable(Chan_Alpha), frame.data() - 10);
    EXPECT_EQ(row[Chan_Alpha][12], 3.0f) << "attached pixels were cleared";
    row.writable(Chan_Alpha)[13] = 9.0f;
    EXPECT_EQ(frame[3], 9.0f);
}

// Row::get asks its input only for the part of the span that lies on the row.
struct GetCase {
    Span row;
    Span asked;
    std::optional<Span> passedOn;  // none: the input is not asked at all
};

TEST(Row, LentPixelsAreReadInPlaceAndCopiedOnlyWhenWritten)
{
    std::vector<float> source(12);
    for (std::size_t i = 0; i < source.size(); ++i)
        source[i] = pixelValue(0, Chan_Red, static_cast<int>(i));
    const float* lent = source.data() - 2;  // indexed by x over 2..13

    Row row(2, 14);
    ASSERT_TRUE(row.lend(Chan_Red, lent));
    EXPECT_EQ(row[Chan_Red], lent) << "a lent channel must be read where it lies";

    float* own = row.writable(Chan_Red);
    EXPECT_NE(own, lent);
    own[5] = -1.0f;
    EXPECT_EQ(zavtest::bits(source[3]), zavtest::bits(pixelValue(0, Chan_Red, 3))) << "writing reached the lender";
    for (int x = 2; x < 14; ++x) {
        if (x != 5) {
            EXPECT_EQ(zavtest::bits(row[Chan_Red][x]), zavtest::bits(pixelValue(0, Chan_Red, x - 2))) << x;
        }
    }

    // A channel with memory of its own, written or attached, is never replaced.
    EXPECT_FALSE(row.lend(Chan_Red, lent));
    std::vector<float> attached(12, 7.0f);
    row.attach(Chan_Green, attached.data() - 2);
    EXPECT_FALSE(row.lend(Chan_Green, lent));
    EXPECT_EQ(row[Chan_Green], attached.data() - 2);
    EXPECT_FALSE(row.lend(Chan_Black, lent));
}

TEST(Row, GetClipsTheSpanToTheRow)
{
    const GetCase cases[] = {
        {{0, 10}, {0, 10}, Span{0, 10}},
        {{0, 10}, {3, 7}, Span{3, 7}},
        {{0, 10}, {-5, 20}, Span{0, 10}},
        {{0, 10}, {4, 25}, Span{4, 10}},
        {{-4, 6}, {-10, 0}, Span{-4, 0}},
        {{0, 10}, {10, 15}, std::nullopt},
        {{0, 10}, {-8, 0}, std::nullopt},
        {{0, 10}, {7, 3}, std::nullopt},
        {{5, 5}, {0, 10}, std::nullopt},
        {{5, 2}, {0, 10}, std::nullopt},
    };
    const ChannelSet channels = ChannelSet(Mask_RGB) += Chan_Z;
    for (const GetCase& c : cases) {
        SCOPED_TRACE(describe(c.row) + ", asked for " + std::to_string(c.asked.x) + ".." +
                     std::to_string(c.asked.r));
        NamingInput input;
        Row row(c.row.x, c.row.r);
        row.get(input, 3, c.asked.x, c.asked.r, channels);

        if (c.passedOn) {
            ASSERT_EQ(input.calls.size(), 1u);
            EXPECT_EQ(input.calls[0].y, 3);
            EXPECT_EQ(input.calls[0].x, c.passedOn->x);
            EXPECT_EQ(input.calls[0].r, c.passedOn->r);
            EXPECT_EQ(input.calls[0].channels, channels);
        } else {
            EXPECT_TRUE(input.calls.empty()) << "the input was asked for pixels off the row";
        }
        // Every asked channel reads the input's pixels on the clipped span and
        // zeros elsewhere, and so does its writable buffer.
        for (Channel z : {Chan_Red, Chan_Green, Chan_Blue, Chan_Z})
            for (const float* pixels : {row[z], const_cast<const float*>(row.writable(z))})
                for (int i = row.getLeft(); i < row.getRight(); ++i) {
                    const bool fetched = c.passedOn && i >= c.passedOn->x && i < c.passedOn->r;
                    ASSERT_EQ(zavtest::bits(pixels[i]), zavtest::bits(fetched ? pixelValue(3, z, i) : 0.0f))
                        << "channel " << z << " pixel " << i;
                }
    }
}

}  // namespace
