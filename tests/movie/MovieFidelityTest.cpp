// SPDX-License-Identifier: Apache-2.0
// What a keyed movie must keep of its source, judged by the ffmpeg program
// and ffprobe on clips ffmpeg made: the code values (decoded without any
// conversion and read with the range spelled out), the timecode, the record
// of the settings, the codec asked for, every stream and the metadata, and
// the audio's span.

#include "Ffprobe.h"
#include "veilcast/movie/Timecode.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>

namespace veilcast {
namespace {

namespace fs = std::filesystem;

std::string quoted(const std::string& s)
{
    return "'" + s + "'";
}

// A movie's first frame as its decoder hands it out, with no conversion:
// planar YUV codes, read by the layout its pixel format's name spells.
struct Codes {
    int width = 0, height = 0, bits = 8, shiftX = 0, shiftY = 0;
    bool full = false;
    std::vector<std::vector<int>> planes;  // Y, Cb, Cr

    // A code as the signal it stands for: luma 0..1, chroma -0.5..0.5.
    double signal(int plane, int x, int y) const
    {
        const int cx = plane ? x >> shiftX : x, cy = plane ? y >> shiftY : y;
        const int stride = plane ? (width + (1 << shiftX) - 1) >> shiftX : width;
        const double code = planes[static_cast<std::size_t>(plane)][static_cast<std::size_t>(cy) * stride + cx];
        const double top = (1 << bits) - 1, unit = 1 << (bits - 8);
        if (full)
            return plane ? (code - (1 << (bits - 1))) / top : code / top;
        return plane ? (code - 128 * unit) / (224 * unit) : (code - 16 * unit) / (219 * unit);
    }
    // One code's worth of signal.
    double step(int plane) const
    {
        const double unit = 1 << (bits - 8);
        return full ? 1.0 / ((1 << bits) - 1) : 1.0 / ((plane ? 224 : 219) * unit);
    }
};

Codes decodeCodes(const std::string& file)
{
    auto info = probeValues(file, "-select_streams v:0", "stream=width,height,pix_fmt,color_range");
    Codes c;
    c.width = std::stoi(info["width"]);
    c.height = std::stoi(info["height"]);
    const std::string fmt = info["pix_fmt"];
    std::smatch m;
    EXPECT_TRUE(std::regex_match(fmt, m, std::regex(R"(yuv(j|a)?(420|422|444)p(\d+)?(le)?)"))) << fmt;
    c.full = m[1] == "j" || info["color_range"] == "pc";
    c.shiftX = m[2] == "444" ? 0 : 1;
    c.shiftY = m[2] == "420" ? 1 : 0;
    c.bits = m[3].matched ? std::stoi(m[3]) : 8;
    const std::string raw = file + ".raw";
    runChecked("ffmpeg -v error -y -i " + quoted(file) + " -frames:v 1 -f rawvideo " + quoted(raw));
    std::ifstream in(raw, std::ios::binary);
    const int cw = (c.width + (1 << c.shiftX) - 1) >> c.shiftX, ch = (c.height + (1 << c.shiftY) - 1) >> c.shiftY;
    for (int p = 0; p < 3; ++p) {
        const std::size_t n = p ? static_cast<std::size_t>(cw) * ch : static_cast<std::size_t>(c.width) * c.height;
        std::vector<int> plane(n);
        for (std::size_t i = 0; i < n; ++i) {
            unsigned char b[2] = {0, 0};
            in.read(reinterpret_cast<char*>(b), c.bits > 8 ? 2 : 1);
            plane[i] = c.bits > 8 ? b[0] | b[1] << 8 : b[0];
        }
        c.planes.push_back(std::move(plane));
    }
    EXPECT_TRUE(in) << file << " decoded short";
    fs::remove(raw);
    return c;
}

class MovieFidelity : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::path(::testing::TempDir()) /
              ("veilcast-fidelity-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string path(const std::string& name) const { return (dir / name).string(); }
    std::string ffmpeg() const { return "cd " + quoted(dir.string()) + " && ffmpeg -v error -y "; }

    fs::path dir;
};

const char* const kPassThrough = "--set 'Screen Color=0,0,0'";

// Four flat bars of exact codes (white, black, mid-grey, a colour) and one
// above white, in blocks a DCT codec keeps flat.
std::string bars(int bits)
{
    const int u = 1 << (bits - 8);
    auto at = [](const std::string& a, const std::string& b, const std::string& c, const std::string& d, const std::string& e) {
        return "if(lt(X,32)," + a + ",if(lt(X,64)," + b + ",if(lt(X,96)," + c + ",if(lt(X,128)," + d + "," + e + "))))";
    };
    const auto n = [u](int v) { return std::to_string(v * u); };
    return "geq=lum='" + at(n(235), n(16), std::to_string(502 * u / 4), n(81), n(250)) + "':cb='" +
           at(n(128), n(128), n(128), n(90), n(128)) + "':cr='" + at(n(128), n(128), n(128), n(240), n(128)) + "'";
}

// A pass-through (a black screen colour keys nothing) gives back the
// source's codes: to a tenth of a code through FFV1, which keeps the
// source's sampling and range at 16 bits beside its matte; within a code
// through ProRes.
TEST_F(MovieFidelity, PassThroughKeepsTheSourcesCodes)
{
    const std::string pattern = "-f lavfi -i testsrc2=size=96x64:rate=24:duration=0.125 ";
    const std::string flat = "-f lavfi -i color=size=160x32:rate=24:duration=0.125 ";
    struct Case {
        std::string source, make, output, extra, pixFmt;
        double tolerance;  // in codes of the source
    };
    const Case cases[] = {
        {"h264-420-tv.mp4", pattern + "-vf scale=out_range=tv,format=yuv420p -color_range tv -c:v libx264 -qp 0",
         "a.mkv", "", "yuva420p16le", 0.1},
        {"h264-420-pc.mp4", pattern + "-vf scale=out_range=pc,format=yuv420p -color_range pc -c:v libx264 -qp 0",
         "b.mkv", "", "yuva420p16le", 0.499},
        {"ffv1-422-10-tv.mkv", pattern + "-vf format=yuv422p10le -color_range tv -c:v ffv1", "c.mkv", "", "yuva422p16le", 0.1},
        {"ffv1-444-10-pc.mkv", pattern + "-vf scale=out_range=pc,format=yuv444p10le -color_range pc -c:v ffv1", "d.mkv",
         "", "yuva444p16le", 0.499},
        {"ffv1-444-12-tv.mkv", pattern + "-vf format=yuv444p12le -color_range tv -c:v ffv1", "e.mkv", "", "yuva444p16le", 0.1},
        {"ffv1-420-12-pc.mkv", pattern + "-vf scale=out_range=pc,format=yuv420p12le -color_range pc -c:v ffv1", "f.mkv",
         "", "yuva420p16le", 0.499},
        // ProRes is lossy, but keeps flat blocks: the bars come back at their codes.
        {"bars-422-10.mov", flat + "-vf \"format=yuv422p10le," + bars(10) + "\" -color_range tv -c:v prores_ks -profile:v 3",
         "g.mov", "", "yuva444p12le", 1},
        {"bars-422-10.mov", "", "h.mov", "--codec prores422hq", "yuv422p10le", 1},
        {"bars-444-12.mkv", flat + "-vf \"format=yuv444p12le," + bars(12) + "\" -color_range tv -c:v ffv1", "i.mov", "",
         "yuva444p12le", 1},
        {"bars-420-8.mp4", flat + "-vf \"format=yuv420p," + bars(8) + "\" -color_range tv -c:v libx264 -qp 0", "j.mov", "",
         "yuva444p12le", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source + " -> " + c.output + " " + c.extra);
        if (!c.make.empty())
            runChecked(ffmpeg() + c.make + " -colorspace bt709 -color_trc bt709 -color_primaries bt709 " + c.source);
        const std::string out = path(c.output);
        const Result r = runVeilcast(quoted(path(c.source)) + " -o " + quoted(out) + " " + c.extra + " " + kPassThrough);
        ASSERT_EQ(r.exitCode, 0) << r.output;
        EXPECT_EQ(probeValues(out, "-select_streams v:0", "stream=pix_fmt")["pix_fmt"], c.pixFmt);
        const Codes in = decodeCodes(path(c.source)), got = decodeCodes(out);
        ASSERT_EQ(got.width, in.width);
        double worst[3] = {0, 0, 0};
        for (int p = 0; p < 3; ++p)
            for (int y = 0; y < in.height; ++y)
                for (int x = 0; x < in.width; ++x)
                    worst[p] = std::max(worst[p], std::fabs(got.signal(p, x, y) - in.signal(p, x, y)) / in.step(p));
        // Tolerances: a tenth of a code where FFV1 stores limited-range codes at
        // 16 bits beside a 16-bit matte; under half a code for full range, whose
        // lowest chroma code lies just beyond what 16 bits hold (each still
        // rounds back to the source's code); one code through a lossy codec's
        // flat blocks.
        for (int p = 0; p < 3; ++p)
            EXPECT_LE(worst[p], c.tolerance + 1e-9) << "plane " << p << ", in codes of the source";
    }
}

// The first frame's pixels as 0..1 levels, red, green, blue and alpha, as
// ffmpeg decodes them to the packed `pixFmt`, whose components `layout`
// names in order (R, G, B, A, or Y for all three), each of `bytes` bytes,
// little-endian.
std::vector<std::array<double, 4>> decodeLevels(const std::string& file, const std::string& pixFmt, const std::string& layout,
                                                int bytes, int bits)
{
    const auto info = probeValues(file, "-select_streams v:0", "stream=width,height");
    const std::size_t n = static_cast<std::size_t>(std::stoi(info.at("width"))) * std::stoul(info.at("height"));
    const std::string raw = file + ".raw";
    runChecked("ffmpeg -v error -y -i " + quoted(file) + " -frames:v 1 -f rawvideo -pix_fmt " + pixFmt + " " + quoted(raw));
    std::ifstream in(raw, std::ios::binary);
    const auto next = [&] {
        unsigned char b[2] = {0, 0};
        in.read(reinterpret_cast<char*>(b), bytes);
        return (b[0] | (bytes > 1 ? b[1] << 8 : 0)) / static_cast<double>((1 << bits) - 1);
    };
    std::vector<std::array<double, 4>> px(n, std::array<double, 4>{0, 0, 0, 1});
    for (std::array<double, 4>& p : px)
        for (const char name : layout) {
            const double v = next();
            if (name == 'Y')
                p[0] = p[1] = p[2] = v;
            else
                p[std::string("RGBA").find(name)] = v;
        }
    EXPECT_TRUE(in) << file << " decoded short";
    fs::remove(raw);
    return px;
}

// RGB and grey sources are not matrixed: a pass-through to FFV1 (16-bit
// RGB with its matte) gives back every level, white as the top code.
TEST_F(MovieFidelity, RgbAndGreyPassThroughKeepTheirLevels)
{
    struct Case {
        std::string pixFmt, layout;
        int bytes, bits;
    };
    const Case cases[] = {{"rgb24", "RGB", 1, 8}, {"rgb48le", "RGB", 2, 16}, {"bgra", "BGRA", 1, 8},
                          {"gray", "Y", 1, 8},    {"gray10le", "Y", 2, 10},  {"ya8", "YA", 1, 8}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pixFmt);
        const std::string source = path(c.pixFmt + ".mkv"), out = path(c.pixFmt + "-keyed.mkv");
        runChecked(ffmpeg() + "-f lavfi -i testsrc2=size=64x32:rate=24:duration=0.125 -c:v ffv1 -pix_fmt " + c.pixFmt +
                   " -color_range pc " + quoted(source));
        const Result r = runVeilcast(quoted(source) + " -o " + quoted(out) + " " + kPassThrough);
        ASSERT_EQ(r.exitCode, 0) << r.output;
        ASSERT_EQ(probeValues(out, "-select_streams v:0", "stream=pix_fmt")["pix_fmt"], "gbrap16le");
        const auto in = decodeLevels(source, c.pixFmt, c.layout, c.bytes, c.bits);
        // The 16 bits stored, repacked as they are.
        const auto got = decodeLevels(out, "rgba64le", "RGBA", 2, 16);
        ASSERT_EQ(got.size(), in.size());
        double worst = 0;
        for (std::size_t i = 0; i < in.size(); ++i)
            for (int k = 0; k < 4; ++k)
                worst = std::max(worst, std::fabs(got[i][static_cast<std::size_t>(k)] - in[i][static_cast<std::size_t>(k)]));
        EXPECT_LE(worst * ((1 << c.bits) - 1), 0.1) << "in codes of the source";
    }
}

// Values above 1 clip at the top of what each output holds, never wrapping
// round to dark codes.
TEST_F(MovieFidelity, BrighterThanWhiteClipsAtTheTop)
{
    const float values[] = {0.5f, 1.0f, 1.5f, 4.0f, 1e6f};
    const int n = static_cast<int>(std::size(values)), w = 16 * n, h = 16;
    for (int f = 1; f <= 2; ++f) {
        OIIO::ImageBuf buf(OIIO::ImageSpec(w, h, 3, OIIO::TypeDesc::FLOAT));
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const float v = values[x / 16];
                const float px[3] = {v, v, v};
                buf.setpixel(x, y, px, 3);
            }
        ASSERT_TRUE(buf.write(path("bright." + std::to_string(f) + ".exr")));
    }
    // Luma of ProRes, green of FFV1's RGB.
    for (const std::string output : {"bright.mov", "bright.mkv"}) {
        SCOPED_TRACE(output);
        const Result r = runVeilcast(quoted(path("bright.#.exr")) + " -o " + quoted(path(output)) + " --frames 1-2 " +
                                     kPassThrough);
        ASSERT_EQ(r.exitCode, 0) << r.output;
        const std::string raw = path(output + ".gray");
        runChecked("ffmpeg -v error -y -i " + quoted(path(output)) + " -frames:v 1 -vf extractplanes=" +
            (output == "bright.mkv" ? "g" : "y") + " -f rawvideo -pix_fmt gray16le " + quoted(raw));
        std::ifstream in(raw, std::ios::binary);
        std::vector<std::uint16_t> codes(static_cast<std::size_t>(w) * h);
        ASSERT_TRUE(in.read(reinterpret_cast<char*>(codes.data()), static_cast<std::streamsize>(codes.size() * 2)));
        const int white = codes[16 + 8 * static_cast<std::size_t>(w) + 8];
        EXPECT_LT(codes[8 * static_cast<std::size_t>(w) + 8], white);
        for (int i = 2; i < n; ++i) {
            const int code = codes[static_cast<std::size_t>(8 * w + 16 * i + 8)];
            EXPECT_GE(code, white) << "value " << values[i];
        }
    }
}

