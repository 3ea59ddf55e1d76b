// SPDX-License-Identifier: Apache-2.0
// The right pixels in every format: output types, display encoding, alpha,
// metadata, parts and layers, and a key without a hand-placed box.

#include "VeilcastFixture.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>

namespace {

// The file's pixels as floats, read directly (no cache, colour as stored).
struct Pixels {
    OIIO::ImageSpec spec;
    std::vector<float> data;
    float at(int x, int y, int c) const
    {
        return data[(static_cast<std::size_t>(y) * spec.width + x) * spec.nchannels + c];
    }
};

Pixels readPixels(const std::string& p, int part = 0)
{
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto in = OIIO::ImageInput::open(p, &config);
    Pixels px;
    if (!in || !in->seek_subimage(part, 0)) {
        ADD_FAILURE() << p << ": " << OIIO::geterror();
        return px;
    }
    px.spec = in->spec();
    px.data.resize(static_cast<std::size_t>(px.spec.width) * px.spec.height * px.spec.nchannels);
    EXPECT_TRUE(in->read_image(part, 0, 0, px.spec.nchannels, OIIO::TypeDesc::FLOAT, px.data.data())) << p;
    return px;
}

// The sRGB transfer function, from its definition.
double srgbToLinear(double v)
{
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

class FormatsTest : public VeilcastTest {
protected:
    std::string keyTo(const std::string& in, const std::string& out, const std::string& extra = "",
                      const std::string& screen = "0.1,0.6,0.1")
    {
        const Result r = veilcast(quoted(in) + " -o " + quoted(path(out)) + " --set 'Screen Color=" + screen + "' -q " + extra);
        EXPECT_EQ(r.exitCode, 0) << out << ": " << r.output;
        return path(out);
    }
};

TEST_F(FormatsTest, OutputTypeFollowsTheFormatAndIsDisplayEncoded)
{
    const std::string half = writePlate("half.exr", {"R", "G", "B", "A"}, OIIO::TypeDesc::HALF);
    const std::string flt = writePlate("float.exr", {"R", "G", "B", "A"}, OIIO::TypeDesc::FLOAT);
    const struct {
        std::string in, out, extra;
        OIIO::TypeDesc::BASETYPE type;
        std::string colourSpace;
    } cases[] = {
        {half, "k.exr", "", OIIO::TypeDesc::HALF, "linear"},
        {flt, "kf.exr", "", OIIO::TypeDesc::FLOAT, "linear"},
        {half, "k.png", "", OIIO::TypeDesc::UINT16, "sRGB"},
        {half, "k.tif", "", OIIO::TypeDesc::UINT16, ""},
        {flt, "kf16.tif", "", OIIO::TypeDesc::UINT16, ""},
        {half, "k.dpx", "", OIIO::TypeDesc::UINT16, ""},
        {half, "k8.png", "-d uint8", OIIO::TypeDesc::UINT8, "sRGB"},
        {half, "kf.tif", "-d float", OIIO::TypeDesc::FLOAT, ""},
        {half, "k.jpg", "--set 'Check Alpha=on'", OIIO::TypeDesc::UINT8, "sRGB"},
    };
    for (const auto& c : cases) {
        const Pixels px = readPixels(keyTo(c.in, c.out, c.extra));
        EXPECT_EQ(px.spec.format.basetype, c.type) << c.out;
        if (!c.colourSpace.empty()) {  // only some formats record it
            EXPECT_TRUE(OIIO::Strutil::iequals(px.spec.get_string_attribute("oiio:ColorSpace"), c.colourSpace))
                << c.out << ": " << px.spec.get_string_attribute("oiio:ColorSpace");
        }
    }

    // WebP holds a matte with any transparency, and leaves out one that is
    // opaque everywhere (a subject filling the frame, a pass-through): both write.
    EXPECT_EQ(readPixels(keyTo(half, "k.webp")).spec.nchannels, 4);
    EXPECT_EQ(readPixels(keyTo(half, "opaque.webp", "", "0,0,0")).spec.nchannels, 3);

    // Encoded is the colour, not the colour times the matte: the PNG's
    // unassociated colour, decoded and multiplied by its alpha, is the EXR's.
    const Pixels exr = readPixels(path("k.exr")), png = readPixels(path("k.png"));
    double worstColour = 0;
    for (int y = 0; y < exr.spec.height; ++y)
        for (int x = 0; x < exr.spec.width; ++x)
            for (int c = 0; c < 3; ++c) {
                const double a = png.at(x, y, 3);
                const double want = std::clamp(static_cast<double>(exr.at(x, y, c)), 0.0, a);
                worstColour = std::max(worstColour, std::abs(srgbToLinear(png.at(x, y, c)) * a - want));
            }
    EXPECT_LT(worstColour, 2e-3);

    // The matte is data: the 16-bit PNG, TIFF and DPX hold the float EXR's
    // matte as values, within half a 16-bit step, not through any curve.
    const Pixels linear = readPixels(keyTo(flt, "ref.exr", "--set 'Check Alpha=on'"));
    for (const char* name : {"matte.png", "matte.tif", "matte.dpx"}) {
        const Pixels stored = readPixels(keyTo(flt, name, "--set 'Check Alpha=on'"));
        ASSERT_EQ(stored.spec.nchannels, 3) << name;
        EXPECT_EQ(stored.spec.format.basetype, OIIO::TypeDesc::UINT16) << name;
        if (std::string(name) != "matte.tif") {  // TIFF has no tag for it
            EXPECT_TRUE(OIIO::Strutil::iequals(stored.spec.get_string_attribute("oiio:ColorSpace"), "linear")) << name;
        }
        double worst = 0;
        for (int y = 0; y < linear.spec.height; ++y)
            for (int x = 0; x < linear.spec.width; ++x) {
                const double want = std::clamp(static_cast<double>(linear.at(x, y, 0)), 0.0, 1.0);
                worst = std::max(worst, std::abs(stored.at(x, y, 0) - want));
            }
        EXPECT_LT(worst, 0.5001 / 65535) << name;
    }

    const struct {
        std::string out, extra, says;
    } refused[] = {
        {"x.png", "-d float", "png files hold uint16, uint8"},
        {"x.exr", "-d uint8", "openexr files hold float, half"},
        {"x.jpg", "", "jpeg files hold no alpha, and the result has a matte in alpha; write EXR, PNG, TIFF, DPX, "
                      "TGA or WebP"},
        {"x.jpg", "-d uint16 --set 'Check Alpha=on'", "jpeg files hold uint8"},
    };
    for (const auto& c : refused) {
        const Result r = veilcast(quoted(half) + " -o " + quoted(path(c.out)) + " --set 'Screen Color=0,1,0' " + c.extra);
        EXPECT_EQ(r.exitCode, 2) << c.out << " " << c.extra << ": " << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
        EXPECT_FALSE(fs::exists(path(c.out)));
    }
}

// The gamma a PNG's gAMA chunk declares, read from its bytes: the chunk
// holds 100000 over the gamma that decodes it.
double gammaOfPngChunk(const std::string& file)
{
    const std::string bytes = fileBytes(file);
    const std::size_t at = bytes.find("gAMA");
    if (at == std::string::npos || at + 8 > bytes.size())
        return 0;
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v = v << 8 | static_cast<unsigned char>(bytes[at + 4 + static_cast<std::size_t>(i)]);
    return v ? 100000.0 / v : 0;
}

// The Cineon curve of a log scan, from its definition: codes of 1023,
// reference black 95 and white 685, 0.002 density per code, 0.6 gamma.
double cineonToLinear(double code)
{
    const double black = std::pow(10.0, (95 - 685) * 0.002 / 0.6);
    return (std::pow(10.0, (code - 685) * 0.002 / 0.6) - black) / (1 - black);
}

// Stills made by other tools, tagged with a transfer or not, keyed with a
// black screen colour (which keys nothing): written in their own format they
// come back code for code with the same tags, and the key sees the linear
// light their transfer decodes to, worked out here from the codes.
TEST_F(FormatsTest, TaggedStillsPassThroughInTheirOwnEncoding)
{
    const auto made = [&](const std::string& command) {
        EXPECT_EQ(std::system(("cd " + quoted(dir.string()) + " && " + command).c_str()), 0) << command;
    };
    made("ffmpeg -v error -f lavfi -i testsrc2=size=48x32 -frames:v 1 -pix_fmt yuv420p -c:v libx264 "
         "-color_trc bt709 -colorspace bt709 -color_primaries bt709 clip.mp4 && "
         "ffmpeg -v error -i clip.mp4 -frames:v 1 gamma.png");
    const double gamma = gammaOfPngChunk(path("gamma.png"));
    ASSERT_GT(gamma, 1.9) << "ffmpeg wrote no gAMA chunk";
    const std::string noise = "oiiotool --pattern noise:type=uniform:min=0:max=1 48x32 3 ";
    made(noise + "-d uint10 --attrib oiio:ColorSpace KodakLog -o log.dpx");
    made("ffmpeg -v error -f lavfi -i testsrc2=size=48x32 -frames:v 1 srgb.png");
    made(noise + "-d uint16 -o plain.tif");
    made(noise + "-d uint10 -o ten.dpx");

    const auto srgb = [](double v) { return srgbToLinear(v); };
    const struct {
        std::string file, tag;                // the tag read back from the pass-through
        std::function<double(double)> light;  // the linear light of a stored value 0..1
        double codes;                         // the largest code
        std::string rawExrTag;                // kept by --raw in EXR
        double codesOff;                      // the image library's sRGB curve is within a 16-bit step
    } cases[] = {
        {"gamma.png", "Gamma", [&](double v) { return std::pow(v, gamma); }, 255, "Gamma", 0},
        {"log.dpx", "KodakLog", [](double v) { return cineonToLinear(v * 1023); }, 1023, "KodakLog", 0},
        {"srgb.png", "sRGB", srgb, 255, "sRGB", 0},
        {"plain.tif", "sRGB", srgb, 65535, "Linear", 1},  // untagged: sRGB as ever; as stored, no word
        {"ten.dpx", "", srgb, 1023, "Linear", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const Pixels in = readPixels(path(c.file));
        const std::string out = "out." + fs::path(c.file).extension().string().substr(1);
        const Pixels same = readPixels(keyTo(path(c.file), out, "", "0,0,0"));
        const Pixels light = readPixels(keyTo(path(c.file), "light.exr", "-d float", "0,0,0"));
        const Pixels raw = readPixels(keyTo(path(c.file), "raw.exr", "--raw", "0,0,0"));
        EXPECT_EQ(same.spec.format, in.spec.format);
        const std::string tag = same.spec.get_string_attribute("oiio:ColorSpace");
        EXPECT_TRUE(c.tag.empty() ? tag.empty() : OIIO::Strutil::istarts_with(tag, c.tag)) << tag;
        if (gammaOfPngChunk(path(c.file)) > 0) {
            EXPECT_EQ(gammaOfPngChunk(path(out)), gammaOfPngChunk(path(c.file)));
        }
        for (const char* kept : {"oiio:Gamma", "oiio:BitsPerSample", "dpx:Transfer"})
            EXPECT_EQ(same.spec.get_string_attribute(kept), in.spec.get_string_attribute(kept)) << kept;
        EXPECT_TRUE(OIIO::Strutil::istarts_with(raw.spec.get_string_attribute("oiio:ColorSpace"), c.rawExrTag))
            << raw.spec.get_string_attribute("oiio:ColorSpace");
        double codes = 0, linear = 0;
        for (int y = 0; y < in.spec.height; ++y)
            for (int x = 0; x < in.spec.width; ++x)
                for (int ch = 0; ch < 3; ++ch) {
                    const double v = in.at(x, y, ch);
                    codes = std::max(codes, std::abs(same.at(x, y, ch) - v) * c.codes);
                    const double want = c.light(v);
                    linear = std::max(linear, std::abs(light.at(x, y, ch) - want) / std::max(1.0, std::abs(want)));
                }
        EXPECT_LE(codes, c.codesOff + 0.01) << "codes changed";
        EXPECT_LT(linear, 2e-5) << "linear light other than the transfer gives";
    }

    // A picture under a movie's name is read as the picture it is.
    fs::copy_file(path("srgb.png"), path("srgb.mov"));
    EXPECT_EQ(readPixels(keyTo(path("srgb.mov"), "named.exr", "-d float", "0,0,0")).data,
              readPixels(keyTo(path("srgb.png"), "png.exr", "-d float", "0,0,0")).data);
}

// A PNG's alpha is straight: reading it must not multiply it into the colour.
TEST_F(FormatsTest, StraightAlphaIsReadAndWrittenStraight)
{
    OIIO::ImageSpec rgbSpec(16, 8, 3, OIIO::TypeDesc::UINT8), rgbaSpec(16, 8, 4, OIIO::TypeDesc::UINT8);
    OIIO::ImageBuf rgb(rgbSpec), rgba(rgbaSpec);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x) {
            const float c[4] = {x < 8 ? 0.1f : 0.7f, x < 8 ? 0.8f : 0.4f, 0.2f + 0.02f * static_cast<float>(y), 0.5f};
            rgb.setpixel(x, y, c, 3);
            rgba.setpixel(x, y, c, 4);
        }
    rgba.specmod().attribute("oiio:UnassociatedAlpha", 1);  // store the colour as given
    ASSERT_TRUE(rgb.write(path("rgb.png")) && rgba.write(path("rgba.png")));
    ASSERT_EQ(readPixels(path("rgba.png")).at(0, 0, 0), readPixels(path("rgb.png")).at(0, 0, 0));
    const std::string args = " --set 'Source Alpha=Ignore' -d float";
    const Pixels plain = readPixels(keyTo(path("rgb.png"), "plain.exr", args));
    const Pixels withAlpha = readPixels(keyTo(path("rgba.png"), "alpha.exr", args));
    ASSERT_EQ(plain.data.size(), withAlpha.data.size());
    for (std::size_t i = 0; i < plain.data.size(); ++i)
        ASSERT_EQ(plain.data[i], withAlpha.data[i]) << "sample " << i;

    // Written to PNG, the premultiplied result is stored straight: colour / alpha.
    const Pixels png = readPixels(keyTo(path("rgb.png"), "keyed.png", " --set 'Source Alpha=Ignore' -d uint16"));
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x) {
            const float a = plain.at(x, y, 3);
            if (a < 0.05f)
                continue;
            EXPECT_NEAR(png.at(x, y, 3), a, 1.0 / 65535) << x << "," << y;
            const double straight = std::clamp(plain.at(x, y, 1) / a, 0.0f, 1.0f);
            EXPECT_NEAR(srgbToLinear(png.at(x, y, 1)), straight, 2e-3) << x << "," << y;
        }
}

TEST_F(FormatsTest, MetadataDescribesThePictureAndHowItWasKeyed)
{
    OIIO::ImageSpec spec(16, 8, 3, OIIO::TypeDesc::HALF);
    spec.attribute("ImageDescription", "the raw plate");
    spec.attribute("DateTime", "2001:01:01 00:00:00");
    spec.attribute("Software", "camera firmware");
    spec.attribute("Exif:ColorSpace", 1);
    spec.attribute("textureformat", "Plain Texture");
    spec.attribute("Make", "SomeCamera");
    spec.attribute("FramesPerSecond", OIIO::TypeRational, std::vector<int>{24, 1}.data());
    spec.attribute("pipeline:shot", "sh010");
    OIIO::ImageBuf plate(spec);
    const float green[3] = {0.1f, 0.6f, 0.1f};
    OIIO::ImageBufAlgo::fill(plate, green);
    ASSERT_TRUE(plate.write(path("plate.exr")));

    const OIIO::ImageSpec out = readPixels(keyTo(path("plate.exr"), "k.exr")).spec;
    for (const char* gone : {"ImageDescription", "Exif:ColorSpace", "textureformat"})
        EXPECT_EQ(out.find_attribute(gone), nullptr) << gone;
    EXPECT_EQ(out.get_string_attribute("Make"), "SomeCamera");
    EXPECT_EQ(out.get_string_attribute("pipeline:shot"), "sh010");
    EXPECT_NE(out.find_attribute("FramesPerSecond"), nullptr);
    EXPECT_NE(out.get_string_attribute("DateTime"), "2001:01:01 00:00:00");
    EXPECT_TRUE(OIIO::Strutil::starts_with(out.get_string_attribute("Software"), "veilcast "))
        << out.get_string_attribute("Software");
    EXPECT_NE(out.get_string_attribute("veilcast:settings").find("Screen Color=0.1,0.6,0.1"), std::string::npos)
        << out.get_string_attribute("veilcast:settings");
}

TEST_F(FormatsTest, PartsAndLayersAreChosen)
{
    // A stereo pair as two parts, and a file with a layer and lowercase channels.
    const float right[3] = {0.5f, 0.3f, 0.1f};
    // Made by oiiotool, so that the parts are as another tool writes them.
    const std::string make = "oiiotool --pattern constant:color=0,1,0 8x4 3 -d float --attrib name left "
                             "--pattern constant:color=0.5,0.3,0.1 8x4 3 -d float --attrib name right --siappend -o " +
                             quoted(path("stereo.exr"));
    ASSERT_EQ(std::system(make.c_str()), 0);
    const Result byDefault = veilcast(quoted(path("stereo.exr")) + " -o " + quoted(path("l.exr")) +
                                      " --set 'Screen Color=0,1,0' -d float");
    EXPECT_EQ(byDefault.exitCode, 0) << byDefault.output;
    EXPECT_NE(byDefault.output.find("keyed part 0 \"left\"; left out 1 \"right\""), std::string::npos)
        << byDefault.output;
    EXPECT_EQ(readPixels(path("l.exr")).at(3, 2, 3), 0.0f);  // the left eye is all screen
    for (const char* part : {"right", "1"}) {
        const Pixels r = readPixels(keyTo(path("stereo.exr"), std::string("r") + part + ".exr",
                                          std::string("-d float --part ") + part, "0,1,0"));
        EXPECT_EQ(r.at(3, 2, 0), right[0]) << part;
        EXPECT_EQ(r.at(3, 2, 3), 1.0f) << part;
    }
    const Result missing = veilcast(quoted(path("stereo.exr")) + " -o " + quoted(path("x.exr")) + " --part middle");
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.output.find("its parts are 0 \"left\", 1 \"right\""), std::string::npos) << missing.output;

