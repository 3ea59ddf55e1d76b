// SPDX-License-Identifier: Apache-2.0
// Movies made by the ffmpeg program from the demo plate, keyed by the
// veilcast program, and read back by ffmpeg and ffprobe: the keyed alpha is
// compared with keying the same frames, decoded by ffmpeg, in memory.

#include "ColourConfigFile.h"
#include "Ffprobe.h"
#include "RunTool.h"
#include "veilcast/common/UsageError.h"
#include "veilcast/media/DemoPlate.h"
#include "veilcast/session/KeySession.h"
#include "veilcast/session/MovieKeying.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

namespace veilcast {
namespace {

using namespace DD::Image;
namespace fs = std::filesystem;

constexpr int kWidth = 320, kHeight = 180, kFrames = 12;

std::string quoted(const std::string& s)
{
    return "'" + s + "'";
}

std::string fileBytes(const std::string& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string run(const std::string& command)
{
    return runChecked(command);
}

// ffprobe's view of the first video (or audio) stream: key=value lines.
std::map<std::string, std::string> probe(const std::string& file, const char* stream = "v:0",
                                         const std::string& entries = "stream=codec_name,pix_fmt,nb_read_frames,"
                                                                      "r_frame_rate,time_base,color_range,color_space:"
                                                                      "stream_tags")
{
    return probeValues(file, "-select_streams " + std::string(stream) + " -count_frames", entries);
}

double fromBt709(double v)
{
    return v < 0.081 ? v / 4.5 : std::pow((v + 0.099) / 1.099, 1 / 0.45);
}

// All frames of a movie as 16-bit RGBA, decoded and converted by ffmpeg.
std::vector<std::vector<std::uint16_t>> decodeWithFfmpeg(const std::string& file, const std::string& decoder,
                                                         const std::string& scale)
{
    const std::string raw = file + ".rgba64";
    run("ffmpeg -v error -y " + decoder + " -i '" + file + "' -vf '" + scale + "' -fps_mode passthrough -f rawvideo -pix_fmt rgba64le '" +
        raw + "'");
    std::ifstream in(raw, std::ios::binary);
    std::vector<std::vector<std::uint16_t>> frames;
    const std::size_t values = std::size_t{kWidth} * kHeight * 4;
    for (;;) {
        std::vector<std::uint16_t> f(values);
        if (!in.read(reinterpret_cast<char*>(f.data()), static_cast<std::streamsize>(values * 2)))
            break;
        frames.push_back(std::move(f));
    }
    fs::remove(raw);
    return frames;
}

// The frames' colour tags, which the encoders and containers carry.
std::string tags(const std::string& range)
{
    return "setparams=range=" + range + ":colorspace=bt709:color_trc=bt709:color_primaries=bt709";
}

class Movies : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        clips = fs::path(::testing::TempDir()) / ("veilcast-movies-" + std::to_string(getpid()));
        fs::remove_all(clips);
        fs::create_directories(clips);
        // The demo plate with its subject sliding right, BT.709-encoded into 16-bit PNGs.
        const PlanarImage plate = makeDemoPlate(kWidth, kHeight);
        for (int f = 0; f < kFrames; ++f) {
            OIIO::ImageBuf buf(OIIO::ImageSpec(kWidth, kHeight, 3, OIIO::TypeDesc::UINT16));
            for (int y = 0; y < kHeight; ++y)
                for (int x = 0; x < kWidth; ++x) {
                    const int sx = (x - 7 * f + kWidth) % kWidth;
                    float px[3];
                    int c = 0;
                    for (Channel z : {Chan_Red, Chan_Green, Chan_Blue}) {
                        const double l = std::clamp(static_cast<double>(plate.row(z, y)[sx]), 0.0, 1.0);
                        px[c++] = static_cast<float>(l < 0.018 ? 4.5 * l : 1.099 * std::pow(l, 0.45) - 0.099);
                    }
                    buf.setpixel(x, y, px, 3);
                }
            char name[32];
            std::snprintf(name, sizeof name, "f%02d.png", f + 1);
            ASSERT_TRUE(buf.write((clips / name).string())) << buf.geterror();
        }
        const std::string frames = "-framerate 24 -i '" + (clips / "f%02d.png").string() + "' ";
        run("cd '" + clips.string() + "' && ffmpeg -v error -y " + frames +
            "-f lavfi -i sine=frequency=440:sample_rate=48000 -map 0:v -map 1:a -shortest "
            "-c:v libx264 -crf 8 -pix_fmt yuv420p -vf scale=out_color_matrix=bt709:out_range=pc," + tags("pc") + " "
            "-c:a aac -timecode 01:00:00:00 full709.mp4");
        run("cd '" + clips.string() + "' && ffmpeg -v error -y -framerate 25 -i f%02d.png "
            "-c:v prores_ks -profile:v 3 -pix_fmt yuv422p10le -vf scale=out_color_matrix=bt709:out_range=tv," + tags("tv") + " "
            "-timecode 10:00:00:00 limited709.mov");
    }
    static void TearDownTestSuite() { fs::remove_all(clips); }

    void SetUp() override
    {
        dir = clips / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(dir);
    }

    std::string path(const std::string& name) const { return (dir / name).string(); }
    static std::string clip(const std::string& name) { return (clips / name).string(); }

