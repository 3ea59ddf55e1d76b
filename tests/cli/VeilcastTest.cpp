// SPDX-License-Identifier: Apache-2.0
// End-to-end: runs the built veilcast binary on small generated files.

#include "veilcast/core/ScreenKeyer.h"

#include "FloatBits.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imageio.h>

#include "VeilcastFixture.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <thread>

namespace {

// Keys `in` with keyRow directly, reading it as the tool does (float, linear).
void expectKeyedByKeyRow(const OIIO::ImageBuf& in, const OIIO::ImageBuf& out, const zav::KeyParams& p)
{
    const auto& spec = in.spec();
    const int alphaIn = spec.channelindex("A");
    const int w = spec.width;
    ASSERT_EQ(out.spec().nchannels, p.checkAlpha ? 3 : 4);
    for (int y = 0; y < spec.height; ++y) {
        std::vector<float> ch[4], want[4];
        for (int c = 0; c < 4; ++c) {
            ch[c].resize(static_cast<std::size_t>(w));
            want[c].assign(static_cast<std::size_t>(w), -1.0f);
        }
        for (int x = 0; x < w; ++x) {
            ch[0][x] = in.getchannel(x, y, 0, spec.channelindex("R"));
            ch[1][x] = in.getchannel(x, y, 0, spec.channelindex("G"));
            ch[2][x] = in.getchannel(x, y, 0, spec.channelindex("B"));
            ch[3][x] = alphaIn >= 0 ? in.getchannel(x, y, 0, alphaIn) : 0.0f;
        }
        zav::keyRow(p, 0, w, ch[0].data(), ch[1].data(), ch[2].data(), alphaIn >= 0 ? ch[3].data() : nullptr,
                    want[0].data(), want[1].data(), want[2].data(), p.checkAlpha ? nullptr : want[3].data(),
                    [] { return false; });
        for (int c = 0; c < out.spec().nchannels; ++c)
            for (int x = 0; x < w; ++x)
                ASSERT_EQ(zavtest::bits(out.getchannel(x, y, 0, c)), zavtest::bits(want[c][x]))
                    << "channel " << c << " at " << x << "," << y;
    }
}

TEST_F(VeilcastTest, FloatOutputEqualsKeyRowBitForBit)
{
    const std::string in = writePlate("plate.exr", {"R", "G", "B", "A"}, OIIO::TypeDesc::FLOAT);
    const Result r = veilcast("'" + in + "' -o '" + path("keyed.exr") +
                              "' --set 'Screen Color=0.1,0.6,0.1' --set screengainknob=1.2 --set 'Source Alpha=Normal'"
                              " --set 'inside replace=2' --set 'Clip Black=0.05' --quiet");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output, "");
    zav::KeyParams p;
    p.screenColor[0] = 0.1f, p.screenColor[1] = 0.6f, p.screenColor[2] = 0.1f;
    p.screenGain = 1.2f;
    p.sourceAlpha = 2;
    p.inMaskReplacementMode = 2;
    p.clipBlack = 0.05f;
    const OIIO::ImageBuf out = read(path("keyed.exr"));
    EXPECT_EQ(out.nativespec().format, OIIO::TypeDesc::FLOAT);
    EXPECT_EQ(out.spec().get_string_attribute("compression"), "zip");
    expectKeyedByKeyRow(read(in), out, p);
}

TEST_F(VeilcastTest, HalfStaysHalfAndCheckAlphaDropsAlpha)
{
    const std::string in = writePlate("plate.exr", {"R", "G", "B"}, OIIO::TypeDesc::HALF);
    ASSERT_EQ(veilcast("'" + in + "' -o '" + path("keyed.exr") + "' --pick-screen 0,0,5,5 -q").exitCode, 0);
    const OIIO::ImageBuf keyed = read(path("keyed.exr"));
    EXPECT_EQ(keyed.nativespec().format, OIIO::TypeDesc::HALF);
    EXPECT_EQ(keyed.spec().nchannels, 4);  // alpha added to an input without one

    const Result r = veilcast("'" + in + "' -o '" + path("matte.exr") +
                              "' --set 'Screen Color=0.1,0.6,0.1' --set CheckAlphaKnob=true -d float -q");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const OIIO::ImageBuf matte = read(path("matte.exr"));
    EXPECT_EQ(matte.nativespec().format, OIIO::TypeDesc::FLOAT);
    zav::KeyParams p;
    p.screenColor[0] = 0.1f, p.screenColor[1] = 0.6f, p.screenColor[2] = 0.1f;
    p.checkAlpha = true;
    expectKeyedByKeyRow(read(in), matte, p);
}

