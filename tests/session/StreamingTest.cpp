// SPDX-License-Identifier: Apache-2.0
// Keying a file a strip at a time, with the next frame read ahead, must give
// what keying the whole frame in memory gives, to the bit, and must hold no
// frame-sized buffer. Inputs are made by oiiotool.

#include "veilcast/session/KeySession.h"

#include "veilcast/media/ImageWriter.h"
#include "veilcast/media/Preview.h"

#include "FloatBits.h"

#include <OpenImageIO/imageio.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

namespace {

using namespace veilcast;
namespace fs = std::filesystem;

const std::vector<std::string> kPluginDirs{fs::path(VEILCAST_PLUGIN_FILE).parent_path().string()};

struct Pixels {
    OIIO::ImageSpec spec;
    std::vector<float> values;
};

Pixels readAll(const std::string& file)
{
    Pixels p;
    auto in = OIIO::ImageInput::open(file);
    EXPECT_TRUE(in) << file;
    if (!in)
        return p;
    p.spec = in->spec();
    p.values.resize(p.spec.image_pixels() * p.spec.nchannels);
    EXPECT_TRUE(in->read_image(0, 0, 0, p.spec.nchannels, OIIO::TypeDesc::FLOAT, p.values.data())) << file;
    return p;
}

void expectSameImage(const std::string& a, const std::string& b)
{
    const Pixels x = readAll(a), y = readAll(b);
    EXPECT_EQ(x.spec.x, y.spec.x);
    EXPECT_EQ(x.spec.y, y.spec.y);
    EXPECT_EQ(x.spec.width, y.spec.width);
    EXPECT_EQ(x.spec.height, y.spec.height);
    EXPECT_EQ(x.spec.full_x, y.spec.full_x);
    EXPECT_EQ(x.spec.full_y, y.spec.full_y);
    EXPECT_EQ(x.spec.full_width, y.spec.full_width);
    EXPECT_EQ(x.spec.full_height, y.spec.full_height);
    EXPECT_EQ(x.spec.channelnames, y.spec.channelnames);
    EXPECT_EQ(x.spec.format, y.spec.format);
    EXPECT_EQ(x.spec.get_string_attribute("veilcast:settings"), y.spec.get_string_attribute("veilcast:settings"));
    ASSERT_EQ(x.values.size(), y.values.size());
    std::size_t differ = 0, first = 0;
    for (std::size_t i = 0; i < x.values.size(); ++i)
        if (zavtest::bits(x.values[i]) != zavtest::bits(y.values[i]) && differ++ == 0)
            first = i;
    EXPECT_EQ(differ, 0u) << "values differ from index " << first << ": " << x.values[first] << " vs "
                          << y.values[first];
}

class StreamingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::path(::testing::TempDir()) / ("veilcast-streaming-" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string& name) const { return (dir / name).string(); }

    // A green backing with grain and a grey subject, made by oiiotool.
    std::string plate(const std::string& name, int width, int height, const std::string& options)
    {
        const std::string file = path(name);
        const std::string size = std::to_string(width) + "x" + std::to_string(height);
        const std::string command =
            "oiiotool --pattern fill:top=0.08,0.55,0.1:bottom=0.05,0.4,0.07 " + size + " 4 --pattern " +
            "noise:type=gaussian:mean=0:stddev=0.05:seed=" + std::to_string(width + height) + " " + size +
            " 4 --add --pattern fill:color=0.4,0.35,0.3,1 " + std::to_string(width / 3) + "x" +
            std::to_string(height / 2) + " 4 --origin +" + std::to_string(width / 3) + "+" +
            std::to_string(height / 3) + " --over --ch R,G,B,A=1 " + options + " -o " + file;
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return file;
    }

    KeyJobOptions options() const
    {
        KeyJobOptions job;
        job.settings = {{"Screen Color", "0.08,0.5,0.09", "test"}, {"Clip Black", "0.05", "test"}};
        job.write.dateTime = "2026:01:02 03:04:05";
        return job;
    }

    // The whole frame in memory, keyed and written in one piece.
    void keyWhole(const std::string& input, const std::string& output, const KeyJobOptions& job)
    {
        KeySession session(kPluginDirs, job);
        const SourceImage source = readSourceImage(input);
        if (job.screenMap.kind != ScreenMapChoice::Kind::None)
            session.prepareImage(source.pixels, 1, input);
        const PlanarImage result = session.keyImage(source.pixels);
        WriteOptions write = job.write;
        write.settings = settingsSummary(session.controls());
        writeImage(output, result, source.spec, source.formatName, write);
        if (!job.previewPath.empty())
            writePreviewSheet(job.previewPath, source.pixels, result);
    }

    struct Plate {
        const char* name;
        int width, height;
        const char* options;
    };

