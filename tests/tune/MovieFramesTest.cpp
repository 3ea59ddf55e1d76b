// SPDX-License-Identifier: Apache-2.0
// A movie as the tuner's frames: any frame, in any order, is the one a
// straight decode reaches. The clip is made by the ffmpeg program.

#include "veilcast/tune/FrameSource.h"

#include "veilcast/movie/MovieReader.h"

#include "FloatBits.h"

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

    const auto frames = tune::openMovie(clip, false);
    EXPECT_EQ(frames->frames(), (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(frames->isSequence());
    for (const int f : {4, 2, 2, 6, 1, 5, 3}) {
        SCOPED_TRACE("frame " + std::to_string(f));
        EXPECT_TRUE(samePixels(frames->read(f), decoded[static_cast<std::size_t>(f - 1)]));
    }
    EXPECT_FALSE(samePixels(decoded[0], decoded[5])) << "the clip's frames should differ";
    EXPECT_THROW(frames->read(7), std::runtime_error);
    EXPECT_THROW(tune::openMovie((dir / "none.mp4").string(), false), std::runtime_error);
    fs::remove_all(dir);
}

}  // namespace