TEST_F(VeilcastTest, SequenceWithFrameRange)
{
    for (int f : {1001, 1003, 1005})
        writePlate("plate." + std::to_string(f) + ".exr", {"R", "G", "B"}, OIIO::TypeDesc::HALF, 16, 8,
                   static_cast<unsigned>(f));
    const Result r = veilcast("'" + path("plate.####.exr") + "' -o '" + path("key.%04d.exr") +
                              "' --frames 1001-1005x2 --pick-screen auto --preview '" + path("sheet.png") + "'");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("picked screen colour"), std::string::npos);
    EXPECT_NE(r.output.find("keyed 3 frames"), std::string::npos) << r.output;
    for (int f : {1001, 1003, 1005})
        EXPECT_TRUE(fs::exists(path("key." + std::to_string(f) + ".exr")));

    // The sequence's preview is its first frame's, as keying that file alone shows it.
    const auto pixels = [](const std::string& file) {
        const OIIO::ImageBuf sheet = read(file);
        std::vector<float> all(sheet.spec().image_pixels() * static_cast<std::size_t>(sheet.nchannels()));
        EXPECT_TRUE(sheet.get_pixels(OIIO::ROI::All(), OIIO::TypeDesc::FLOAT, all.data())) << file;
        return all;
    };
    for (const std::string n : {"1001", "1005"}) {
        const Result one = veilcast("'" + path("plate." + n + ".exr") + "' -o '" + path("one." + n + ".exr") +
                                    "' --pick-screen auto -q --preview '" + path("sheet" + n + ".png") + "'");
        ASSERT_EQ(one.exitCode, 0) << one.output;
    }
    EXPECT_TRUE(pixels(path("sheet.png")) == pixels(path("sheet1001.png"))) << "not the first frame's preview";
    EXPECT_TRUE(pixels(path("sheet1001.png")) != pixels(path("sheet1005.png"))) << "the frames' sheets should differ";

    // A missing frame is named before anything is keyed.
    const Result missing = veilcast("'" + path("plate.####.exr") + "' -o '" + path("again.####.exr") +
                                    "' --frames 1001-1003 --set 'Screen Color=0,1,0' -q");
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.output.find("missing: 1002"), std::string::npos) << missing.output;
    EXPECT_FALSE(fs::exists(path("again.1001.exr")));
}

