// SPDX-License-Identifier: Apache-2.0
// Clips made by the ffmpeg program, read by MovieReader and held against
// what ffmpeg and ffprobe make of the same file: every frame's pixels,
// decoded by ffmpeg with the matrix and range spelled out, the frames a
// decode yields and when each is shown, and the stream's tags.

#include "RunTool.h"
#include "veilcast/common/UsageError.h"
#include "veilcast/movie/MovieFiles.h"
#include "veilcast/movie/MovieReader.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace veilcast {
namespace {

using namespace DD::Image;
namespace fs = std::filesystem;

std::string run(const std::string& command)
{
    const Result r = runShell(command);
    EXPECT_EQ(r.exitCode, 0) << command << "\n" << r.output;
    return r.output;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            out.push_back(line);
    return out;
}

// The camera's BT.709 encoding, by the formula: linear light to code value.
double toBt709(double l)
{
    return l < 0.018 ? 4.5 * l : 1.099 * std::pow(l, 0.45) - 0.099;
}

// The sRGB encoding, by the formula, that GIF and PNG pictures are in.
double toSrgb(double l)
{
    return l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1 / 2.4) - 0.055;
}

// Smooth ramps from black in every channel, moving from frame to frame:
// dark tones, saturated colours and no edge for chroma to blur.
std::string ramps(int w, int h, const std::string& rate = "24")
{
    return "-f lavfi -i \"nullsrc=s=" + std::to_string(w) + "x" + std::to_string(h) + ":r=" + rate +
           ",format=gbrp,geq=r='255*X/W':g='255*Y/H':b='128+120*sin(X/9+Y/7+N)'\" ";
}

struct Clip {
    const char* name;
    const char* make;       // ffmpeg's arguments after the source: how the clip is coded
    const char* source;     // "" : 64x48 ramps, 12 frames at 24 per second
    const char* decoder;    // ffmpeg's decoder for the reference, when not its default
    const char* reference;  // ffmpeg's scale options naming the matrix and range
    bool alpha;
};

class MovieReading : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::path(::testing::TempDir()) / ("veilcast-reader-" + std::to_string(getpid()) + "-" +
                                                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string make(const std::string& name, const std::string& source, const std::string& coding)
    {
        const std::string file = (dir / name).string();
        run("ffmpeg -v error -y " + (source.empty() ? ramps(64, 48) + "-frames:v 12 " : source) + coding + " '" + file + "'");
        return file;
    }

    // ffprobe's count of the frames a decode yields.
    static long decodedFrames(const std::string& file, const std::string& stream = "v:0")
    {
        return std::stol(run("ffprobe -v error -select_streams " + stream +
                             " -count_frames -show_entries stream=nb_read_frames -of csv=p=0 '" + file + "'"));
    }

    fs::path dir;
};