    OIIO::ImageSpec layered(8, 4, 4, OIIO::TypeDesc::FLOAT);
    layered.channelnames = {"beauty.R", "beauty.G", "beauty.B", "depth.Z"};
    OIIO::ImageBuf layeredBuf(layered);
    const float layeredPixel[4] = {0.0f, 1.0f, 0.0f, 5.0f};
    OIIO::ImageBufAlgo::fill(layeredBuf, layeredPixel);
    ASSERT_TRUE(layeredBuf.write(path("layers.exr")));
    const Result noLayer = veilcast(quoted(path("layers.exr")) + " -o " + quoted(path("x.exr")));
    EXPECT_EQ(noLayer.exitCode, 1);
    EXPECT_NE(noLayer.output.find("--layer chooses one of: beauty, depth"), std::string::npos) << noLayer.output;
    EXPECT_EQ(readPixels(keyTo(path("layers.exr"), "b.exr", "--layer beauty -d float", "0,1,0")).at(1, 1, 3), 0.0f);

    OIIO::ImageSpec lower(8, 4, 4, OIIO::TypeDesc::FLOAT);
    lower.channelnames = {"r", "g", "b", "a"};
    OIIO::ImageBuf lowerBuf(lower);
    const float lowerPixel[4] = {0.0f, 1.0f, 0.0f, 1.0f};
    OIIO::ImageBufAlgo::fill(lowerBuf, lowerPixel);
    ASSERT_TRUE(lowerBuf.write(path("lower.exr")));
    EXPECT_EQ(readPixels(keyTo(path("lower.exr"), "lw.exr", "-d float", "0,1,0")).at(1, 1, 3), 0.0f);
}