    std::vector<std::string> listing() const
    {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // The in-memory key of an ffmpeg-decoded frame, linearised by hand.
    static std::vector<float> referenceAlpha(KeySession& keyer, const std::vector<std::uint16_t>& rgba)
    {
        const Box box{0, 0, kWidth, kHeight};
        PlanarImage frame(box, box, {Chan_Red, Chan_Green, Chan_Blue});
        for (int y = 0; y < kHeight; ++y)
            for (int c = 0; c < 3; ++c) {
                float* row = frame.row(static_cast<Channel>(c + 1), y);
                for (int x = 0; x < kWidth; ++x)
                    row[x] = static_cast<float>(fromBt709(rgba[(static_cast<std::size_t>(y) * kWidth + x) * 4 + c] / 65535.0));
            }
        const PlanarImage keyed = keyer.keyImage(frame);
        std::vector<float> alpha;
        for (int y = 0; y < kHeight; ++y)
            alpha.insert(alpha.end(), keyed.row(Chan_Alpha, y), keyed.row(Chan_Alpha, y) + kWidth);
        return alpha;
    }

    static fs::path clips;
    fs::path dir;
};

fs::path Movies::clips;

const char* const kControls = "--set 'Clip Black=0.12' --set 'Clip White=0.9'";

// Each chroma sample for the pixels it covers, as veilcast and ffmpeg's
// chromakey take it: the nearest sample, placed at the centre of its pixels.
const char* const kStoredChroma = "flags=neighbor+accurate_rnd+full_chroma_int:in_h_chr_pos=128:in_v_chr_pos=128";

struct Source {
    const char* file;
    const char* rate;
    const char* timecode;
    std::string scale;  // how ffmpeg turns its frames into RGB, as they were made
};
const Source kSources[] = {
    {"full709.mp4", "24/1", "01:00:00:00", "scale=in_color_matrix=bt709:in_range=pc:" + std::string(kStoredChroma)},
    {"limited709.mov", "25/1", "10:00:00:00", "scale=in_color_matrix=bt709:in_range=tv:" + std::string(kStoredChroma)},
};

struct Output {
    const char* name;
    const char* codec;
    const char* pixFmt;
    const char* alphaMode;  // Matroska's flag for alpha beside the picture
    const char* decoder;  // how ffmpeg reads the alpha back
    double meanTolerance, pixelTolerance;
};
const Output kOutputs[] = {
    // FFmpeg's decoder hands ProRes 4444 out at 12 bits, whatever it was written at.
    {"keyed.mov", "prores", "yuva444p12le", "", "", 0.004, 0.05},
    {"keyed.webm", "vp9", "yuv420p", "1", "-c:v libvpx-vp9", 0.02, 0.35},
    {"keyed.mkv", "ffv1", "", "", "", 0.004, 0.05},
};

TEST_F(Movies, KeyedToEachContainerKeepsFramesRateTimecodeAndAlpha)
{
    for (const Source& source : kSources) {
        std::map<std::string, std::vector<std::vector<std::uint16_t>>> alphaOf;
        const auto reference = decodeWithFfmpeg(clip(source.file), "", source.scale);
        ASSERT_EQ(reference.size(), std::size_t{kFrames}) << source.file;
        for (const Output& output : kOutputs) {
            SCOPED_TRACE(std::string(source.file) + " -> " + output.name);
            const std::string out = path(output.name);
            const Result r = runVeilcast(quoted(clip(source.file)) + " -o " + quoted(out) + " " + kControls);
            ASSERT_EQ(r.exitCode, 0) << r.output;
            std::smatch picked;
            ASSERT_TRUE(std::regex_search(r.output, picked, std::regex("picked screen colour ([-0-9.,e]+)"))) << r.output;

            auto info = probe(out);
            EXPECT_EQ(info["codec_name"], output.codec);
            // FFV1 keeps the source's sampling, with alpha at 16 bits.
            EXPECT_EQ(info["pix_fmt"], *output.pixFmt ? std::string(output.pixFmt)
                                                      : std::string(source.file) == "full709.mp4" ? "yuva420p16le" : "yuva422p16le");
            EXPECT_EQ(info["tag:alpha_mode"], output.alphaMode);
            EXPECT_EQ(info["nb_read_frames"], std::to_string(kFrames));
            EXPECT_EQ(info["r_frame_rate"], source.rate);
            EXPECT_EQ(info["tag:timecode"], source.timecode);
            // Matroska counts in milliseconds whatever it is given; QuickTime keeps the source's base.
            EXPECT_EQ(info["time_base"], std::string(output.name) == "keyed.mov" ? probe(clip(source.file))["time_base"]
                                                                                : "1/1000");

            KeyJobOptions options;
            options.settings = {parseSetting("Screen Color=" + picked[1].str(), "test"), parseSetting("Clip Black=0.12", "test"),
                                parseSetting("Clip White=0.9", "test")};
            KeySession keyer({fs::path(VEILCAST_PLUGIN_FILE).parent_path().string()}, options);
            const auto keyed = decodeWithFfmpeg(out, output.decoder, "null");
            ASSERT_EQ(keyed.size(), std::size_t{kFrames});
            alphaOf[output.name] = keyed;
            for (int f = 0; f < kFrames; ++f) {
                const std::vector<float> expected = referenceAlpha(keyer, reference[static_cast<std::size_t>(f)]);
                double sum = 0, worst = 0;
                for (std::size_t i = 0; i < expected.size(); ++i) {
                    const double a = keyed[static_cast<std::size_t>(f)][i * 4 + 3] / 65535.0;
                    const double d = std::fabs(a - std::clamp(static_cast<double>(expected[i]), 0.0, 1.0));
                    sum += d;
                    worst = std::max(worst, d);
                }
                EXPECT_LT(sum / static_cast<double>(expected.size()), output.meanTolerance) << "frame " << f + 1;
                EXPECT_LT(worst, output.pixelTolerance) << "frame " << f + 1;
            }
        }
        // ProRes keeps alpha at 10 bits: each value the nearest level to the
        // 16-bit alpha FFV1 keeps of the same key, not the one below it.
        const auto& mov = alphaOf["keyed.mov"];
        const auto& mkv = alphaOf["keyed.mkv"];
        ASSERT_EQ(mov.size(), mkv.size());
        long off = 0, fractional = 0;
        for (std::size_t f = 0; f < mov.size(); ++f)
            for (std::size_t i = 3; i < mov[f].size(); i += 4) {
                const double exact = mkv[f][i] / 65535.0 * 1023;
                fractional += exact != std::floor(exact);
                // Halfway values may go either way with 16-bit rounding before.
                if (std::fabs(exact - std::floor(exact) - 0.5) > 0.02)
                    off += std::fabs(mov[f][i] / 65535.0 * 1023 - std::floor(exact + 0.5)) > 0.25;
            }
        EXPECT_GT(fractional, 1000) << source.file;
        EXPECT_EQ(off, 0) << source.file << ": alpha levels not rounded to the nearest";
    }
}

// Every frame of a movie as 16-bit RGB, decoded by ffmpeg with the matrix and
// range the file's own tags report, so a file tagged otherwise than it is
// written decodes wrong.
std::vector<std::vector<std::uint16_t>> decodeAsTagged(const std::string& file, int width, int height)
{
    auto tagged = probe(file, "v:0", "stream=color_range,color_space");
    const std::string scale = tagged["color_space"] == "gbr"
                                  ? "null"
                                  : "scale=in_color_matrix=" + tagged["color_space"] + ":in_range=" + tagged["color_range"] +
                                        ":" + kStoredChroma;
    const std::string raw = file + ".rgb48";
    run("ffmpeg -v error -y -i '" + file + "' -vf '" + scale + "' -fps_mode passthrough -f rawvideo -pix_fmt rgb48le '" +
        raw + "'");
    std::ifstream in(raw, std::ios::binary);
    std::vector<std::vector<std::uint16_t>> frames;
    const std::size_t values = static_cast<std::size_t>(width) * height * 3;
    for (std::vector<std::uint16_t> f(values); in.read(reinterpret_cast<char*>(f.data()), static_cast<std::streamsize>(values * 2));)
        frames.push_back(f);
    fs::remove(raw);
    return frames;
}

// One ffprobe entry per frame (or packet) of a stream, in order.
std::vector<std::string> column(const std::string& file, const std::string& stream, const std::string& entry)
{
    std::vector<std::string> values = probeLines(file, "-select_streams " + stream, entry);
    for (std::string& v : values)
        v = v.substr(0, v.find(','));
    return values;
}

// Clips made by ffmpeg, keyed with a black screen colour (which keys
// nothing) into each container: what the footage says about itself comes out
// as it went in, and the pictures decode, as tagged, to the source's.
TEST_F(Movies, ClipsComeOutAsTheyWentIn)
{
    const int w = 160, h = 96;
    const std::string picture = "-f lavfi -i testsrc2=size=160x96:rate=24:duration=0.5 ";
    const std::string sound = "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=0.5 ";
    const std::string make = "cd '" + dir.string() + "' && ffmpeg -v error -y ";
    run(make + picture + sound + "-c:v libx264 -pix_fmt yuvj420p -color_range pc -colorspace bt709 -color_trc bt709 "
               "-color_primaries bt709 -c:a aac full.mp4");
    // A transport stream's clock starts well after zero, its picture and sound apart.
    run(make + "-i full.mp4 -c copy full.ts");
    run(make + picture + "-c:v libx264 -pix_fmt yuv420p -color_range tv -colorspace bt709 -color_trc bt709 "
               "-color_primaries bt709 limited.mp4");
    // Six frames at 1/24 s, then six at 1/12 s.
    run(make + picture + "-vf \"setpts='if(lt(N,6),N/24,0.25+(N-6)/12)/TB'\" -fps_mode passthrough -c:v libx264 "
               "-pix_fmt yuv420p vfr.mp4");
    run(make + picture + "-vf setsar=4/3 -c:v libx264 -pix_fmt yuv420p anamorphic.mp4");
    run(make + picture + "-vf setfield=tff -flags +ildct+ilme -c:v libx264 -pix_fmt yuv420p interlaced.mp4");
    run(make + picture + sound + "-c:v libx264 -pix_fmt yuv420p -c:a libopus opus.mkv");
    run(make + picture + sound + "-c:v libx264 -pix_fmt yuv420p -c:a flac flac.mkv");
    // A phone's portrait clip: the track's display matrix turns it a quarter.
    std::string mp4 = fileBytes(path("limited.mp4"));
    const auto tkhd = mp4.find("tkhd");
    ASSERT_NE(tkhd, std::string::npos);
    const unsigned char quarter[24] = {0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    mp4.replace(tkhd + 44, 24, reinterpret_cast<const char*>(quarter), 24);
    std::ofstream(path("rotated.mp4"), std::ios::binary) << mp4;
    ASSERT_EQ(probe(path("rotated.mp4"), "v:0", "stream_side_data=rotation")["rotation"], "-90");

    struct Case {
        std::string input, output, extra;
        std::map<std::string, std::string> tags;  // ffprobe's, of the output's video stream
        double meanLevels;                       // 0: pictures not compared
        std::string audio, notice;               // the output's audio codec; a line the run prints
    };
    const std::string range = "stream=color_range,color_space,color_transfer";
    const Case cases[] = {
        // ProRes holds limited range only: full-range colour is converted to it.
        {"full.mp4", "full.mov", "", {{"color_range", "tv"}, {"color_space", "bt709"}, {"color_transfer", "bt709"}}, 1.0, "aac", ""},
        {"full.mp4", "full.webm", "", {{"color_range", "pc"}, {"color_space", "bt709"}}, 4.0, "", "audio (aac) is left out"},
        {"limited.mp4", "limited.mov", "", {{"color_range", "tv"}, {"color_space", "bt709"}}, 1.0, "", ""},
        {"limited.mp4", "limited.webm", "", {{"color_range", "tv"}, {"color_space", "bt709"}}, 4.0, "", ""},
        {"vfr.mp4", "vfr.mov", "", {}, 1.0, "", ""},
        {"vfr.mp4", "vfr.mkv", "", {}, 0.1, "", ""},
        {"rotated.mp4", "rotated.mov", "", {{"rotation", "-90"}}, 0, "", ""},
        {"anamorphic.mp4", "anamorphic.mov", "", {{"sample_aspect_ratio", "4:3"}}, 0, "", ""},
        {"anamorphic.mp4", "anamorphic.mkv", "", {{"sample_aspect_ratio", "4:3"}}, 0, "", ""},
        {"interlaced.mp4", "interlaced.mov", "", {{"field_order", "tt"}}, 0, "", ""},
        {"interlaced.mp4", "interlaced.mkv", "", {{"field_order", "tt"}}, 0, "", ""},
        // QuickTime takes neither unconverted: the picture is kept, the sound left out.
        {"opus.mkv", "opus.mov", "", {}, 0, "", "audio (opus) is left out"},
        {"flac.mkv", "flac.mov", "", {}, 0, "", "audio (flac) is left out"},
        {"flac.mkv", "flac.mkv", "", {}, 0, "flac", ""},
        // The first kept frame starts inside an audio packet, which is kept: its head plays before it.
        {"full.mp4", "part.mov", "--frames 4-12", {}, 0, "aac", ""},
        {"full.ts", "part-ts.mov", "--frames 4-12", {}, 0, "aac", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input + " -> " + c.output + " " + c.extra);
        const std::string in = path(c.input), out = path("out-" + c.output);
        const Result r = runVeilcast(quoted(in) + " -o " + quoted(out) + " " + c.extra + " --set 'Screen Color=0,0,0'");
        ASSERT_EQ(r.exitCode, 0) << r.output;
        // Progress counts the frames there are, and no more.
        EXPECT_EQ(r.output.find("frame 13/"), std::string::npos) << r.output;
        if (!c.notice.empty()) {
            EXPECT_NE(r.output.find(c.notice), std::string::npos) << r.output;
        }
        auto tags = probe(out, "v:0", range + ",sample_aspect_ratio,field_order:stream_side_data=rotation");
        for (const auto& [key, value] : c.tags)
            EXPECT_EQ(tags[key], value) << key;
        EXPECT_EQ(probe(out, "a:0", "stream=codec_name")["codec_name"], c.audio);

        // Each frame shown when the source shows it (from the first kept one).
        std::vector<std::string> times = column(in, "v:0", "frame=pts_time"), got = column(out, "v:0", "frame=pts_time");
        const std::size_t skipped = c.extra.empty() ? 0 : 3;
        ASSERT_EQ(got.size() + skipped, times.size());
        for (std::size_t i = 0; i < got.size(); ++i)
            EXPECT_NEAR(std::stod(got[i]), std::stod(times[i + skipped]) - std::stod(times[skipped]), 0.001) << "frame " << i + 1;
        if (skipped) {
            const double audio = std::stod(column(out, "a:0", "packet=pts_time").front());
            EXPECT_LE(audio, 0.0);
            EXPECT_GT(audio, -1024.0 / 48000);
        }
        if (c.meanLevels > 0) {
            const auto source = decodeAsTagged(in, w, h), keyed = decodeAsTagged(out, w, h);
            ASSERT_EQ(keyed.size(), source.size());
            double sum = 0;
            for (std::size_t f = 0; f < keyed.size(); ++f)
                for (std::size_t i = 0; i < keyed[f].size(); ++i)
                    sum += std::fabs(keyed[f][i] - source[f][i]) / 257.0;
            EXPECT_LT(sum / static_cast<double>(keyed.size() * keyed[0].size()), c.meanLevels) << "mean error in 8-bit levels";
        }
    }
}

TEST_F(Movies, AudioIsCopiedIntoMovAndLeftOutOfWebmWithANotice)
{
    const std::string mov = path("keyed.mov");
    Result r = runVeilcast(quoted(clip("full709.mp4")) + " -o " + quoted(mov) + " " + kControls);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(probe(mov, "a:0")["codec_name"], "aac");
    EXPECT_EQ(run("ffprobe -v error -select_streams a:0 -show_entries packet=size -of csv=p=0 '" + mov + "' | md5sum"),
              run("ffprobe -v error -select_streams a:0 -show_entries packet=size -of csv=p=0 '" +
                  clip("full709.mp4") + "' | md5sum"));

    const std::string webm = path("keyed.webm");
    r = runVeilcast(quoted(clip("full709.mp4")) + " -o " + quoted(webm) + " " + kControls);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("audio (aac) is left out"), std::string::npos) << r.output;
    EXPECT_TRUE(probe(webm, "a").empty());
}

TEST_F(Movies, FramesPickARangeFrameAccurately)
{
    const auto reference = decodeWithFfmpeg(clip("limited709.mov"), "", kSources[1].scale);
    const Result r = runVeilcast(quoted(clip("limited709.mov")) + " -o " + quoted(path("k.####.exr")) +
                              " --frames 4-6 " + kControls);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(listing(), (std::vector<std::string>{"k.0004.exr", "k.0005.exr", "k.0006.exr"}));
    std::smatch picked;
    ASSERT_TRUE(std::regex_search(r.output, picked, std::regex("picked screen colour ([-0-9.,e]+)"))) << r.output;
    KeyJobOptions options;
    options.settings = {parseSetting("Screen Color=" + picked[1].str(), "test"), parseSetting("Clip Black=0.12", "test"),
                                parseSetting("Clip White=0.9", "test")};
    KeySession keyer({fs::path(VEILCAST_PLUGIN_FILE).parent_path().string()}, options);
    for (int f = 4; f <= 6; ++f) {
        char name[16];
        std::snprintf(name, sizeof name, "k.%04d.exr", f);
        OIIO::ImageBuf buf(path(name));
        ASSERT_TRUE(buf.read(0, 0, true, OIIO::TypeDesc::FLOAT)) << buf.geterror();
        // Each frame says when it is: the movie's timecode moved on to it, at the movie's rate.
        const OIIO::ImageSpec& spec = buf.spec();
        // SMPTE packs it as decimal digits, hours' tens at bit 28 and frames' units at bit 0: 10:00:00:0N.
        unsigned timecode[2] = {0, 0};
        EXPECT_TRUE(spec.getattribute("smpte:TimeCode", OIIO::TypeTimeCode, timecode)) << name;
        EXPECT_EQ(timecode[0], 0x10000000u | static_cast<unsigned>(f - 1)) << name;
        int rate[2] = {0, 0};
        EXPECT_TRUE(spec.getattribute("FramesPerSecond", OIIO::TypeRational, rate)) << name;
        EXPECT_EQ(rate[0] * 1000 + rate[1], 25001) << name;
        EXPECT_EQ(spec.get_float_attribute("PixelAspectRatio", 0), 1.0f) << name;
        // The subject moves 7 pixels a frame: only the right frame's key matches.
        for (int candidate = f - 1; candidate <= f + 1; ++candidate) {
            const auto expected = referenceAlpha(keyer, reference[static_cast<std::size_t>(candidate - 1)]);
            double sum = 0;
            for (int y = 0; y < kHeight; ++y)
                for (int x = 0; x < kWidth; ++x)
                    sum += std::fabs(buf.getchannel(x, y, 0, 3) -
                                     expected[static_cast<std::size_t>(y) * kWidth + x]);
            const double mean = sum / (kWidth * kHeight);
            if (candidate == f)
                EXPECT_LT(mean, 0.004) << name;
            else
                EXPECT_GT(mean, 0.01) << name << " against frame " << candidate;
        }
    }

    const Result mov = runVeilcast(quoted(clip("limited709.mov")) + " -o " + quoted(path("part.mov")) + " --frames 3-12 " +
                                kControls);
    ASSERT_EQ(mov.exitCode, 0) << mov.output;
    auto info = probe(path("part.mov"));
    EXPECT_EQ(info["nb_read_frames"], "10");
    EXPECT_EQ(info["tag:timecode"], "10:00:00:02");
}

// With --screen-map shot a movie gathers its plate and chooses its clips
// over the frames to be keyed before the first, as the same frames do as
// images: its frames passed through unkeyed (a black screen colour keys
// nothing) and keyed as a sequence print the same clips and key to the
// same bits.
TEST_F(Movies, AShotKeysAsItsFramesDoAsImages)
{
    const std::string shot = " --frames 3-10 -d float --screen-map shot --clip auto";
    const Result decoded = runVeilcast(quoted(clip("limited709.mov")) + " -o " + quoted(path("dec.####.exr")) +
                                       " --frames 3-10 -d float --set 'Screen Color=0,0,0'");
    ASSERT_EQ(decoded.exitCode, 0) << decoded.output;
    const Result movie = runVeilcast(quoted(clip("limited709.mov")) + " -o " + quoted(path("m.####.exr")) + shot);
    ASSERT_EQ(movie.exitCode, 0) << movie.output;
    const Result frames = runVeilcast(quoted(path("dec.####.exr")) + " -o " + quoted(path("s.####.exr")) + shot);
    ASSERT_EQ(frames.exitCode, 0) << frames.output;
    const std::regex chose("chose clips \\([^)]*\\)");
    std::smatch fromMovie, fromFrames;
    ASSERT_TRUE(std::regex_search(movie.output, fromMovie, chose)) << movie.output;
    ASSERT_TRUE(std::regex_search(frames.output, fromFrames, chose)) << frames.output;
    EXPECT_EQ(fromMovie.str(), fromFrames.str());
    for (int f = 3; f <= 10; ++f) {
        char name[16];
        std::snprintf(name, sizeof name, "%04d.exr", f);
        OIIO::ImageBuf m(path(std::string("m.") + name)), q(path(std::string("s.") + name));
        const auto diff = OIIO::ImageBufAlgo::compare(m, q, 0.0f, 0.0f);
        EXPECT_FALSE(diff.error) << name;
        EXPECT_EQ(diff.nfail, 0u) << name;
    }
}

TEST_F(Movies, CheckAlphaWritesTheMatteAsDataEvenWhereAlphaCannotGo)
{
    const Result r = runVeilcast(quoted(clip("full709.mp4")) + " -o " + quoted(path("matte.mp4")) +
                                 " --set CheckAlphaKnob=on " + kControls);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    auto info = probe(path("matte.mp4"), "v:0", "stream=codec_name,pix_fmt,nb_read_frames,color_range,color_space,color_transfer");
    EXPECT_EQ(info["codec_name"], "h264");
    // The source's full range is carried, which H.264 decoders report as the "j" format.
    EXPECT_EQ(info["pix_fmt"], "yuvj420p");
    EXPECT_EQ(info["color_range"], "pc");
    EXPECT_EQ(info["color_space"], "bt709");
    // Coverage is data: stored as it is, no transfer curve, and tagged so.
    EXPECT_EQ(info["color_transfer"], "linear");
    EXPECT_EQ(info["nb_read_frames"], std::to_string(kFrames));
    // Grey: the three channels agree within the codec's rounding, and each is
    // the alpha the same key stores losslessly in FFV1.
    const Result mkv = runVeilcast(quoted(clip("full709.mp4")) + " -o " + quoted(path("keyed.mkv")) + " " + kControls);
    ASSERT_EQ(mkv.exitCode, 0) << mkv.output;
    const auto frames = decodeWithFfmpeg(path("matte.mp4"), "", "scale=in_color_matrix=bt709:in_range=pc");
    const auto alpha = decodeWithFfmpeg(path("keyed.mkv"), "", "null");
    ASSERT_EQ(frames.size(), std::size_t{kFrames});
    ASSERT_EQ(alpha.size(), std::size_t{kFrames});
    int worst = 0;
    for (std::size_t i = 0; i < frames[0].size(); i += 4)
        worst = std::max({worst, std::abs(frames[0][i] - frames[0][i + 1]), std::abs(frames[0][i + 2] - frames[0][i + 1])});
    EXPECT_LT(worst, 2000);
    double soft = 0, sum = 0;
    for (std::size_t f = 0; f < frames.size(); ++f)
        for (std::size_t i = 0; i < frames[f].size(); i += 4) {
            const double a = alpha[f][i + 3] / 65535.0;
            if (a > 0.1 && a < 0.9) {
                ++soft;
                sum += std::fabs(frames[f][i + 1] / 65535.0 - a);
            }
        }
    ASSERT_GT(soft, 100);
    EXPECT_LT(sum / soft, 0.03) << "soft edges of the matte not stored as coverage";
}

TEST_F(Movies, MovieToSequenceIsWrittenInTheOutputColourSpace)
{
    const std::string config = writeColourConfig(dir);
    Result r = runVeilcast(quoted(clip("full709.mp4")) + " -o " + quoted(path("lin.#.exr")) + " --frames 2 " + kControls);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    r = runVeilcast(quoted(clip("full709.mp4")) + " -o " + quoted(path("wide.#.exr")) + " --frames 2 --ocio " +
                    quoted(config) + " --out-colorspace wide_matrix " + kControls);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    // Frames kept as decoded are still in the stream's curve, and say so.
    r = runVeilcast(quoted(clip("full709.mp4")) + " -o " + quoted(path("raw.#.exr")) + " --frames 2 --raw " + kControls);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    OIIO::ImageBuf lin(path("lin.2.exr")), wide(path("wide.2.exr")), raw(path("raw.2.exr"));
    ASSERT_TRUE(lin.read(0, 0, true, OIIO::TypeDesc::FLOAT) && wide.read(0, 0, true, OIIO::TypeDesc::FLOAT));
    EXPECT_EQ(lin.spec().get_string_attribute("oiio:ColorSpace"), "Linear");
    EXPECT_EQ(raw.spec().get_string_attribute("oiio:ColorSpace"), "Rec709");
    // wide_matrix to linear is the matrix with rows 0.5 0.25 0.25 / 0.1 0.8 0.1 / 0 0 1; half floats round.
    const double m[3][3] = {{0.5, 0.25, 0.25}, {0.1, 0.8, 0.1}, {0, 0, 1}};
    for (int y = 0; y < kHeight; y += 17)
        for (int x = 0; x < kWidth; x += 13)
            for (int c = 0; c < 3; ++c) {
                double back = 0;
                for (int k = 0; k < 3; ++k)
                    back += m[c][k] * wide.getchannel(x, y, 0, k);
                ASSERT_NEAR(back, lin.getchannel(x, y, 0, c), 2e-3 * std::max(1.0, std::fabs(back))) << x << "," << y;
            }
}

TEST_F(Movies, ImageSequenceBecomesAMovieAtTheRateAsked)
{
    const Result r = runVeilcast(quoted(clip("f##.png")) + " -o " + quoted(path("seq.mkv")) + " --frames 1-12 --fps 23.976 " +
                              kControls + " --preview " + quoted(path("seq.png")));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    auto info = probe(path("seq.mkv"));
    EXPECT_EQ(info["nb_read_frames"], "12");
    EXPECT_EQ(info["r_frame_rate"], "24000/1001");

    // Frames that say their own rate and timecode need no --fps: the movie
    // takes both from the first, and its pixel aspect.
    run("cd '" + dir.string() + "' && for f in 01 02 03; do oiiotool '" + clip("f") + "'$f.png "
        "--attrib:type=rational FramesPerSecond 25/1 --attrib:type=timecode smpte:TimeCode 10:00:00:00 "
        "--attrib PixelAspectRatio 1.333333 -d half -o tagged.$f.exr; done");
    const Result tagged = runVeilcast(quoted(path("tagged.##.exr")) + " -o " + quoted(path("tagged.mov")) +
                                      " --frames 1-3 " + kControls);
    ASSERT_EQ(tagged.exitCode, 0) << tagged.output;
    info = probe(path("tagged.mov"), "v:0", "stream=r_frame_rate,sample_aspect_ratio:stream_tags=timecode");
    EXPECT_EQ(info["r_frame_rate"], "25/1");
    EXPECT_EQ(info["tag:timecode"], "10:00:00:00");
    EXPECT_EQ(info["sample_aspect_ratio"], "4:3");

    // Its preview is the first frame's, as keying that file alone shows it.
    const auto pixels = [](const std::string& file) {
        OIIO::ImageBuf sheet(file);
        EXPECT_TRUE(sheet.read(0, 0, true, OIIO::TypeDesc::FLOAT)) << file << ": " << sheet.geterror();
        std::vector<float> all(sheet.spec().image_pixels() * static_cast<std::size_t>(sheet.nchannels()));
        sheet.get_pixels(OIIO::ROI::All(), OIIO::TypeDesc::FLOAT, all.data());
        return all;
    };
    for (const std::string f : {"01", "12"}) {
        const Result one = runVeilcast(quoted(clip("f" + f + ".png")) + " -o " + quoted(path("one" + f + ".png")) + " " +
                                       kControls + " --preview " + quoted(path("sheet" + f + ".png")));
        ASSERT_EQ(one.exitCode, 0) << one.output;
    }
    EXPECT_TRUE(pixels(path("seq.png")) == pixels(path("sheet01.png"))) << "not the first frame's preview";
    EXPECT_TRUE(pixels(path("sheet01.png")) != pixels(path("sheet12.png"))) << "the frames' sheets should differ";
}

// A movie that cannot be keyed, or an output that cannot be written, is
// refused with a message naming it, and nothing is left behind.
TEST_F(Movies, BadMoviesAreRefusedLeavingNothing)
{
    const std::string audioOnly = path("audio.mkv");
    run("ffmpeg -v error -y -f lavfi -i sine=duration=0.5 -c:a flac '" + audioOnly + "'");
    const std::string mp4 = fileBytes(clip("full709.mp4"));
    const std::string truncatedMp4 = path("cut.mp4");
    std::ofstream(truncatedMp4, std::ios::binary) << mp4.substr(0, mp4.size() / 2);
    // With its index first, a cut ProRes movie opens and runs out of frames.
    const std::string faststart = path("faststart.mov");
    run("ffmpeg -v error -y -i '" + clip("limited709.mov") + "' -c copy -movflags +faststart '" + faststart + "'");
    const std::string mov = fileBytes(faststart);
    const std::string truncatedMov = path("cut.mov");
    std::ofstream(truncatedMov, std::ios::binary) << mov.substr(0, mov.size() * 2 / 3);
    std::string garbled = mov;
    for (std::size_t i = garbled.size() / 2; i < garbled.size() / 2 + 4000; ++i)
        garbled[i] = static_cast<char>(i * 7919 % 251);
    const std::string corrupt = path("corrupt.mov");
    std::ofstream(corrupt, std::ios::binary) << garbled;
    // An FFV1 movie whose codec name nobody knows.
    const std::string unknown = path("unknown.mkv");
    run("ffmpeg -v error -y -i '" + clip("limited709.mov") + "' -c:v ffv1 '" + unknown + "'");
    std::string mkv = fileBytes(unknown);
    const auto id = mkv.find("FFV1");
    ASSERT_NE(id, std::string::npos);
    mkv.replace(id, 4, "ZZZ9");
    std::ofstream(unknown, std::ios::binary) << mkv;
    const std::string config = writeColourConfig(dir);
    // 4:2:0 codecs store colour at half size: an odd size has no whole colour sample.
    const std::string odd = path("odd.mkv");
    run("ffmpeg -v error -y -f lavfi -i testsrc2=size=162x92:rate=24:duration=0.2 -vf format=yuv444p,crop=161:91:0:0 "
        "-c:v ffv1 '" + odd + "'");
    // A link planted where the movie goes: the file it points at must not be written through it.
    std::ofstream(path("elsewhere.mov")) << "not yours";
    fs::create_symlink(path("elsewhere.mov"), path("link.mov"));
    const std::vector<std::string> inputs = listing();

    struct Case {
        std::string input, output, extra, message;
        int status;
    };
    const Case cases[] = {
        {audioOnly, "o.mov", "", "audio.mkv: has no video stream", 1},
        {truncatedMp4, "o.mov", "", "cut.mp4: cannot open the movie", 1},
        {truncatedMov, "o.mov", "", "truncated or corrupt", 1},
        {corrupt, "o.mov", "", "corrupt.mov: frame", 1},
        {unknown, "o.mov", "", "is unknown: no decoder", 1},
        {clip("full709.mp4"), "o.mp4", "", "mp4 movies hold no alpha; write .mov (ProRes 4444), .webm (VP9) or .mkv", 2},
        {clip("full709.mp4"), "o.avi", "", "cannot write .avi movies", 2},
        {odd, "o.mp4", "--set CheckAlphaKnob=on", "needs an even width and height, and the frames are 161x91", 2},
        {odd, "o.webm", "", "VP9 stores colour at half size (4:2:0)", 2},
        {clip("full709.mp4"), "link.mov", "", "is a symbolic link", 2},
        {clip("full709.mp4"), "o.exr", "", "a movie keys to a movie", 2},
        {clip("full709.mp4"), "o.mov", "--frames 10-14", "has 12 frames; --frames asks for 10-14", 1},
        {clip("full709.mp4"), "o.mov", "--frames 5-6,1-2", "go forward", 2},
        {clip("full709.mp4"), "o.mov", "--frames 0-2", "count from 1", 2},
        {clip("f##.png"), "o.mov", "--frames 1-12 --fps 0", "--fps 0: not a frame rate", 2},
        {clip("full709.mp4"), "o.mov", "--ocio " + config + " --in-colorspace linear", "--in-colorspace is for images", 2},
        {clip("f##.png"), "o.mov", "--frames 1-12 --ocio " + config + " --out-colorspace sRGB",
         "--out-colorspace is for images", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input + " -> " + c.output + " " + c.extra);
        const Result r = runVeilcast(quoted(c.input) + " -o " + quoted(path(c.output)) + " " + c.extra + " " + kControls);
        EXPECT_EQ(r.exitCode, c.status) << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
        // Named: the movie, the output or the value at fault.
        EXPECT_TRUE(r.output.find("veilcast: " + c.input + ": ") != std::string::npos ||
                    r.output.find("veilcast: " + path(c.output) + ": ") != std::string::npos ||
                    r.output.find("veilcast: --") != std::string::npos)
            << r.output;
        EXPECT_EQ(listing(), inputs);
        EXPECT_EQ(fileBytes(path("elsewhere.mov")), "not yours");
    }
    // The same for an output that exists: it is kept as it was.
    std::ofstream(path("o.mov")) << "earlier";
    const Result r = runVeilcast(quoted(corrupt) + " -o " + quoted(path("o.mov")) + " " + kControls);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(fileBytes(path("o.mov")), "earlier");
    // A disk that fills while frames are encoded: the failure stops the job
    // at the next frame rather than after keying the rest for nothing.
    run("cd '" + dir.string() + "' && ffmpeg -v error -y -f lavfi -i testsrc2=size=320x180:rate=24:duration=2 -c:v libx264 "
        "-pix_fmt yuv420p busy.mp4");
    const Result full = runVeilcast(std::string("busy.mp4 -o o.mov --set 'Screen Color=0.1,0.6,0.1' ") + kControls,
                                    "cd '" + dir.string() + "' && trap '' XFSZ && ulimit -f 64 && ");
    EXPECT_EQ(full.exitCode, 1) << full.output;
    EXPECT_NE(full.output.find("o.mov: cannot write: cannot write a frame: File too large"), std::string::npos) << full.output;
    EXPECT_EQ(full.output.find("frame 48/48"), std::string::npos) << full.output;
    EXPECT_EQ(fileBytes(path("o.mov")), "earlier");
}

TEST_F(Movies, InterruptLeavesNoPartialMovie)
{
    // Long enough to be stopped midway: VP9 at 720p is slow to encode.
    const std::string clipPath = path("long.mp4");
    run("ffmpeg -v error -y -f lavfi -i testsrc2=size=1280x720:rate=24 -t 8 -c:v libx264 -pix_fmt yuv420p '" +
        clipPath + "'");
    std::ofstream(path("keyed.webm")) << "earlier";
    const std::string out = run("cd '" + dir.string() + "' && ('" VEILCAST_BINARY "' long.mp4 -o keyed.webm "
                                "--set 'Screen Color=0,0.5,0' > log 2>&1 & pid=$!; "
                                "while ! grep -q 'frame 3/' log; do sleep 0.05; done; kill -INT $pid; wait $pid; "
                                "echo status $?; cat log)");
    EXPECT_NE(out.find("status 130"), std::string::npos) << out;
    EXPECT_NE(out.find("interrupted; no partial output was left"), std::string::npos) << out;
    EXPECT_EQ(fileBytes(path("keyed.webm")), "earlier");
    EXPECT_EQ(listing(), (std::vector<std::string>{"keyed.webm", "log", "long.mp4"}));

    // Keyed to a sequence, the frames written stay, and the message names them.
    const std::string frames = run("cd '" + dir.string() + "' && rm log && ('" VEILCAST_BINARY "' long.mp4 -o k.####.exr "
                                   "--set 'Screen Color=0,0.5,0' > log 2>&1 & pid=$!; "
                                   "while ! grep -qs 'frame 3/' log; do sleep 0.05; done; kill -INT $pid; wait $pid; "
                                   "echo status $?; cat log; echo; ls k.*.exr | wc -l)");
    std::smatch said;
    ASSERT_TRUE(std::regex_search(frames, said, std::regex(R"(interrupted; (\d+) of 192 frames were written \(k\.0001\.exr)")))
        << frames;
    EXPECT_NE(frames.find("status 130"), std::string::npos) << frames;
    EXPECT_EQ(frames.substr(frames.find_last_not_of(" \n", frames.size() - 2) - said[1].length() + 1, said[1].length()),
              said[1].str())
        << "the frames on disk are not the frames named";
    for (const std::string& f : listing())
        if (f.rfind("k.", 0) == 0)
            fs::remove(path(f));

    // Stopped once every frame is keyed: VP9 holds up to 25 frames back, so
    // encoding them is the finish, and the movie is still not committed.
    run("ffmpeg -v error -y -f lavfi -i testsrc2=size=1280x720:rate=24 -t 1 -c:v libx264 -pix_fmt yuv420p '" +
        path("short.mp4") + "'");
    const std::string late = run("cd '" + dir.string() + "' && ('" VEILCAST_BINARY "' short.mp4 -o keyed.webm "
                                 "--set 'Screen Color=0,0.5,0' > log 2>&1 & pid=$!; "
                                 "for i in $(seq 3000); do grep -q 'frame 24/24' log && break; sleep 0.02; done; sleep 0.3; kill -INT $pid; "
                                 "wait $pid; echo status $?; cat log)");
    EXPECT_NE(late.find("status 130"), std::string::npos) << late;
    EXPECT_TRUE(fileBytes(path("keyed.webm")) == "earlier") << "the interrupted movie was committed";
    EXPECT_EQ(listing(), (std::vector<std::string>{"keyed.webm", "log", "long.mp4", "short.mp4"}));
}

TEST(FrameRate, ParsesTheWaysRatesAreWritten)
{
    struct Case {
        const char* text;
        int num, den;
    } cases[] = {{"24", 24, 1}, {"25", 25, 1}, {"23.976", 24000, 1001}, {"29.97", 30000, 1001},
                 {"59.94", 60000, 1001}, {"30000/1001", 30000, 1001}, {"12.5", 25, 2}, {"50/2", 25, 1}};
    for (const Case& c : cases) {
        int num = 0, den = 0;
        parseFrameRate(c.text, num, den);
        EXPECT_EQ(num, c.num) << c.text;
        EXPECT_EQ(den, c.den) << c.text;
    }
    for (const char* bad : {"", "0", "-24", "abc", "24fps", "1/0", "/2", "nan", "1e9"}) {
        int num = 0, den = 0;
        EXPECT_THROW(parseFrameRate(bad, num, den), UsageError) << bad;
    }
}

}  // namespace
}  // namespace veilcast