// Every frame's values within a code value of ffmpeg's own decode, and its
// alpha exact where ffmpeg's is opaque; as many frames as ffmpeg decodes,
// each shown when ffprobe says.
TEST_F(MovieReading, FramesMatchFfmpegsDecodeValueForValueAndInTime)
{
    const std::string trimmedSource = make("whole.mp4", "", "-c:v libx264 -g 100 -pix_fmt yuv420p -colorspace bt709 -color_range tv");
    const Clip clips[] = {
        {"full.mp4", "-c:v libx264 -pix_fmt yuvj420p -colorspace bt709 -color_range pc", "", "", "in_color_matrix=bt709:in_range=pc", false},
        {"mjpeg.avi", "-c:v mjpeg -q:v 1 -pix_fmt yuvj422p", "", "", "in_color_matrix=bt601:in_range=pc", false},
        {"limited.mov", "-c:v libx264 -pix_fmt yuv444p -colorspace bt709 -color_range tv", "", "", "in_color_matrix=bt709:in_range=tv", false},
        // Untagged standard definition is BT.601.
        {"sd.mp4", "-c:v libx264 -pix_fmt yuv420p -frames:v 2", "-f lavfi -i \"nullsrc=s=720x576:r=25,format=gbrp,geq=r='255*X/W':g='255*Y/H':b='128+120*sin(X/40+Y/30)'\" ", "",
         "in_color_matrix=bt601:in_range=tv", false},
        // Cut after the key frame: an edit list hides the frames decoded only to reach the first one shown.
        {"trimmed.mp4", "-c copy", nullptr, "", "in_color_matrix=bt709:in_range=tv", false},
        // Twelve frames at 1/24 s, then at 1/8 s.
        {"uneven.mp4", "-vf \"setpts='if(lt(N,6),N/24,0.25+(N-6)/8)/TB'\" -fps_mode passthrough -video_track_timescale 240 -c:v libx264 -pix_fmt yuv444p -colorspace bt709 -color_range tv",
         "", "", "in_color_matrix=bt709:in_range=tv", false},
        {"clip.ts", "-c:v mpeg2video -q:v 2 -pix_fmt yuv420p -colorspace bt709 -color_range tv", "", "", "in_color_matrix=bt709:in_range=tv", false},
        {"clip.mpg", "-c:v mpeg2video -q:v 2 -pix_fmt yuv420p -colorspace bt709 -color_range tv", "", "", "in_color_matrix=bt709:in_range=tv", false},
        {"noextension", "-f matroska -c:v libx264 -pix_fmt yuv444p -colorspace bt709 -color_range tv", "", "", "in_color_matrix=bt709:in_range=tv", false},
        {"anim.gif", "-vf \"trim=end_frame=4,split[a][b];[a]palettegen[p];[b][p]paletteuse\"", "", "", "", true},
        {"alpha.mov", "-vf \"format=yuva444p10le,geq=lum='p(X,Y)':cb='p(X,Y)':cr='p(X,Y)':a='if(lt(X,32),1023,X*16)',setparams=colorspace=bt709:color_trc=bt709:color_primaries=bt709\" -c:v prores_ks -profile:v 4444 -pix_fmt yuva444p10le -colorspace bt709 -color_primaries bt709 -color_trc bt709 -color_range tv",
         "", "", "in_color_matrix=bt709:in_range=tv", true},
        {"alpha.webm", "-vf \"format=yuva420p,geq=lum='p(X,Y)':cb='p(X,Y)':cr='p(X,Y)':a='if(lt(X,32),255,X*4)'\" -c:v libvpx-vp9 -lossless 1 -pix_fmt yuva420p -colorspace bt709 -color_range tv",
         "", "-c:v libvpx-vp9", "in_color_matrix=bt709:in_range=tv", true},
    };
    for (const Clip& clip : clips) {
        SCOPED_TRACE(clip.name);
        const std::string file = clip.source ? make(clip.name, clip.source, clip.make)
                                             : make(clip.name, "-ss 0.2 -i '" + trimmedSource + "' ", clip.make);
        EXPECT_TRUE(isMovieFile(file));

        // ffmpeg's frames, converted with the matrix and range named; a GIF's
        // RGB as it is (ffmpeg's 16-bit RGB puts its white at 65283).
        const bool gif = std::string(clip.name).find(".gif") != std::string::npos;
        const std::string raw = file + ".rgba";
        run("ffmpeg -v error -y " + std::string(clip.decoder) + " -i '" + file + "' -fps_mode passthrough -vf 'scale=" +
            (*clip.reference ? std::string(clip.reference) + ":" : "") +
            "out_range=pc:flags=neighbor+full_chroma_int+accurate_rnd:in_h_chr_pos=128:in_v_chr_pos=128,format=" +
            (gif ? "rgba" : "rgba64le") + "' -f rawvideo '" + raw + "'");
        const std::vector<std::string> shown = lines(run(
            "ffprobe -v error -select_streams v:0 -show_entries frame=best_effort_timestamp_time -of csv=p=0 '" + file + "'"));

        MovieReader reader(file);
        const MovieInfo& info = reader.info();
        EXPECT_EQ(info.frameCount, decodedFrames(file));
        EXPECT_EQ(info.hasAlpha, clip.alpha);
        const std::size_t w = static_cast<std::size_t>(info.width), h = static_cast<std::size_t>(info.height);
        std::ifstream in(raw, std::ios::binary);
        std::vector<std::uint16_t> want(w * h * 4);
        PlanarImage frame;
        double worst = 0;
        long frames = 0;
        bool opaqueExact = true;
        const auto encode = gif ? toSrgb : toBt709;
        while (reader.read(frame)) {
            ++frames;
            if (gif) {
                std::vector<std::uint8_t> bytes(want.size());
                ASSERT_TRUE(in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size())))
                    << "ffmpeg decoded fewer frames than " << frames;
                std::transform(bytes.begin(), bytes.end(), want.begin(), [](std::uint8_t b) { return static_cast<std::uint16_t>(b * 257); });
            } else {
                ASSERT_TRUE(in.read(reinterpret_cast<char*>(want.data()), static_cast<std::streamsize>(want.size() * 2)))
                    << "ffmpeg decoded fewer frames than " << frames;
            }
            ASSERT_EQ(frame.has(Chan_Alpha), clip.alpha);
            for (std::size_t y = 0; y < h; ++y)
                for (std::size_t x = 0; x < w; ++x) {
                    const std::uint16_t* px = &want[(y * w + x) * 4];
                    int c = 0;
                    for (Channel z : {Chan_Red, Chan_Green, Chan_Blue})
                        // ffmpeg's 16-bit RGB holds nothing outside 0..1, which the reader keeps.
                        worst = std::max(worst, std::fabs(std::clamp(encode(frame.row(z, static_cast<int>(y))[x]), 0.0, 1.0) -
                                                          px[c++] / 65535.0));
                    if (clip.alpha) {
                        const float a = frame.row(Chan_Alpha, static_cast<int>(y))[x];
                        worst = std::max(worst, std::fabs(a - px[3] / 65535.0));
                        if (px[3] >= 65520 && a != 1.0f)  // opaque: ffmpeg widens 12-bit 4095 to 65520
                            opaqueExact = false;
                    }
                }
            const FrameTime t = reader.frameTime();
            ASSERT_LE(static_cast<std::size_t>(frames), shown.size());
            if (shown[static_cast<std::size_t>(frames) - 1].rfind("N/A", 0) != 0) {  // ffprobe has none for a PS's last frame
                EXPECT_NEAR(static_cast<double>(t.start) * info.timeBaseNum / info.timeBaseDen,
                        std::stod(shown[static_cast<std::size_t>(frames) - 1]) - std::stod(shown[0]), 1e-6)
                << "frame " << frames;
            }
        }
        EXPECT_EQ(frames, decodedFrames(file));
        EXPECT_FALSE(in.read(reinterpret_cast<char*>(want.data()), 2)) << "ffmpeg decoded more than " << frames << " frames";
        EXPECT_LE(worst, 1.0 / 255) << "largest difference from ffmpeg's decode, in code values 0..1";
        EXPECT_TRUE(opaqueExact) << "opaque alpha read as less than 1";
        EXPECT_EQ(info.variableRate, std::string(clip.name) == "uneven.mp4");
    }
}