TEST_F(FormatsTest, NoScreenColourPicksOneAndSaysSo)
{
    const std::string in = writePlate("plate.exr", {"R", "G", "B"}, OIIO::TypeDesc::FLOAT, 64, 32);
    const Result r = veilcast(quoted(in) + " -o " + quoted(path("k.exr")) + " -q -d float");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output.rfind("picked screen colour ", 0), 0u) << r.output;
    EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 1);
    const Pixels k = readPixels(path("k.exr"));
    EXPECT_LT(k.at(2, 2, 3), 0.5f) << "the backing was not keyed";
    EXPECT_EQ(k.at(60, 2, 3), 1.0f) << "the subject was keyed";

    // A colour given is honoured, black too: it keys nothing, with a warning, and nothing is picked.
    std::ofstream(path("black.keyer")) << "Screen Color=0,0,0\n";
    const Result black = veilcast(quoted(in) + " -o " + quoted(path("b.exr")) + " -q -d float --settings " +
                                  quoted(path("black.keyer")));
    EXPECT_EQ(black.exitCode, 0) << black.output;
    EXPECT_EQ(black.output, "veilcast: warning: Screen Color is 0,0,0: a black screen colour keys nothing\n");
    EXPECT_EQ(readPixels(path("b.exr")).at(2, 2, 3), 1.0f) << "black keyed the backing";
}