// A timecode as SMPTE packs it into an EXR header, read digit by digit.
std::string exrTimecode(const std::string& file)
{
    auto in = OIIO::ImageInput::open(file);
    if (!in)
        return "unreadable";
    unsigned packed[2] = {0, 0};
    if (!in->spec().getattribute("smpte:TimeCode", OIIO::TypeTimeCode, packed))
        return "none";
    const unsigned t = packed[0];
    char text[16];
    std::snprintf(text, sizeof text, "%u%u:%u%u:%u%u%c%u%u", (t >> 28) & 3, (t >> 24) & 15, (t >> 20) & 7, (t >> 16) & 15,
                  (t >> 12) & 7, (t >> 8) & 15, (t & 0x40) ? ';' : ':', (t >> 4) & 3, t & 15);
    return text;
}

// Timecode runs as a clock: past midnight it starts the day again, and a
// drop-frame timecode stays drop-frame whichever separator it was written with.
TEST_F(MovieFidelity, TimecodeRunsLikeAClock)
{
    struct Step {
        const char* from;
        int rateNum, rateDen;
        long frames;
        const char* to;
    };
    const Step steps[] = {
        {"23:59:59:20", 24, 1, 9, "00:00:00:05"},
        {"23:59:59;28", 30000, 1001, 5, "00:00:00;03"},
        {"00:00:59.29", 30000, 1001, 1, "00:01:00;02"},
    };
    for (const Step& s : steps)
        EXPECT_EQ(advanceTimecode(s.from, s.rateNum, s.rateDen, s.frames), s.to) << s.from << " + " << s.frames;
    for (const char* dropFrame : {"01:00:00;00", "01:00:00.00"}) {
        EXPECT_TRUE(packTimecode(dropFrame).timeAndFlags & 0x40) << dropFrame;
        EXPECT_EQ(unpackTimecode(packTimecode(dropFrame)), "01:00:00;00") << dropFrame;
    }

    runChecked(ffmpeg() + "-f lavfi -i testsrc2=size=64x48:rate=24:duration=0.5 -c:v libx264 -pix_fmt yuv420p "
                   "-timecode 23:59:59:20 late.mov");
    Result r = runVeilcast(quoted(path("late.mov")) + " -o " + quoted(path("night.mov")) + " --frames 10-12 " + kPassThrough);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(probeValues(path("night.mov"), "-select_streams v:0", "stream_tags=timecode")["tag:timecode"], "00:00:00:05");
    r = runVeilcast(quoted(path("late.mov")) + " -o " + quoted(path("night.####.exr")) + " --frames 10-12 " + kPassThrough);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(exrTimecode(path("night.0010.exr")), "00:00:00:05");
    EXPECT_EQ(exrTimecode(path("night.0012.exr")), "00:00:00:07");
}

