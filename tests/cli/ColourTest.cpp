// SPDX-License-Identifier: Apache-2.0
// Keying with a colour configuration through the command line.

#include "ColourConfigFile.h"
#include "VeilcastFixture.h"

#include <cmath>
#include <cstdlib>

namespace {

class Colour : public VeilcastTest {
protected:
    // Two pixels in wide_matrix: the backing (linear 0.225, 0.35, 0.1 by
    // hand) and a red subject (linear 0.45, 0.17, 0.1).
    std::string writeMatrixPlate()
    {
        OIIO::ImageBuf buf(OIIO::ImageSpec(2, 1, 3, OIIO::TypeDesc::FLOAT));
        const float backing[3] = {0.2f, 0.4f, 0.1f}, subject[3] = {0.8f, 0.1f, 0.1f};
        buf.setpixel(0, 0, backing, 3);
        buf.setpixel(1, 0, subject, 3);
        const std::string p = path("plate.exr");
        EXPECT_TRUE(buf.write(p));
        return p;
    }
};

double toSrgb(double l)
{
    return l <= 0.0031308 ? l * 12.92 : 1.055 * std::pow(l, 1 / 2.4) - 0.055;
}

TEST_F(Colour, KeyIsPulledInSceneLinearAndWrittenInTheOutputSpace)
{
    const std::string config = writeColourConfig(dir);
    const std::string plate = writeMatrixPlate();
    // The backing as the keyer sees it: in scene-linear.
    const std::string key = " --set 'Screen Color=0.225,0.35,0.1' --ocio " + quoted(config) +
                            " --in-colorspace wide_matrix ";

    Result r = veilcast(quoted(plate) + " -o " + quoted(path("lin.exr")) + key + "--out-colorspace linear");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    OIIO::ImageBuf lin = read(path("lin.exr"));
    // The backing keys to nothing; the subject, with no green above its
    // other channels, is kept whole.
    EXPECT_NEAR(lin.getchannel(0, 0, 0, 3), 0.0, 1e-6);
    const double subject[3] = {0.45, 0.17, 0.1};
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(lin.getchannel(0, 0, 0, c), 0.0, 1e-6) << c;
        EXPECT_NEAR(lin.getchannel(1, 0, 0, c), subject[c], 1e-6) << c;
    }
    EXPECT_EQ(lin.getchannel(1, 0, 0, 3), 1.0f);

    r = veilcast(quoted(plate) + " -o " + quoted(path("srgb.exr")) + key + "--out-colorspace sRGB");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    OIIO::ImageBuf srgb = read(path("srgb.exr"));
    EXPECT_EQ(srgb.spec().get_string_attribute("oiio:ColorSpace"), "sRGB");  // tagged as written, EXR too
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(srgb.getchannel(1, 0, 0, c), toSrgb(subject[c]), 2e-5) << c;
    EXPECT_EQ(srgb.getchannel(1, 0, 0, 3), 1.0f);

    // Out space defaults to the in space: the subject comes back as it went in.
    r = veilcast(quoted(plate) + " -o " + quoted(path("same.exr")) + key);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    OIIO::ImageBuf same = read(path("same.exr"));
    EXPECT_EQ(same.spec().get_string_attribute("oiio:ColorSpace"), "wide_matrix");
    const float in[3] = {0.8f, 0.1f, 0.1f};
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(same.getchannel(1, 0, 0, c), in[c], 4e-7) << c;
}

// With --raw an 8-bit PNG's codes are keyed as stored: keyed against its
// backing's codes, the subject comes back as its codes over 255, and the
// same file read as sRGB keys its subject to the decoded values.
TEST_F(Colour, RawKeysTheCodesAsStored)
{
    OIIO::ImageBuf buf(OIIO::ImageSpec(2, 1, 3, OIIO::TypeDesc::UINT8));
    const float backing[3] = {51 / 255.0f, 153 / 255.0f, 26 / 255.0f};
    const float subject[3] = {204 / 255.0f, 26 / 255.0f, 26 / 255.0f};
    buf.setpixel(0, 0, backing, 3);
    buf.setpixel(1, 0, subject, 3);
    const std::string plate = path("codes.png");
    ASSERT_TRUE(buf.write(plate));
    const double codes[3] = {204, 26, 26};
    for (const bool raw : {true, false}) {
        SCOPED_TRACE(raw ? "raw" : "sRGB");
        const auto stored = [&](int c) { return raw ? backing[c] : std::pow((backing[c] + 0.055) / 1.055, 2.4); };
        const std::string screen = std::to_string(stored(0)) + "," + std::to_string(stored(1)) + "," +
                                   std::to_string(stored(2));
        const Result r = veilcast(quoted(plate) + " -o " + quoted(path("keyed.exr")) +
                                  " -d float --set 'Screen Color=" + screen + "'" + (raw ? " --raw" : ""));
        ASSERT_EQ(r.exitCode, 0) << r.output;
        OIIO::ImageBuf keyed = read(path("keyed.exr"));
        for (int c = 0; c < 3; ++c) {
            const double v = codes[c] / 255;
            EXPECT_NEAR(keyed.getchannel(1, 0, 0, c), raw ? v : std::pow((v + 0.055) / 1.055, 2.4), 2e-5) << c;
        }
        EXPECT_EQ(keyed.getchannel(1, 0, 0, 3), 1.0f);
    }
}

TEST_F(Colour, ListsSpacesAndRefusesUnknownNamesOrMissingConfig)
{
    const std::string config = writeColourConfig(dir);
    const std::string plate = writeMatrixPlate();
    Result r = veilcast("--list-colorspaces --ocio " + quoted(config));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("  linear  (scene_linear"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("  sRGB\n  wide_matrix\n"), std::string::npos) << r.output;
    // $OCIO names the config when --ocio does not.
    r = veilcast("--list-colorspaces", "OCIO=" + quoted(config) + " ");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("wide_matrix"), std::string::npos) << r.output;

    r = veilcast(quoted(plate) + " -o " + quoted(path("k.exr")) + " --ocio " + quoted(config) + " --in-colorspace ACEScg");
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_NE(r.output.find("ACEScg: no such colour space"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("linear, sRGB, wide_matrix"), std::string::npos) << r.output;
    r = veilcast(quoted(plate) + " -o " + quoted(path("k.exr")) + " --raw --ocio " + quoted(config) +
                 " --in-colorspace wide_matrix");
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_NE(r.output.find("does not go with --in-colorspace"), std::string::npos) << r.output;
    r = veilcast(quoted(plate) + " -o " + quoted(path("k.exr")) + " --out-colorspace linear", "env -u OCIO ");
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_NE(r.output.find("need a colour configuration"), std::string::npos) << r.output;
    // The colour configuration is judged before the movie options, in the same words and status.
    r = veilcast(quoted(path("clip.mp4")) + " -o " + quoted(path("k.mov")) + " --in-colorspace sRGB", "env -u OCIO ");
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_NE(r.output.find("need a colour configuration"), std::string::npos) << r.output;
    r = veilcast(quoted(path("clip.mp4")) + " -o " + quoted(path("k.mov")) + " --fps 24 --ocio " +
                 quoted(path("none.ocio")));
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("none.ocio: cannot read the colour configuration"), std::string::npos) << r.output;
    expectOnly({"plate.exr", "test.ocio"});
}

}  // namespace