TEST_F(VeilcastTest, BadInputIsRefusedClearlyAndLeavesNothing)
{
    const std::string plate = writePlate("plate.exr", {"R", "G", "B"}, OIIO::TypeDesc::HALF, 64, 64);
    const std::string alphaOnly = writePlate("alpha.exr", {"A"}, OIIO::TypeDesc::HALF);
    const std::string grey = path("grey.exr");
    {
        const float level[3] = {0.4f, 0.3f, 0.3f};
        ASSERT_TRUE(OIIO::ImageBufAlgo::fill(level, OIIO::ROI(0, 32, 0, 32, 0, 1, 0, 3)).write(grey));
        const auto size = fs::file_size(plate);
        std::ifstream src(plate, std::ios::binary);
        std::string bytes(size / 2, '\0');
        src.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        std::ofstream(path("truncated.exr"), std::ios::binary) << bytes;
        std::ofstream(path("garbage.exr"), std::ios::binary) << "this is not an image";
    }
    const std::string out = path("out.exr");
    struct Case {
        std::string args;
        std::string mentions;
    } cases[] = {
        {"'" + path("nope.exr") + "' -o '" + out + "'", "nope.exr"},
        {"'" + path("truncated.exr") + "' -o '" + out + "'", "truncated.exr"},
        {"'" + path("garbage.exr") + "' -o '" + out + "'", "garbage.exr"},
        {"'" + alphaOnly + "' -o '" + out + "'", "needs red, green and blue"},
        {"'" + plate + "' -o '" + out + "' --set NoSuchKnob=1", "NoSuchKnob"},
        {"'" + plate + "' -o '" + out + "' --set 'Screen Gain=lots'", "lots"},
        {"'" + plate + "' -o '" + out + "' --set 'Inside Replace=Sparkle'", "Sparkle"},
        {"'" + plate + "' -o '" + plate + "'", "overwrite the input"},
        {"'" + plate + "' -o '" + out + "' --preview '" + plate + "'", "preview would overwrite"},
        {"'" + plate + "' -o '" + path("no/such/dir/out.exr") + "'", "out.exr"},
        {"'" + plate + "' -o '" + out + "' --pick-screen 1,2", "--pick-screen"},
        {"'" + plate + "' -o '" + out + "' --settings '" + path("missing.txt") + "'", "missing.txt"},
        {"'" + plate + "' -o '" + out + "' --clip 0.3", "--clip"},
        {"'" + plate + "' -o '" + out + "' --screen-map '" + path("clean.####.exr") + "'", "--screen-map"},
        {"'" + plate + "' -o '" + out + "' --screen-map '" + path("clean.exr") + "'", "no such clean plate"},
        {"'" + plate + "' -o '" + out + "' --screen-map '" + dir.string() + "'", "not a clean plate file"},
        {"'" + plate + "' -o '" + out + "' --max-pixels 960x540", "--max-pixels takes a count of pixels, such as"},
        {"'" + grey + "' -o '" + out + "' --screen-map auto --set 'Screen Color=0.1,0.6,0.1'",
         "grey.exr: no screen map could be made: no pixel has green or blue above its other channels"},
    };
    for (const Case& c : cases) {
        const Result r = veilcast(c.args);
        EXPECT_NE(r.exitCode, 0) << c.args;
        EXPECT_NE(r.output.find(c.mentions), std::string::npos) << c.args << "\n" << r.output;
        EXPECT_FALSE(fs::exists(out)) << c.args;
    }
    expectOnly({"plate.exr", "alpha.exr", "grey.exr", "truncated.exr", "garbage.exr"});

    // A disk that fills up mid-write: a file-size limit makes the write fail.
    const Result full = veilcast("'" + plate + "' -o '" + out + "' --set 'Screen Color=0,1,0'", "ulimit -f 1; ");
    EXPECT_NE(full.exitCode, 0) << full.output;
    EXPECT_NE(full.output.find("out.exr"), std::string::npos) << full.output;
    expectOnly({"plate.exr", "alpha.exr", "grey.exr", "truncated.exr", "garbage.exr"});
}