void writeFlatExr(const std::string& file, int width, int height)
{
    OIIO::ImageBuf buf(OIIO::ImageSpec(width, height, 3, OIIO::TypeDesc::HALF));
    const float grey[3] = {0.18f, 0.18f, 0.18f};
    OIIO::ImageBufAlgo::fill(buf, grey);
    ASSERT_TRUE(buf.write(file)) << buf.geterror();
}

// A sequence whose frames differ in size is refused before any frame is
// keyed, naming the frame's file; nothing is written.
TEST_F(MovieFidelity, MixedFrameSizesAreNamedBeforeKeying)
{
    writeFlatExr(path("plate.1.exr"), 32, 16);
    writeFlatExr(path("plate.2.exr"), 32, 16);
    writeFlatExr(path("plate.3.exr"), 40, 16);
    const Result r = runVeilcast(quoted(path("plate.#.exr")) + " -o " + quoted(path("plate.mov")) + " --frames 1-3 " +
                                 kPassThrough);
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.output.find(path("plate.3.exr") + " is 40x16"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("1/3"), std::string::npos) << "a frame was keyed: " << r.output;
    EXPECT_FALSE(fs::exists(path("plate.mov")));
}

// An EXR whose data window reaches past its display window (overscan) keeps
// both windows.
TEST_F(MovieFidelity, OverscanKeepsItsDisplayWindow)
{
    OIIO::ImageSpec spec(48, 32, 3, OIIO::TypeDesc::HALF);
    spec.x = -8, spec.y = -8;
    spec.full_x = 0, spec.full_y = 0, spec.full_width = 32, spec.full_height = 16;
    OIIO::ImageBuf buf(spec);
    const float grey[3] = {0.18f, 0.18f, 0.18f};
    OIIO::ImageBufAlgo::fill(buf, grey);
    ASSERT_TRUE(buf.write(path("over.exr"))) << buf.geterror();
    const Result r = runVeilcast(quoted(path("over.exr")) + " -o " + quoted(path("keyed.exr")) + " " + kPassThrough);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    auto in = OIIO::ImageInput::open(path("keyed.exr"));
    ASSERT_TRUE(in);
    const OIIO::ImageSpec& got = in->spec();
    EXPECT_EQ(std::vector<int>({got.x, got.y, got.width, got.height}), std::vector<int>({-8, -8, 48, 32}));
    EXPECT_EQ(std::vector<int>({got.full_x, got.full_y, got.full_width, got.full_height}), std::vector<int>({0, 0, 32, 16}));
}