// Rotation, pixel aspect and field order as ffprobe reads them.
TEST_F(MovieReading, GeometryTagsAreReadAsFfprobeReadsThem)
{
    const std::string plain = make("plain.mov", "", "-vf setsar=4/3 -c:v libx264 -flags +ildct+ilme -top 1 -field_order tt -pix_fmt yuv420p");
    const std::string file = make("tagged.mov", "-i '" + plain + "' ", "-c copy -metadata:s:v:0 rotate=90");
    const std::string probe = run("ffprobe -v error -select_streams v:0 -show_entries "
                                  "stream=sample_aspect_ratio,field_order:stream_side_data=rotation -of default=nw=1 '" + file + "'");
    // ffprobe's angle turns the picture counter-clockwise for display (as
    // ffmpeg's own autorotation does); a quarter turn that way is three clockwise.
    ASSERT_NE(probe.find("rotation=90"), std::string::npos) << probe;
    ASSERT_NE(probe.find("sample_aspect_ratio=4:3"), std::string::npos) << probe;
    ASSERT_NE(probe.find("field_order=tt"), std::string::npos) << probe;
    const MovieInfo info = MovieReader(file).info();
    EXPECT_EQ(info.rotation, 270);
    EXPECT_EQ(info.aspectNum, 4);
    EXPECT_EQ(info.aspectDen, 3);
    EXPECT_EQ(info.fieldOrder, 2);  // AV_FIELD_TT
}