// The demo prints the options that reproduce its keys, without the screen
// map and with it; using them gives the same files.
TEST_F(FormatsTest, DemoSettingsReproduceItsKey)
{
    const Result demo = veilcast("demo " + quoted(dir.string()));
    ASSERT_EQ(demo.exitCode, 0) << demo.output;
    std::size_t at = 0;
    for (const char* keyed : {"keyed.exr", "keyed-map.exr"}) {
        at = demo.output.find("keyed with: ", at);
        ASSERT_NE(at, std::string::npos) << demo.output;
        at += 12;
        const std::string options = demo.output.substr(at, demo.output.find('\n', at) - at);
        EXPECT_NE(options.find("--set 'Clip Black=0.12'"), std::string::npos) << options;  // one shell word
        const Result again = veilcast(quoted(path("plate.exr")) + " -o " + quoted(path("again.exr")) + " -q " + options);
        ASSERT_EQ(again.exitCode, 0) << again.output;
        EXPECT_TRUE(readPixels(path("again.exr")).data == readPixels(path(keyed)).data) << keyed;
    }
    EXPECT_FALSE(readPixels(path("keyed.exr")).data == readPixels(path("keyed-map.exr")).data);
}

TEST_F(FormatsTest, OptionsGoBeforeOrAfterTheInput)
{
    const std::string in = writePlate("plate.exr", {"R", "G", "B"}, OIIO::TypeDesc::HALF);
    const std::string plugins = fs::path(VEILCAST_PLUGIN_FILE).parent_path().string();
    const Result r = veilcast("--set 'Screen Color=0,1,0' --plugin-path " + quoted(plugins) + " --set 'Clip Black=0.1' " +
                              quoted(in) + " -o " + quoted(path("k.exr")) + " -q");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(readPixels(path("k.exr")).spec.get_string_attribute("veilcast:settings").find("Clip Black=0.1"),
              std::string::npos);
}