    // Keys `c` a strip at a time from the file and whole in memory: the two
    // outputs must be the same, and so must the contact sheets, or, keyed
    // through the denoised view of a shot, the outputs alone.
    void expectStreamedAsWhole(const Plate& c, bool denoised)
    {
        SCOPED_TRACE(c.name);
        const std::string input = plate(c.name, c.width, c.height, c.options);
        const std::string ext = fs::path(c.name).extension().string();
        KeyJobOptions job = options();
        if (denoised)
            job.screenMap.kind = ScreenMapChoice::Kind::Shot;
        else
            job.previewPath = path("streamed-sheet.png");
        KeySession streamed(kPluginDirs, job);
        if (denoised) {
            ASSERT_TRUE(streamed.denoisesMatte());
        }
        NoProgress quiet;
        streamed.keyFile(input, path("streamed" + ext), quiet, 0, 1);
        if (!denoised)
            job.previewPath = path("whole-sheet.png");
        keyWhole(input, path("whole" + ext), job);
        expectSameImage(path("streamed" + ext), path("whole" + ext));
        if (!denoised)
            expectSameImage(path("streamed-sheet.png"), path("whole-sheet.png"));
    }

    fs::path dir;
};

// Output and preview sheet. Heights that are not a whole number of strips,
// chunks of 1, 16, 32 and 256 rows, tiles, no alpha, float, a data window
// inside a larger display window, and display-encoded 8-bit files (converted
// on the way in and out).
TEST_F(StreamingTest, StreamedOutputEqualsTheWholeFrameKeyed)
{
    const Plate plates[] = {
        {"scan-zip-half.exr", 97, 203, "-d half --compression zip"},
        {"scan-none-float-rgb.exr", 61, 150, "--ch R,G,B -d float --compression none"},
        {"scan-piz.exr", 40, 330, "-d half --compression piz"},
        {"scan-dwab.exr", 50, 600, "-d half --compression dwab"},
        {"tiled.exr", 90, 170, "-d half --tile 32 32 --compression zip"},
        {"tiled-odd-rgb.exr", 70, 130, "--ch R,G,B -d float --tile 24 40"},
        {"window.exr", 80, 140, "-d half --origin +13+29 --fullsize 200x300+0+0"},
        {"rgba.png", 77, 99, "-d uint8"},
        {"rgb16.tif", 65, 140, "--ch R,G,B -d uint16"},
    };
    for (const Plate& c : plates)
        expectStreamedAsWhole(c, false);
}

// With --screen-map shot the matte is pulled from a denoised view of the
// plate, each pixel's 3x3 neighbourhood: streamed, each strip borrows a row
// of the strips above and below, and the key is bit for bit the whole
// frame's.
TEST_F(StreamingTest, ADenoisedViewStreamedEqualsTheWholeFrameKeyed)
{
    const Plate plates[] = {
        {"scan-zip-half.exr", 97, 203, "-d half --compression zip"},
        {"scan-piz.exr", 40, 330, "-d half --compression piz"},
        {"tiled-odd-rgb.exr", 70, 130, "--ch R,G,B -d float --tile 24 40"},
        {"window.exr", 80, 140, "-d half --origin +13+29 --fullsize 200x300+0+0"},
    };
    for (const Plate& c : plates)
        expectStreamedAsWhole(c, true);
}

// The automatic pick on a file reads a grid of rows a strip at a time; on a
// frame large enough to be sampled it must find the colour found on the
// whole frame in memory, also where the grid's step (3 at 1500x1400) does
// not divide the strip's 64 rows. A box reads only its strips, its bottom
// row also when that row begins a strip.
TEST_F(StreamingTest, AutomaticPickOnTheFileEqualsThePickOnTheWholeFrame)
{
    for (const auto& [width, height] : {std::pair{300, 200}, std::pair{1100, 601}, std::pair{1500, 1400}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        const std::string input = plate("pick.exr", width, height, "-d half --compression zip");
        ScreenPick pick;
        pick.kind = ScreenPick::Kind::Auto;
        const Colour fromFile = pickScreenInFile(input, pick, ReadOptions{});
        const Colour fromFrame = pickScreenAuto(readSourceImage(input).pixels);
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(zavtest::bits(fromFile[static_cast<std::size_t>(c)]),
                      zavtest::bits(fromFrame[static_cast<std::size_t>(c)]));
        pick.kind = ScreenPick::Kind::Box;
        const SourceImage whole = readSourceImage(input);
        for (const std::array<int, 4>& b : {std::array<int, 4>{width - 20, height - 90, width - 3, height - 70},
                                            std::array<int, 4>{5, 128, 40, 120}, std::array<int, 4>{5, 190, 0, 199}}) {
            pick.box = b;
            const Colour box = pickScreenInFile(input, pick, ReadOptions{});
            const Colour boxFrame = pickScreenInBox(whole.pixels, b[0], b[1], b[2], b[3]);
            for (int c = 0; c < 3; ++c)
                EXPECT_EQ(zavtest::bits(box[static_cast<std::size_t>(c)]),
                          zavtest::bits(boxFrame[static_cast<std::size_t>(c)]))
                    << b[0] << "," << b[1] << "," << b[2] << "," << b[3];
        }
    }
}

// Frames of different sizes and windows keyed as one sequence, each read
// while the one before is keyed and written, equal each keyed on its own.
TEST_F(StreamingTest, SequenceReadAheadEqualsFramesKeyedOneByOne)
{
    const std::vector<std::string> inputs = {
        plate("s1.exr", 120, 300, "-d half --compression zip"),
        plate("s2.exr", 64, 70, "-d float --origin +5+7 --fullsize 90x90+0+0"),
        plate("s3.exr", 150, 260, "-d half --tile 32 32"),
    };
    KeySession sequence(kPluginDirs, options());
    NoProgress quiet;
    for (std::size_t i = 0; i < inputs.size(); ++i)
        sequence.keyFile(inputs[i], path("seq" + std::to_string(i) + ".exr"), quiet, static_cast<int>(i), 3,
                         i + 1 < inputs.size() ? inputs[i + 1] : std::string());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        KeySession single(kPluginDirs, options());
        single.keyFile(inputs[i], path("one" + std::to_string(i) + ".exr"), quiet, 0, 1);
        expectSameImage(path("seq" + std::to_string(i) + ".exr"), path("one" + std::to_string(i) + ".exr"));
    }
}

