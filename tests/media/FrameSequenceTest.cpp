// SPDX-License-Identifier: Apache-2.0
#include "veilcast/media/FrameSequence.h"
#include "veilcast/common/UsageError.h"

#include "FrameLists.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>

namespace {

using namespace veilcast;

using zavtest::expand;

TEST(FrameSequence, PatternsAndRanges)
{
    EXPECT_TRUE(isSequencePattern("plate.####.exr"));
    EXPECT_TRUE(isSequencePattern("plate.%04d.exr"));
    EXPECT_FALSE(isSequencePattern("plate.1001.exr"));
    EXPECT_EQ(framePath("a/plate.####.exr", 7), "a/plate.0007.exr");
    EXPECT_EQ(framePath("plate.%04d.exr", 1001), "plate.1001.exr");
    EXPECT_EQ(framePath("plate.%d.exr", 12), "plate.12.exr");
    EXPECT_EQ(framePath("p.##.exr", 12345), "p.12345.exr");
    // As printf and oiiotool write them: the sign counts in the width.
    const std::pair<std::string, std::string> written[] = {
        {framePath("p.%04d.exr", -3), "p.-003.exr"},   {framePath("p.####.exr", -3), "p.-003.exr"},
        {framePath("p.@@@.exr", 7), "p.007.exr"},      {framePath("p.@.exr", 12), "p.12.exr"},
        {framePath("take\\#2.####.exr", 5), "take#2.0005.exr"}, {framePath("100%%.%d.exr", 5), "100%.5.exr"},
        {framePath("a\\@b\\%c.exr", 1), "a@b%c.exr"},     {framePath("d%3d.exr", 4), "d004.exr"},
    };
    for (const auto& [got, want] : written)
        EXPECT_EQ(got, want);
    EXPECT_TRUE(isSequencePattern("plate.@@@@.exr"));
    EXPECT_FALSE(isSequencePattern("take\\#2.exr"));
    EXPECT_FALSE(isSequencePattern("100%%.exr"));
    EXPECT_EQ(expand(parseFrameRange("1001-1004")), (std::vector<int>{1001, 1002, 1003, 1004}));
    EXPECT_EQ(expand(parseFrameRange("1001-1006x2")), (std::vector<int>{1001, 1003, 1005}));
    EXPECT_EQ(expand(parseFrameRange("5, 1-2")), (std::vector<int>{5, 1, 2}));
    EXPECT_EQ(parseFrameRange("-2147483648-2147483647").size(), 4294967296u);
    EXPECT_EQ(parseFrameRange("1-10x4, 7").describe(), "1-9x4, 7");
    for (const char* bad : {"", "a-b", "10-1", "1-5x0", "1-", "2147483648", "1-2x99999999999"})
        EXPECT_THROW(parseFrameRange(bad), std::invalid_argument) << bad;
}

// Every formatted list reads back as the same frames, at the ends of the
// number range, with steps, gaps, single and negative frames: worked out by hand.
TEST(FrameSequence, ListsFormatAndReadBack)
{
    const struct {
        const char *text, *formatted;
        std::vector<int> frames;
    } parsed[] = {
        {"7", "7", {7}},
        {"1001-1001", "1001", {1001}},
        {"-3--1", "-3--1", {-3, -2, -1}},
        {" -5 - 5 x 5 ", "-5-5x5", {-5, 0, 5}},
        {"1-10x4, 7", "1-9x4,7", {1, 5, 9, 7}},
        {"5,4,4", "5,4,4", {5, 4, 4}},
        {"-2147483648-2147483647x2147483647", "-2147483648-2147483646x2147483647", {-2147483648, -1, 2147483646}},
    };
    for (const auto& c : parsed) {
        const FrameList list = parseFrameRange(c.text);
        EXPECT_EQ(list.format(), c.formatted) << c.text;
        EXPECT_EQ(expand(list), c.frames) << c.text;
        EXPECT_EQ(expand(parseFrameRange(list.format())), c.frames) << c.text;
    }
    const struct {
        std::vector<int> frames;
        const char* formatted;
    } built[] = {
        {{0}, "0"},
        {{1001, 1002, 1003}, "1001-1003"},
        {{-2, -1, 0, 5, 7, 8}, "-2-0,5,7-8"},
        {{1, 3, 5, 7}, "1-7x2"},
        {{1, 3, 4, 5}, "1,3-5"},
        {{1, 2, 3, 5}, "1-3,5"},
        {{5, 3, 3}, "5,3,3"},
        {{2147483646, 2147483647}, "2147483646-2147483647"},
        {{-2147483648, 2147483647}, "-2147483648,2147483647"},
        {{-2147483648, 0, 2147483647}, "-2147483648,0-2147483647x2147483647"},
    };
    for (const auto& c : built) {
        FrameList list;
        for (const int f : c.frames)
            list.append(f);
        EXPECT_EQ(list.format(), c.formatted);
        EXPECT_EQ(expand(parseFrameRange(list.format())), c.frames) << list.format();
    }
}

// Membership at both ends of each run, the first frame in the order written,
// and a frame named twice.
TEST(FrameSequence, ListsAnswerForTheirFrames)
{
    const FrameList list = parseFrameRange("1001-1009x4, -3--1, 2147483640-2147483647x7");
    for (const int f : {1001, 1005, 1009, -3, -1, 2147483640, 2147483647})
        EXPECT_TRUE(list.contains(f)) << f;
    for (const int f : {1000, 1003, 1010, 1013, -4, 0, 2147483639, 2147483646})
        EXPECT_FALSE(list.contains(f)) << f;
    EXPECT_EQ(list.first(), 1001);
    EXPECT_EQ(parseFrameRange("5, 1-3").first(), 5);
    EXPECT_EQ(parseFrameRange("-3--1").first(), -3);
    EXPECT_THROW(FrameList().first(), std::out_of_range);
    EXPECT_EQ(parseFrameRange("1-3x2,2-3").repeatedFrame(), 3);
    EXPECT_EQ(parseFrameRange("9,4,9,4").repeatedFrame(), 4);
    EXPECT_EQ(parseFrameRange("1-5x2,2-6x2").repeatedFrame(), std::nullopt);
}

// Which frames have files: by listing the folder when only the file name is
// numbered, frame by frame when a folder is; both must agree.
TEST(FrameSequence, PresentAndMissingFrames)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(::testing::TempDir()) / ("veilcast-frames-" + std::to_string(getpid()));
    fs::remove_all(dir);
    for (const char* name : {"s/p.0002.exr", "s/p.0004.exr", "s/p.0005.exr", "s/p.06.exr", "s/p.-003.exr",
                             "s/p.-0003.exr", "s/p.0009.exr.tmp", "7/p.0002.exr"}) {
        fs::create_directories((dir / name).parent_path());
        std::ofstream((dir / name).string()) << "x";
    }
    fs::create_directories(dir / "s/p.0008.exr");  // a folder is not a frame
    const FrameCheck listed = checkFrames((dir / "s/p.####.exr").string(), parseFrameRange("-3, 1-10, 4"));
    EXPECT_EQ(expand(listed.present), (std::vector<int>{-3, 2, 4, 5, 4}));
    EXPECT_EQ(listed.missing.describe(), "1, 3, 6-10");
    const FrameCheck stepped = checkFrames((dir / "s/p.####.exr").string(), parseFrameRange("0-10x2"));
    EXPECT_EQ(expand(stepped.present), (std::vector<int>{2, 4}));
    EXPECT_EQ(stepped.missing.describe(), "0, 6-10x2");
    // The tuner's listing: every frame the pattern names, ascending, and no
    // answer where a listing cannot tell.
    EXPECT_EQ(scanSequenceFolder((dir / "s/p.####.exr").string()), (std::vector<int>{-3, 2, 4, 5}));
    EXPECT_EQ(scanSequenceFolder((dir / "s/p.##.exr").string()), (std::vector<int>{6}));
    EXPECT_EQ(scanSequenceFolder((dir / "#/p.0002.exr").string()), std::nullopt);
    EXPECT_EQ(scanSequenceFolder((dir / "s/p.##.##.exr").string()), std::nullopt);
    const FrameCheck walked = checkFrames((dir / "#/p.0002.exr").string(), parseFrameRange("6-8"));
    EXPECT_EQ(expand(walked.present), (std::vector<int>{7}));
    EXPECT_EQ(walked.missing.describe(), "6-8x2");
    fs::remove_all(dir);
}

}  // namespace
