// SPDX-License-Identifier: Apache-2.0
// A movie as the tuner's frames: any frame, in any order, is the one a
// straight decode reaches. The clip is made by the ffmpeg program.

#include "veilcast/tune/FrameSource.h"

#include "veilcast/movie/MovieReader.h"

#include "FloatBits.h"
#include "RunTool.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace {

using namespace veilcast;
using namespace DD::Image;
namespace fs = std::filesystem;

bool samePixels(const PlanarImage& a, const PlanarImage& b)
{
    if (a.width() != b.width() || a.height() != b.height() || a.channels() != b.channels())
        return false;
    for (const Channel z : a.channels())
        for (int y = a.box().y; y < a.box().t; ++y)
            for (int x = a.box().x; x < a.box().r; ++x)
                if (zavtest::bits(a.row(z, y)[x]) != zavtest::bits(b.row(z, y)[x]))
                    return false;
    return true;
}

TEST(TuneMovieFrames, AnyFrameInAnyOrderIsTheOneDecodedInSequence)
{
    const fs::path dir = fs::path(::testing::TempDir()) / ("veilcast-tune-movie-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string clip = (dir / "clip.mp4").string();
    const std::string make = "ffmpeg -v error -y -f lavfi -i testsrc2=size=96x64:rate=24 -frames:v 6 "
                             "-pix_fmt yuv420p -c:v libx264 " + clip;
    ASSERT_EQ(std::system(make.c_str()), 0) << make;

    std::vector<PlanarImage> decoded;
    MovieReader reader(clip);
    for (PlanarImage frame; reader.read(frame);)
        decoded.push_back(frame);
    ASSERT_EQ(decoded.size(), 6u);

    const auto frames = tune::openMovie(clip, {});
    EXPECT_EQ(frames->frames(), (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(frames->isSequence());
    for (const int f : {4, 2, 2, 6, 1, 5, 3}) {
        SCOPED_TRACE("frame " + std::to_string(f));
        EXPECT_TRUE(samePixels(frames->read(f), decoded[static_cast<std::size_t>(f - 1)]));
    }
    EXPECT_FALSE(samePixels(decoded[0], decoded[5])) << "the clip's frames should differ";
    EXPECT_THROW(frames->read(7), std::runtime_error);
    EXPECT_THROW(tune::openMovie((dir / "none.mp4").string(), {}), std::runtime_error);
    fs::remove_all(dir);
}

// What keying refuses to read the tuner refuses too, before a frame is
// decoded: a 12000x12000 MJPEG is a tiny file and gigabytes once decoded.
// Through the tool as well (the options it was given reach the movie), with
// keying's exit status and the option to name.
TEST(TuneMovieFrames, RefusesWhatKeyingRefuses)
{
    const fs::path dir = fs::path(::testing::TempDir()) / ("veilcast-tune-limits-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const auto make = [&](const std::string& name, const std::string& source) {
        const std::string clip = (dir / name).string();
        const std::string command = "ffmpeg -v error -y -f lavfi -i " + source +
                                    " -frames:v 1 -pix_fmt yuvj420p -c:v mjpeg '" + clip + "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return clip;
    };
    const std::string huge = make("huge.mov", "color=c=green:size=12000x12000");
    const std::string small = make("small.mov", "testsrc2=size=96x64");
    const struct {
        const char* what;
        std::string clip;
        std::uint64_t maxPixels;
        bool refused;
    } cases[] = {
        {"the default limit", huge, defaultMaxPixels(), true},
        {"one pixel short of the frame", small, 96 * 64 - 1, true},
        {"the frame exactly", small, 96 * 64, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ReadOptions read;
        read.maxPixels = c.maxPixels;
        if (c.refused)
            EXPECT_THROW(tune::openMovie(c.clip, read), Failure);
        else
            EXPECT_EQ(tune::openMovie(c.clip, read)->frames().size(), 1u);
        if (!c.refused || c.clip == huge)
            continue;  // the tool would serve, or (were it to take it) decode gigabytes
        const std::string limit = " --max-pixels " + std::to_string(c.maxPixels);
        const Result keyed = runVeilcast("'" + c.clip + "' -o '" + (dir / "keyed.mov").string() + "'" + limit);
        const Result tuned = runVeilcast("tune '" + c.clip + "'" + limit, "timeout 60 ");
        EXPECT_NE(keyed.exitCode, 0) << keyed.output;
        EXPECT_EQ(tuned.exitCode, keyed.exitCode) << tuned.output;
        EXPECT_NE(tuned.output.find("--max-pixels"), std::string::npos) << tuned.output;
        EXPECT_FALSE(fs::exists(dir / "keyed.mov"));
    }
    fs::remove_all(dir);
}

}  // namespace