// Cancelled after the first strip: nothing written in place of the output
// that was there, nothing left beside it.
class CancelOnFirstStrip final : public KeyProgress {
public:
    explicit CancelOnFirstStrip(CancellationToken& token) : token_(token) {}
    void startFrame(int, int, const std::string&) override {}
    void update(double) override { token_.cancel(); }
    void endFrame() override {}

private:
    CancellationToken& token_;
};

TEST_F(StreamingTest, AnInterruptedRunLeavesNothingBehind)
{
    const std::string input = plate("long.exr", 64, 1000, "-d half --compression zip");
    const std::string next = plate("next.exr", 64, 1000, "-d half --compression zip");
    const std::string output = path("out.exr");
    std::ofstream(output) << "the output of an earlier run";
    CancellationToken token;
    KeyJobOptions job = options();
    job.cancellation = &token;
    KeySession session(kPluginDirs, job);
    CancelOnFirstStrip cancel(token);
    EXPECT_THROW(session.keyFile(input, output, cancel, 0, 2, next), Cancelled);
    std::ifstream kept(output);
    std::string text;
    std::getline(kept, text);
    EXPECT_EQ(text, "the output of an earlier run");
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_EQ(entry.path().filename().string().rfind(".veilcast-", 0), std::string::npos) << entry.path();
}

#ifndef __SANITIZE_ADDRESS__  // AddressSanitizer's own memory would swamp the figure
long residentKiB(const char* which)
{
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key)
        if (key == which && status >> value)
            return value;
    return -1;
}

// Keys the file named by $VEILCAST_TALL_INPUT and writes how much its peak
// resident memory grew to $VEILCAST_TALL_REPORT; run by the test below in a
// process of its own, whose peak is then the keying's alone.
TEST_F(StreamingTest, TallFrameChild)
{
    const char* input = std::getenv("VEILCAST_TALL_INPUT");
    const char* report = std::getenv("VEILCAST_TALL_REPORT");
    if (!input || !report)
        GTEST_SKIP() << "run by KeyingATallFrameHoldsNoFrameSizedBuffer";
    KeySession session(kPluginDirs, options());
    NoProgress quiet;
    const long before = residentKiB("VmRSS:");
    session.keyFile(input, path("tall-keyed.exr"), quiet, 0, 1);
    std::ofstream(report) << residentKiB("VmHWM:") - before << "\n";
}

// A 256 x 60000 frame is 234 MiB as float RGBA: keyed in strips, the peak
// grows by far less.
TEST_F(StreamingTest, KeyingATallFrameHoldsNoFrameSizedBuffer)
{
    const std::string input = plate("tall.exr", 256, 60000, "-d half --compression zip");
    const std::string report = path("peak.txt");
    const std::string command = "VEILCAST_TALL_INPUT=" + input + " VEILCAST_TALL_REPORT=" + report + " " +
                                fs::read_symlink("/proc/self/exe").string() +
                                " --gtest_filter=StreamingTest.TallFrameChild > " + path("child.log") + " 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    long grown = -1;
    std::ifstream(report) >> grown;
    ASSERT_GE(grown, 0) << "the child reported nothing";
    EXPECT_LT(grown, 48 * 1024) << "keying a 234 MiB frame grew the peak by " << grown / 1024 << " MiB";
}
#endif

}  // namespace