// A screen map and clips found unaided, from the command line. The clips are
// printed (also with --quiet) as options that, given back, key the same bytes;
// a clean plate of another size is refused naming both files; a plate keyed
// against a clean plate with the same pixels keys to (all but) nothing,
// unevenly lit as it is.
TEST_F(VeilcastTest, ScreenMapAndAutomaticClips)
{
    const std::string plate = writePlate("plate.exr", {"R", "G", "B"}, OIIO::TypeDesc::FLOAT);
    const std::string fixed = " --date-time '2020:01:02 03:04:05' -q";
    const Result found = veilcast(quoted(plate) + " -o " + quoted(path("auto.exr")) + " --screen-map auto --clip auto" + fixed);
    ASSERT_EQ(found.exitCode, 0) << found.output;
    std::smatch screen, clips;
    ASSERT_TRUE(std::regex_search(found.output, screen, std::regex(R"(picked screen colour [^ ]+ \((--set "[^"]+")\)\n)")))
        << found.output;
    ASSERT_TRUE(std::regex_search(found.output, clips,
                                  std::regex(R"(chose clips \((--set "Clip Black=[^"]+" --set "Clip White=[^"]+" --set "Screen Balance=[^"]+")\)\n)")))
        << found.output;
    const std::string given = " --screen-map auto " + screen.str(1) + " " + clips.str(1);
    const Result again = veilcast(quoted(plate) + " -o " + quoted(path("given.exr")) + given + fixed);
    ASSERT_EQ(again.exitCode, 0) << again.output;
    EXPECT_EQ(again.output, "");
    EXPECT_EQ(fileBytes(path("given.exr")), fileBytes(path("auto.exr")));
    // The clips chosen are not the defaults: without them the key differs.
    const Result unclipped = veilcast(quoted(plate) + " -o " + quoted(path("unclipped.exr")) + " --screen-map auto " +
                                      screen.str(1) + fixed);
    ASSERT_EQ(unclipped.exitCode, 0) << unclipped.output;
    EXPECT_NE(fileBytes(path("unclipped.exr")), fileBytes(path("auto.exr")));

    // A clean plate a column narrower or a row shorter is refused, both sizes named.
    for (const auto& [w, h] : {std::pair{36, 23}, std::pair{37, 22}}) {
        const std::string size = std::to_string(w) + "x" + std::to_string(h);
        const std::string clean = writePlate("clean" + size + ".exr", {"R", "G", "B"}, OIIO::TypeDesc::FLOAT, w, h);
        const Result wrong = veilcast(quoted(plate) + " -o " + quoted(path("wrong.exr")) + " --screen-map " + quoted(clean));
        EXPECT_EQ(wrong.exitCode, 2) << wrong.output;
        for (const std::string& named : {clean, plate, size, std::string("37x23")})
            EXPECT_NE(wrong.output.find(named), std::string::npos) << named << " in " << wrong.output;
        EXPECT_FALSE(fs::exists(path("wrong.exr")));
    }
    // A preview over the clean plate is refused before anything is written.
    const std::string cleanPng = path("clean.png");
    ASSERT_TRUE(read(plate).write(cleanPng));
    const std::string cleanBytes = fileBytes(cleanPng);
    const Result over = veilcast(quoted(plate) + " -o " + quoted(path("over.exr")) + " --screen-map " +
                                 quoted(cleanPng) + " --preview " + quoted(cleanPng));
    EXPECT_EQ(over.exitCode, 2) << over.output;
    EXPECT_NE(over.output.find("the preview would overwrite the clean plate"), std::string::npos) << over.output;
    EXPECT_EQ(fileBytes(cleanPng), cleanBytes);
    EXPECT_FALSE(fs::exists(path("over.exr")));
    // Clips given give way to --clip auto, and it is said; a map turned on by the settings alone keys with none.
    const Result overridden = veilcast(quoted(plate) + " -o " + quoted(path("o.exr")) +
                                       " --clip auto --set 'Clip Black=0.9' --set 'Clip White=0.2' -q");
    EXPECT_EQ(overridden.exitCode, 0) << overridden.output;
    for (const char* said : {"Clip Black 0.9 is not used", "Clip White 0.2 is not used"})
        EXPECT_NE(overridden.output.find(said), std::string::npos) << overridden.output;
    EXPECT_EQ(overridden.output.find("all or nothing"), std::string::npos) << overridden.output;
    // So does a colour given to a pick asked for.
    const Result picked = veilcast(quoted(plate) + " -o " + quoted(path("o.exr")) +
                                   " --set 'Screen Color=0,0.5,0' --pick-screen auto -q");
    EXPECT_EQ(picked.exitCode, 0) << picked.output;
    EXPECT_NE(picked.output.find("Screen Color 0,0.5,0 is not used"), std::string::npos) << picked.output;
    const Result noMap = veilcast(quoted(plate) + " -o " + quoted(path("o.exr")) + " --set 'Use Screen Map=on' -q");
    EXPECT_EQ(noMap.exitCode, 0) << noMap.output;
    EXPECT_NE(noMap.output.find("no screen map was asked for"), std::string::npos) << noMap.output;

    // Backing lit unevenly, brighter to the right and to the top, without
    // noise; `turned`, brighter to the left, as the camera's next frame may see it.
    const int w = 64, h = 48;
    const auto writeRamp = [&](const std::string& name, bool turned) {
        OIIO::ImageBuf ramp(OIIO::ImageSpec(w, h, 3, OIIO::TypeDesc::FLOAT));
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const float fx = static_cast<float>(turned ? w - 1 - x : x) / (w - 1);
                const float px[3] = {0.06f + 0.02f * static_cast<float>(y) / (h - 1),
                                     0.5f + 0.1f * fx - 0.05f * static_cast<float>(y) / (h - 1), 0.1f};
                ramp.setpixel(x, y, px, 3);
            }
        ASSERT_TRUE(ramp.write(path(name)));
    };
    writeRamp("ramp.exr", false);
    const auto maxAlpha = [&](const std::string& options) {
        const Result r = veilcast(quoted(path("ramp.exr")) + " -o " + quoted(path("ramp-keyed.exr")) + options);
        EXPECT_EQ(r.exitCode, 0) << r.output;
        const OIIO::ImageBuf keyed = read(path("ramp-keyed.exr"));
        return OIIO::ImageBufAlgo::computePixelStats(keyed).max[3];
    };
    // Cleared to what no one sees: the map is smooth, not the plate itself,
    // so rounding-level residues of its cells remain.
    fs::copy_file(path("ramp.exr"), path("ramp-clean.exr"));
    EXPECT_LE(maxAlpha(" --screen-map " + quoted(path("ramp-clean.exr"))), 0.005f);
    EXPECT_GT(maxAlpha(" --pick-screen auto"), 0.01f);  // one colour cannot clear it

    // A sequence lit from one side, then the other: each frame keys clear
    // with a map of its own, made from it or from its own clean plate. The
    // map made from the plate sits a little below its backing, as the pick
    // does, and leaves under 2%; either frame keyed with the other's map
    // leaves about 20% where the light differs by a fifth.
    writeRamp("seq.0001.exr", false);
    writeRamp("seq.0002.exr", true);
    fs::copy_file(path("seq.0001.exr"), path("bare.0001.exr"));
    fs::copy_file(path("seq.0002.exr"), path("bare.0002.exr"));
    for (const auto& [map, most] : {std::pair{std::string("auto"), 0.02f}, std::pair{quoted(path("bare.####.exr")), 0.005f}}) {
        const Result r = veilcast(quoted(path("seq.####.exr")) + " -o " + quoted(path("seq-keyed.####.exr")) +
                                  " --frames 1-2 -q --screen-map " + map);
        ASSERT_EQ(r.exitCode, 0) << map << ": " << r.output;
        for (const std::string frame : {"0001", "0002"})
            EXPECT_LE(OIIO::ImageBufAlgo::computePixelStats(read(path("seq-keyed." + frame + ".exr"))).max[3], most)
                << map << ", frame " << frame;
    }
    // The clips are chosen once, on the first frame: the values printed key
    // the second frame alone as the run keyed it.
    const Result run = veilcast(quoted(path("seq.####.exr")) + " -o " + quoted(path("clipped.####.exr")) +
                                " --frames 1-2 --screen-map auto --clip auto" + fixed);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    std::smatch runScreen, runClips;
    ASSERT_TRUE(std::regex_search(run.output, runScreen, std::regex(R"(picked screen colour [^ ]+ \((--set "[^"]+")\)\n)")));
    ASSERT_TRUE(std::regex_search(run.output, runClips,
                                  std::regex(R"(chose clips \((--set "Clip Black=[^"]+" --set "Clip White=[^"]+" --set "Screen Balance=[^"]+")\)\n)")))
        << run.output;
    EXPECT_EQ(run.output.find("chose clips", run.output.find("chose clips") + 1), std::string::npos) << run.output;
    const Result alone = veilcast(quoted(path("seq.0002.exr")) + " -o " + quoted(path("alone.exr")) + " --screen-map auto " +
                                  runScreen.str(1) + " " + runClips.str(1) + fixed);
    ASSERT_EQ(alone.exitCode, 0) << alone.output;
    EXPECT_EQ(OIIO::ImageBufAlgo::compare(read(path("alone.exr")), read(path("clipped.0002.exr")), 0.0f, 0.0f).nfail, 0u);
}

// Frames of a shot re-keyed alone, with --shot-frames naming the whole
// shot, key bit for bit as in the run of the whole: the plate behind the
// moving subject is gathered over the same frames.
TEST_F(VeilcastTest, ShotFramesKeyPartOfAShotAsTheWhole)
{
    const int w = 96, h = 48;
    for (int f = 1; f <= 6; ++f) {
        OIIO::ImageBuf plate(OIIO::ImageSpec(w, h, 3, OIIO::TypeDesc::FLOAT));
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const bool subject = x >= 10 * f && x < 10 * f + 24 && y >= 12 && y < 40;
                const float fx = static_cast<float>(x) / (w - 1);
                const float backing[3] = {0.06f, 0.45f + 0.15f * fx, 0.1f}, red[3] = {0.7f, 0.1f, 0.05f};
                plate.setpixel(x, y, subject ? red : backing, 3);
            }
        ASSERT_TRUE(plate.write(path("shot." + std::to_string(10000 + f).substr(1) + ".exr")));
    }
    const std::string shot = quoted(path("shot.####.exr")) + " --screen-map shot -d float -q" +
                             " --set 'Screen Color=0.06,0.5,0.1' --date-time '2020:01:02 03:04:05'";
    const auto key = [&](const std::string& out, const std::string& frames) {
        const Result r = veilcast(shot + " -o " + quoted(path(out + ".####.exr")) + frames);
        EXPECT_EQ(r.exitCode, 0) << r.output;
    };
    key("whole", " --frames 1-6");
    key("part", " --frames 3-4 --shot-frames 1-6");
    key("alone", " --frames 3-4");
    for (const std::string frame : {"0003", "0004"}) {
        EXPECT_EQ(fileBytes(path("part." + frame + ".exr")), fileBytes(path("whole." + frame + ".exr"))) << frame;
        EXPECT_NE(fileBytes(path("alone." + frame + ".exr")), fileBytes(path("whole." + frame + ".exr")))
            << frame << ": the frames keyed alone should gather another plate, or this shows nothing";
    }
    // Only a shot gathers a plate, and only a sequence is gathered ahead.
    const Result unmapped = veilcast(quoted(path("shot.####.exr")) + " -o " + quoted(path("u.####.exr")) +
                                     " --frames 3-4 --shot-frames 1-6 --screen-map auto");
    EXPECT_EQ(unmapped.exitCode, 2) << unmapped.output;
    EXPECT_NE(unmapped.output.find("--shot-frames names the frames a shot's plate is gathered over: it goes with "
                                   "--screen-map shot"),
              std::string::npos)
        << unmapped.output;
    const Result badRange = veilcast(shot + " -o " + quoted(path("b.####.exr")) + " --frames 3-4 --shot-frames 6-1");
    EXPECT_EQ(badRange.exitCode, 2) << badRange.output;
    EXPECT_NE(badRange.output.find("--shot-frames: \"6-1\" runs backwards"), std::string::npos) << badRange.output;
    expectOnly({"shot.0001.exr", "shot.0002.exr", "shot.0003.exr", "shot.0004.exr", "shot.0005.exr", "shot.0006.exr",
                "whole.0001.exr", "whole.0002.exr", "whole.0003.exr", "whole.0004.exr", "whole.0005.exr",
                "whole.0006.exr", "part.0003.exr", "part.0004.exr", "alone.0003.exr", "alone.0004.exr"});
}

TEST_F(VeilcastTest, InterruptedRunLeavesNoPartialOutput)
{
    const int frames = 200;
    for (int f = 1; f <= frames; ++f)
        if (f == 1)
            writePlate("p.0001.exr", {"R", "G", "B"}, OIIO::TypeDesc::HALF, 256, 128);
        else
            fs::copy_file(path("p.0001.exr"), path(framePath(f)));
    std::string range = "--frames=1-" + std::to_string(frames);
    const std::string in = path("p.####.exr"), out = path("k.####.exr");
    const char* argv[] = {VEILCAST_BINARY, in.c_str(), "-o", out.c_str(), range.c_str(), "--set", "Screen Color=0,1,0",
                          "-q", nullptr};
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, VEILCAST_BINARY, nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!fs::exists(path("k.0002.exr")) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 143);
    int written = 0;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        EXPECT_NE(name[0], '.') << "temporary file left: " << name;
        if (name[0] == 'k') {
            ++written;
            EXPECT_EQ(read(e.path().string()).spec().nchannels, 4) << name;  // complete and readable
        }
    }
    EXPECT_GE(written, 2);
    EXPECT_LT(written, frames);
}

}  // namespace
