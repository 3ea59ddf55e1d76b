// SPDX-License-Identifier: Apache-2.0
// A small OpenColorIO configuration written here: scene-linear, an sRGB
// space and a space one 3x3 matrix away; conversions checked against values
// worked out by hand.

#include "ColourConfigFile.h"
#include "veilcast/common/UsageError.h"
#include "veilcast/media/ColourSpaces.h"
#include "veilcast/media/ImageReader.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imageio.h>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>

namespace veilcast {
namespace {

using namespace DD::Image;
namespace fs = std::filesystem;

class ColourSpacesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::path(::testing::TempDir()) / ("veilcast-colour-" + std::to_string(getpid()));
        fs::create_directories(dir);
        config = writeColourConfig(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir;
    std::string config;
};

TEST_F(ColourSpacesTest, KnownPixelsReachSceneLinearAsWorkedOutByHand)
{
    const ColourSpaces spaces(config, "", "");
    EXPECT_EQ(spaces.sceneLinear(), "linear");
    EXPECT_EQ(spaces.names(), (std::vector<std::string>{"linear", "sRGB", "wide_matrix"}));

    struct Case {
        const char* space;
        float in[3];
        double linear[3];
        double tolerance;
    } cases[] = {
        // The matrix's rows: 0.5 0.25 0.25 / 0.1 0.8 0.1 / 0 0 1.
        {"wide_matrix", {0.2f, 0.4f, 0.1f}, {0.225, 0.35, 0.1}, 1e-7},
        {"wide_matrix", {0.8f, 0.1f, 0.1f}, {0.45, 0.17, 0.1}, 1e-7},
        // ((v + 0.055) / 1.055)^2.4 above the toe, v / 12.92 on it.
        {"sRGB", {0.5f, 0.02f, 1.0f}, {0.21404114048223255, 0.02 / 12.92, 1.0}, 2e-5},
        {"linear", {0.3f, -0.5f, 7.0f}, {0.3, -0.5, 7.0}, 0},
    };
    for (const Case& c : cases) {
        const Box box{0, 0, 1, 1};
        PlanarImage image(box, box, {Chan_Red, Chan_Green, Chan_Blue});
        for (int k = 0; k < 3; ++k)
            image.row(static_cast<Channel>(k + 1), 0)[0] = c.in[k];
        if (auto p = spaces.processor(c.space, spaces.sceneLinear(), "test"))
            ColourSpaces::apply(*p, image, 0, 1);
        for (int k = 0; k < 3; ++k)
            EXPECT_NEAR(image.row(static_cast<Channel>(k + 1), 0)[0], c.linear[k],
                        c.tolerance * std::max(1.0, std::fabs(c.linear[k])) + 1e-7)
                << c.space << " channel " << k;
    }
}

TEST_F(ColourSpacesTest, RoundTripThroughSceneLinearIsLosslessWithinFloatPrecision)
{
    const ColourSpaces spaces(config, "", "");
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    const Box box{0, 0, 61, 7};
    for (const char* space : {"wide_matrix", "sRGB"}) {
        PlanarImage image(box, box, {Chan_Red, Chan_Green, Chan_Blue});
        for (int y = 0; y < 7; ++y)
            for (int k = 1; k <= 3; ++k)
                for (int x = 0; x < 61; ++x)
                    image.row(static_cast<Channel>(k), y)[x] = u(rng);
        const PlanarImage original = image;
        ColourSpaces::apply(*spaces.processor(space, "linear", "test"), image, 0, 7);
        ColourSpaces::apply(*spaces.processor("linear", space, "test"), image, 0, 7);
        for (int y = 0; y < 7; ++y)
            for (int k = 1; k <= 3; ++k)
                for (int x = 0; x < 61; ++x) {
                    const float a = original.row(static_cast<Channel>(k), y)[x];
                    // The matrix and its inverse in float; the curve through OCIO's own evaluation.
                    const float tolerance = std::string(space) == "wide_matrix" ? 4e-7f : 1e-5f;
                    ASSERT_NEAR(image.row(static_cast<Channel>(k), y)[x], a, tolerance * std::max(1.0f, a)) << space;
                }
    }
}

TEST_F(ColourSpacesTest, FilesTaggedWithASpaceOfTheConfigAreReadFromIt)
{
    // The image library tags an 8-bit PNG "sRGB", a space of the config.
    const std::string file = (dir / "tagged.png").string();
    OIIO::ImageBuf buf(OIIO::ImageSpec(1, 1, 3, OIIO::TypeDesc::UINT8));
    const float px[3] = {128 / 255.0f, 0.0f, 1.0f};
    buf.setpixel(0, 0, px, 3);
    ASSERT_TRUE(buf.write(file));
    ReadOptions read;
    read.colour = std::make_shared<const ColourSpaces>(config, "", "");
    const SourceImage source = readSourceImage(file, read);
    EXPECT_EQ(read.colour->inputSpace(source.spec), "sRGB");
    EXPECT_NEAR(source.pixels.row(Chan_Red, 0)[0], std::pow((128 / 255.0 + 0.055) / 1.055, 2.4), 2e-5);
    EXPECT_EQ(source.pixels.row(Chan_Green, 0)[0], 0.0f);
    EXPECT_NEAR(source.pixels.row(Chan_Blue, 0)[0], 1.0, 2e-5);
    // Asked for, a space overrides the tag.
    read.colour = std::make_shared<const ColourSpaces>(config, "linear", "");
    EXPECT_NEAR(readSourceImage(file, read).pixels.row(Chan_Red, 0)[0], 128 / 255.0, 1e-7);
}

TEST_F(ColourSpacesTest, UnknownNamesAndBrokenConfigsAreRefusedNamingThem)
{
    try {
        ColourSpaces(config, "ACEScg", "");
        FAIL() << "an unknown space was accepted";
    } catch (const UsageError& e) {
        EXPECT_EQ(e.wording().choice, UserChoice::InColourSpace);
        EXPECT_EQ(e.wording().with("IN").find("IN ACEScg: no such colour space"), 0u) << e.what();
        EXPECT_NE(std::string(e.what()).find("linear, sRGB, wide_matrix"), std::string::npos) << e.what();
    }
    EXPECT_THROW(ColourSpaces(config, "", "rec709"), UsageError);
    const std::string missing = (dir / "missing.ocio").string();
    try {
        ColourSpaces(missing, "", "");
        FAIL() << "a missing config was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(missing), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace veilcast