// Ctrl-C during a sequence keeps the frames finished, and says which.
TEST_F(FormatsTest, InterruptedSequenceNamesTheFramesWritten)
{
    std::string make = "cd " + quoted(dir.string()) +
                       " && oiiotool --pattern noise:type=uniform:min=0:max=1 2048x1536 3 -d half -o p.0001.exr";
    for (int f = 2; f <= 6; ++f)
        make += " && cp p.0001.exr p.000" + std::to_string(f) + ".exr";
    ASSERT_EQ(std::system(make.c_str()), 0);
    const Result r = veilcast("p.####.exr -o k.####.exr --frames 1-6 --threads 1 --set 'Screen Color=0,1,0' > log 2>&1 & "
                              "pid=$!; n=0; while ! grep -q 'frame 2/' log && [ $n -lt 1200 ]; do sleep 0.05; n=$((n+1)); "
                              "done; kill -INT $pid; wait $pid; echo status $?; cat log)",
                              "cd " + quoted(dir.string()) + " && (");
    ASSERT_NE(r.output.find("status 130"), std::string::npos) << r.output;
    const std::size_t at = r.output.find("veilcast: interrupted; ");
    ASSERT_NE(at, std::string::npos) << r.output;
    int written = 0;
    while (fs::exists(path("k.000" + std::to_string(written + 1) + ".exr")))
        ++written;
    ASSERT_GE(written, 2);
    ASSERT_LT(written, 6) << "finished before the interrupt";
    const std::string last = "k.000" + std::to_string(written) + ".exr";
    EXPECT_EQ(r.output.substr(at), "veilcast: interrupted; " + std::to_string(written) +
                                       " of 6 frames were written (k.0001.exr " + (written == 2 ? "and " : "to ") +
                                       last + "); the frame being keyed left no partial output\n");
    std::vector<std::string> files{"log"};
    for (int f = 1; f <= 6; ++f)
        files.push_back("p.000" + std::to_string(f) + ".exr");
    for (int f = 1; f <= written; ++f)
        files.push_back("k.000" + std::to_string(f) + ".exr");
    expectOnly(files);
}

TEST_F(FormatsTest, LogsOneLinePerFrameAndReportsItsVersion)
{
    for (int f = 1; f <= 2; ++f)
        writePlate(framePath(f), {"R", "G", "B"}, OIIO::TypeDesc::HALF, 8, 4);
    const Result r = veilcast(quoted(path("p.####.exr")) + " -o " + quoted(path("k.####.exr")) +
                              " --frames 1-2 --set 'Screen Color=0,1,0'");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    for (const char* line : {"frame 1/2 p.0001.exr ", "frame 2/2 p.0002.exr "})
        EXPECT_NE(r.output.find(line), std::string::npos) << r.output;
    EXPECT_EQ(veilcast("--version").output, std::string("veilcast ") + VEILCAST_VERSION + "\n");
}

}  // namespace