// Stills are not movies, whatever their name; a chosen stream is keyed and
// the others named; a bad choice names the streams there are.
TEST_F(MovieReading, StreamsAndStillsAreToldApart)
{
    const std::string oneGif = make("one.gif", "", "-frames:v 1");
    const std::string png = make("still.png", "", "-frames:v 1");
    fs::copy_file(png, dir / "pngwithoutname");
    fs::copy_file(png, dir / "png.mov");
    EXPECT_FALSE(isMovieFile(oneGif));
    EXPECT_FALSE(isMovieFile(png));
    EXPECT_FALSE(isMovieFile((dir / "pngwithoutname").string()));
    EXPECT_FALSE(isMovieFile((dir / "png.mov").string()));
    EXPECT_FALSE(isMovieFile((dir / "plate.####.exr").string()));
    EXPECT_TRUE(isMovieFile((dir / "absent.mts").string()));

    const std::string two = make("two.mkv", ramps(64, 48) + ramps(32, 16) + "-frames:v 3 ",
                                 "-map 0:v -map 1:v -c:v libx264 -pix_fmt yuv444p");
    std::vector<std::string> notices;
    MovieReadOptions options;
    options.notice = [&notices](const std::string& text) { notices.push_back(text); };
    options.stream = "1";
    EXPECT_EQ(MovieReader(two, options).info().width, 32);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].find("left out 0 (h264 64x48)"), std::string::npos) << notices[0];
    options.stream = "2";
    try {
        MovieReader refused(two, options);
        ADD_FAILURE() << "stream 2 of two accepted";
    } catch (const UsageError& e) {
        EXPECT_NE(std::string(e.what()).find("two.mkv"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("0 (h264 64x48), 1 (h264 32x16)"), std::string::npos) << e.what();
    }
}

// A movie cut short is refused, never keyed with the frames it still has.
TEST_F(MovieReading, TruncatedMoviesAreRefused)
{
    const std::string indexed = make("front.mp4", ramps(160, 90) + "-frames:v 24 ", "-c:v libx264 -crf 0 -movflags +faststart");
    const std::string headed = make("headed.mkv", ramps(160, 90) + "-frames:v 24 ", "-c:v libx264 -crf 0");
    const std::string gif = make("counted.gif", ramps(160, 90) + "-frames:v 24 ", "");
    for (const std::string& whole : {indexed, headed, gif}) {
        SCOPED_TRACE(whole);
        std::ifstream in(whole, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), {});
        // Cut between two frames, so that what is left reads cleanly to its end.
        const std::vector<std::string> packets =
            lines(run("ffprobe -v error -select_streams v:0 -show_entries packet=pos,size -of csv=p=0 '" + whole + "'"));
        ASSERT_EQ(packets.size(), 24u);
        const std::size_t comma = packets[11].find(',');
        const std::size_t end = std::stoul(packets[11].substr(0, comma)) + std::stoul(packets[11].substr(comma + 1));
        const std::string cut = whole + ".cut" + fs::path(whole).extension().string();
        std::ofstream(cut, std::ios::binary) << bytes.substr(0, end);
        long frames = 0;
        try {
            MovieReader reader(cut);
            PlanarImage frame;
            while (reader.read(frame))
                ++frames;
            ADD_FAILURE() << "read " << frames << " frames of a movie cut short";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("truncated or corrupt"), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace veilcast