const char* const kGreenScreen =
    "-f lavfi -i color=c=0x20C040:size=96x64:rate=24:duration=0.25,"
    "drawbox=x=30:y=20:w=30:h=25:color=0xC08060:t=fill ";

// After a pick and --clip auto, the movie records what it was keyed with
// under a key of its own, beside the source's comment.
TEST_F(MovieFidelity, MovieRecordsTheSettingsItWasKeyedWith)
{
    runChecked(ffmpeg() + kGreenScreen + "-c:v libx264 -pix_fmt yuv420p -metadata comment='scene 4 take 2' screen.mp4");
    for (const std::string output : {"keyed.mov", "keyed.mkv", "keyed.webm"}) {
        SCOPED_TRACE(output);
        const Result r = runVeilcast(quoted(path("screen.mp4")) + " -o " + quoted(path(output)) + " --clip auto");
        ASSERT_EQ(r.exitCode, 0) << r.output;
        std::smatch picked, black, white;
        ASSERT_TRUE(std::regex_search(r.output, picked, std::regex(R"re(--set "(Screen Color=[^"]+)")re"))) << r.output;
        ASSERT_TRUE(std::regex_search(r.output, black, std::regex(R"re("(Clip Black=[^"]+)")re"))) << r.output;
        ASSERT_TRUE(std::regex_search(r.output, white, std::regex(R"re("(Clip White=[^"]+)")re"))) << r.output;
        auto tags = probeValues(path(output), "", "format_tags");
        const std::string settings = tags["tag:veilcast:settings"];
        EXPECT_NE(settings.find(picked[1].str()), std::string::npos) << settings;
        EXPECT_NE(settings.find(black[1].str() + ";"), std::string::npos) << settings;
        EXPECT_NE(settings.find(white[1].str() + ";"), std::string::npos) << settings;
        EXPECT_EQ(tags["tag:comment"], "scene 4 take 2");
    }
}

// Each codec asked for is written as asked, in its container; one without
// alpha says the matte is not kept. A codec in the wrong container, or one
// not written at all, is refused before any work.
TEST_F(MovieFidelity, CodecIsWrittenAsAsked)
{
    runChecked(ffmpeg() + "-f lavfi -i testsrc2=size=256x128:rate=24:duration=0.083 -c:v libx264 -pix_fmt yuv420p clip.mp4");
    struct Case {
        std::string codec, output, codecName, profile, pixFmt;
        bool alpha;
    };
    const Case cases[] = {
        {"", "default.mov", "prores", "4444", "yuva444p12le", true},
        {"prores4444", "4444.mov", "prores", "4444", "yuva444p12le", true},
        {"prores4444xq", "xq.mov", "prores", "XQ", "yuva444p12le", true},
        {"prores422hq", "hq.mov", "prores", "HQ", "yuv422p10le", false},
        {"prores422", "422.mov", "prores", "Standard", "yuv422p10le", false},
        {"dnxhr_hqx", "hqx.mov", "dnxhd", "DNXHR HQX", "yuv422p10le", false},
        {"dnxhr_444", "dnx444.mov", "dnxhd", "DNXHR 444", "yuv444p10le", false},
        {"ffv1", "lossless.mkv", "ffv1", "", "yuva420p16le", true},
        {"vp9", "web.webm", "vp9", "Profile 0", "yuv420p", true},
        {"vp9", "web.mkv", "vp9", "Profile 0", "yuv420p", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.codec + " -> " + c.output);
        const std::string out = path(c.output);
        const Result r = runVeilcast(quoted(path("clip.mp4")) + " -o " + quoted(out) +
                                     (c.codec.empty() ? "" : " --codec " + c.codec) + " " + kPassThrough);
        ASSERT_EQ(r.exitCode, 0) << r.output;
        auto info = probeValues(out, "-select_streams v:0", "stream=codec_name,profile,pix_fmt:stream_tags=alpha_mode");
        EXPECT_EQ(info["codec_name"], c.codecName);
        if (!c.profile.empty()) {
            EXPECT_EQ(info["profile"], c.profile);
        }
        EXPECT_EQ(info["pix_fmt"], c.pixFmt);
        // Matroska flags VP9's alpha, which goes beside the picture.
        EXPECT_EQ(info["tag:alpha_mode"], c.codecName == "vp9" ? "1" : "");
        EXPECT_EQ(r.output.find("stores no alpha: the matte is not kept") == std::string::npos, c.alpha) << r.output;
    }

    struct Refusal {
        std::string codec, output, message;
    };
    const Refusal refusals[] = {
        {"ffv1", "x.mov", "--codec ffv1 is written into .mkv, not .mov"},
        {"x264", "x.mov", "--codec \"x264\" is not one this tool writes: prores4444 (.mov)"},
        {"prores422", "x.####.exr", "--codec is for a movie output"},
    };
    for (const Refusal& c : refusals) {
        SCOPED_TRACE(c.codec + " -> " + c.output);
        const Result r = runVeilcast(quoted(path("clip.mp4")) + " -o " + quoted(path(c.output)) + " --codec " + c.codec +
                                     " " + kPassThrough);
        EXPECT_EQ(r.exitCode, 2) << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
        EXPECT_FALSE(fs::exists(path(c.output)));
    }
    const std::string help = runVeilcast("--help").output;
    for (const char* name : {"prores4444", "prores4444xq", "prores422hq", "prores422", "dnxhr_hqx", "dnxhr_444", "ffv1", "vp9"})
        EXPECT_NE(help.find(std::string(name) + " ("), std::string::npos) << name;
}

// Every audio track with its language, subtitles and chapters where the
// container holds them (a note names what it cannot), and the container's
// title, creation time and comment.
TEST_F(MovieFidelity, StreamsAndMetadataComeAlong)
{
    std::ofstream(path("words.srt")) << "1\n00:00:00,000 --> 00:00:00,400\nHello\n\n2\n00:00:00,500 --> 00:00:00,900\nAgain\n";
    std::ofstream(path("chapters.txt")) << ";FFMETADATA1\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=500\ntitle=One\n"
                                           "[CHAPTER]\nTIMEBASE=1/1000\nSTART=500\nEND=1000\ntitle=Two\n";
    runChecked(ffmpeg() + "-f lavfi -i testsrc2=size=96x64:rate=24:duration=1 -f lavfi -i sine=f=440:d=1 -f lavfi -i sine=f=660:d=1 "
                   "-i words.srt -i chapters.txt -map 0:v -map 1:a -map 2:a -map 3:s -map_chapters 4 "
                   "-c:v libx264 -pix_fmt yuv420p -c:a aac -c:s srt -metadata:s:a:0 language=eng "
                   "-metadata:s:a:1 language=fra -metadata:s:s:0 language=deu -metadata title='Take Two' "
                   "-metadata creation_time=2026-03-04T05:06:07.000000Z -metadata comment='from the stage' source.mkv");
    struct Case {
        std::string output;
        std::vector<std::string> audioLanguages, subtitleLanguages;
        std::size_t chapters;
        std::string notice;
    };
    const Case cases[] = {
        {"kept.mkv", {"eng", "fra"}, {"deu"}, 2, ""},
        {"kept.mov", {"eng", "fra"}, {}, 2, "subtitles (subrip, deu) are left out: mov files cannot hold them"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        const std::string out = path(c.output);
        const Result r = runVeilcast(quoted(path("source.mkv")) + " -o " + quoted(out) + " " + kPassThrough);
        ASSERT_EQ(r.exitCode, 0) << r.output;
        EXPECT_EQ(probeLines(out, "-select_streams a", "stream_tags=language"), c.audioLanguages);
        EXPECT_EQ(probeLines(out, "-select_streams s", "stream_tags=language"), c.subtitleLanguages);
        EXPECT_EQ(probeLines(out, "", "chapter=start_time").size(), c.chapters);
        if (!c.notice.empty()) {
            EXPECT_NE(r.output.find(c.notice), std::string::npos) << r.output;
        }
        auto tags = probeValues(out, "", "format_tags");
        EXPECT_EQ(tags["tag:title"], "Take Two");
        EXPECT_EQ(tags["tag:comment"], "from the stage");
        EXPECT_EQ(tags["tag:creation_time"].substr(0, 19), "2026-03-04T05:06:07");
        EXPECT_NE(tags["tag:veilcast:settings"].find("Screen Color=0,0,0"), std::string::npos);
    }
}

// A movie keeps its source's creation time unless --date-time gives one; a
// time that is not the clock's makes a repeated run write the same bytes.
TEST_F(MovieFidelity, CreationTimeIsWrittenAsAsked)
{
    runChecked(ffmpeg() + "-f lavfi -i testsrc2=size=64x32:rate=24:duration=0.25 -c:v libx264 -pix_fmt yuv420p "
                          "-metadata creation_time=2026-03-04T05:06:07.000000Z source.mkv");
    struct Case {
        std::string option, creation;
        bool repeatable;
    };
    const Case cases[] = {{"", "2026-03-04T05:06:07", false},
                          {"--date-time source", "2026-03-04T05:06:07", true},
                          {"--date-time '2001:02:03 04:05:06'", "2001-02-03T04:05:06", true},
                          {"--date-time now", "", false}};
    for (const std::string ext : {"mkv", "mov"}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(ext + " " + c.option);
            std::string bytes[2];
            for (int run = 0; run < (c.repeatable ? 2 : 1); ++run) {
                const std::string out = path("keyed" + std::to_string(run) + "." + ext);
                const Result r = runVeilcast(quoted(path("source.mkv")) + " -o " + quoted(out) + " " + c.option + " " + kPassThrough);
                ASSERT_EQ(r.exitCode, 0) << r.output;
                const std::string creation = probeValues(out, "", "format_tags=creation_time")["tag:creation_time"];
                if (c.creation.empty()) {  // the clock's, not the source's
                    EXPECT_EQ(creation.size(), 27u) << creation;
                    EXPECT_NE(creation.substr(0, 19), "2026-03-04T05:06:07");
                } else {
                    EXPECT_EQ(creation.substr(0, 19), c.creation);
                }
                std::ifstream in(out, std::ios::binary);
                bytes[run] = std::string(std::istreambuf_iterator<char>(in), {});
            }
            if (c.repeatable) {
                EXPECT_TRUE(bytes[0] == bytes[1]) << "two runs wrote different bytes";
            }
        }
    }
}

// The audio of a whole movie plays to its own end, past the last frame;
// with --frames it ends with the last keyed frame.
TEST_F(MovieFidelity, AudioSpansWhatWasKeyed)
{
    runChecked(ffmpeg() + "-f lavfi -i testsrc2=size=64x48:rate=24:duration=1 -f lavfi -i sine=f=440:sample_rate=48000:d=2 "
                   "-c:v libx264 -pix_fmt yuv420p -c:a aac long.mov");
    const auto audioEnd = [](const std::string& file) {
        double end = 0;
        for (const std::string& line : probeLines(file, "-select_streams a:0", "packet=pts_time,duration_time")) {
            const auto comma = line.find(',');
            end = std::max(end, std::stod(line.substr(0, comma)) + std::stod(line.substr(comma + 1)));
        }
        return end;
    };
    const double packet = 1024.0 / 48000;
    struct Case {
        std::string frames;
        double from, to;  // where the audio must end, in seconds
    };
    for (const Case& c : {Case{"", audioEnd(path("long.mov")) - 0.001, audioEnd(path("long.mov")) + 0.001},
                          Case{"--frames 1-6", 0.25, 0.25 + packet}}) {
        SCOPED_TRACE(c.frames);
        const Result r = runVeilcast(quoted(path("long.mov")) + " -o " + quoted(path("out.mov")) + " " + c.frames + " " +
                                     kPassThrough);
        ASSERT_EQ(r.exitCode, 0) << r.output;
        const double end = audioEnd(path("out.mov"));
        EXPECT_GE(end, c.from);
        EXPECT_LE(end, c.to);
    }
}

// A transport stream cut anywhere is keyed from its first decodable frame,
// saying how many packets before it were skipped, its frames those the
// ffmpeg program decodes and shown when it shows them.
// When a movie's sound first rises above a click's level: the first such
// sample of its first audio stream, decoded to 48 kHz, after the stream's
// start.
double clickTime(const std::string& file)
{
    const std::string raw = file + ".f32";
    runChecked("ffmpeg -v error -y -i " + quoted(file) + " -map 0:a:0 -ac 1 -ar 48000 -f f32le " + quoted(raw));
    std::ifstream in(raw, std::ios::binary);
    float sample = 0;
    int index = 0;
    while (in.read(reinterpret_cast<char*>(&sample), sizeof sample) && std::fabs(sample) < 0.2f)
        ++index;
    EXPECT_TRUE(in) << file << ": no click";
    fs::remove(raw);
    return std::stod(probeValues(file, "-select_streams a:0", "stream=start_time")["start_time"]) + index / 48000.0;
}

TEST_F(MovieFidelity, TransportStreamCutMidGopStartsAtItsFirstDecodableFrame)
{
    struct Case {
        std::string name, x264;
    };
    for (const Case& c : {Case{"closed", "-g 24 -bf 2"}, Case{"open", "-g 24 -bf 2 -x264opts open-gop=1"}}) {
        SCOPED_TRACE(c.name);
        const std::string whole = path(c.name + ".ts"), cut = path(c.name + "-cut.ts");
        // A click 2.5 s in, after the first decodable frame, stays as far after that frame.
        runChecked(ffmpeg() + "-f lavfi -i testsrc2=size=96x64:rate=24:duration=3 -f lavfi -i "
            "\"aevalsrc='if(between(t,2.5,2.52),0.8*sin(2*PI*1000*t),0)':s=48000:d=3\" -c:a mp2 "
            "-c:v libx264 -pix_fmt yuv420p " + c.x264 + " " + quoted(whole));
        const auto size = fs::file_size(whole);
        runChecked("tail -c +" + std::to_string(size * 2 / 5 / 188 * 188 + 1 + 188 * 3 / 2) + " " + quoted(whole) + " > " + quoted(cut));
        const std::string out = path(c.name + "-keyed.mkv");
        const Result r = runVeilcast(quoted(cut) + " -o " + quoted(out) + " " + kPassThrough);
        ASSERT_EQ(r.exitCode, 0) << r.output;
        std::smatch skipped;
        ASSERT_TRUE(std::regex_search(r.output, skipped, std::regex(R"(first decodable frame, (\d+) leading video packets? skipped)")))
            << r.output;
        // The packets before the first one ffprobe flags a keyframe.
        const auto flags = probeLines(cut, "-select_streams v:0", "packet=flags");
        const auto key = std::find_if(flags.begin(), flags.end(), [](const std::string& f) { return f[0] == 'K'; });
        EXPECT_EQ(skipped[1].str(), std::to_string(key - flags.begin()));
        const auto shown = probeLines(cut, "-select_streams v:0", "frame=pts_time"), got = probeLines(out, "-select_streams v:0", "frame=pts_time");
        ASSERT_EQ(got.size(), shown.size());
        // Times from the first frame: a container may start the picture a
        // little after zero, where the first sound packet begins before it.
        for (std::size_t i = 0; i < got.size(); ++i)
            EXPECT_NEAR(std::stod(got[i]) - std::stod(got[0]), std::stod(shown[i]) - std::stod(shown[0]), 0.002)
                << "frame " << i + 1;
        EXPECT_LT(std::stod(got[0]), 0.05);
        EXPECT_NEAR(clickTime(out) - std::stod(got[0]), clickTime(cut) - std::stod(shown[0]), 0.002);
    }
}

}  // namespace
}  // namespace veilcast
