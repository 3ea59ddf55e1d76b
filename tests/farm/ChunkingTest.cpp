// SPDX-License-Identifier: Apache-2.0
#include "veilcast/farm/Chunking.h"
#include "veilcast/common/UsageError.h"

#include "FrameLists.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace veilcast;
using namespace veilcast::farm;

std::vector<std::string> chunkTexts(const std::string& frames, std::uint64_t chunk)
{
    std::vector<std::string> texts;
    for (const FrameList& c : chunkFrames(parseFrameRange(frames), chunk))
        texts.push_back(c.format());
    return texts;
}

using zavtest::expand;

TEST(Chunking, SplitsInOrderWithTheLastChunkShorter)
{
    struct Case {
        const char* frames;
        std::uint64_t chunk;
        std::vector<std::string> chunks;
    };
    const Case cases[] = {
        {"1-24", 5, {"1-5", "6-10", "11-15", "16-20", "21-24"}},
        {"1-25", 5, {"1-5", "6-10", "11-15", "16-20", "21-25"}},
        {"1001-1100x2", 20, {"1001-1039x2", "1041-1079x2", "1081-1099x2"}},
        {"1-10x3", 2, {"1-4x3", "7-10x3"}},
        {"1-11x5", 2, {"1-6x5", "11"}},
        {"1,5,9-12", 2, {"1,5", "9-10", "11-12"}},
        {"1,5,9-12", 3, {"1,5,9", "10-12"}},
        {"20-22, 1-2", 2, {"20-21", "22,1", "2"}},
        {"7", 1, {"7"}},
        {"-3-3", 4, {"-3-0", "1-3"}},
        {"1-3", 10, {"1-3"}},
        {"1-3", 1, {"1", "2", "3"}},
        {"2147483640-2147483647x3", 2, {"2147483640-2147483643x3", "2147483646"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(chunkTexts(c.frames, c.chunk), c.chunks) << c.frames << " in chunks of " << c.chunk;
}

TEST(Chunking, ChunksTogetherHoldEveryFrameOnceInOrder)
{
    for (const char* text : {"1-97", "1-97x3,200,300-310", "5,4,3,2,1", "1001-1240x7"}) {
        const FrameList frames = parseFrameRange(text);
        for (std::uint64_t chunk : {1u, 2u, 7u, 50u, 1000u}) {
            std::vector<int> joined;
            for (const FrameList& c : chunkFrames(frames, chunk)) {
                EXPECT_LE(c.size(), chunk);
                EXPECT_GT(c.size(), 0u);
                const std::vector<int> part = expand(c);
                joined.insert(joined.end(), part.begin(), part.end());
                EXPECT_EQ(expand(parseFrameRange(c.format())), part) << c.format();
            }
            EXPECT_EQ(joined, expand(frames)) << text << " in chunks of " << chunk;
        }
    }
}

TEST(Chunking, DefaultIsOneFramePerTaskUpToTheLimit)
{
    struct Case {
        std::uint64_t frames, chunk, tasks;
    };
    const Case cases[] = {
        {1, 1, 1},       {3, 1, 3},        {1000, 1, 1000},       {1001, 2, 501},
        {2000, 2, 1000}, {2001, 3, 667},   {4294967296, 4294968, 1000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(defaultChunkSize(c.frames), c.chunk) << c.frames;
        const FrameList frames = parseFrameRange(c.frames == 4294967296 ? "-2147483648-2147483647"
                                                                        : "1-" + std::to_string(c.frames));
        EXPECT_EQ(chunkFrames(frames, defaultChunkSize(c.frames)).size(), c.tasks) << c.frames;
    }
}

TEST(Chunking, RefusesEmptyChunksAndTooManyTasks)
{
    EXPECT_THROW(chunkFrames(parseFrameRange("1-10"), 0), UsageError);
    try {
        chunkFrames(parseFrameRange("1-1001"), 1);
        FAIL() << "1001 tasks were allowed";
    } catch (const UsageError& e) {
        EXPECT_NE(std::string(e.what()).find("--chunk 2 or more"), std::string::npos) << e.what();
    }
    EXPECT_EQ(chunkFrames(parseFrameRange("1-1001"), 2).size(), 501u);
    // 1000 full chunks of two and one of a single frame: one task too many.
    EXPECT_THROW(chunkFrames(parseFrameRange("1-2001"), 2), UsageError);
    EXPECT_EQ(chunkFrames(parseFrameRange("1-1000"), 1).size(), 1000u);
}

}  // namespace
