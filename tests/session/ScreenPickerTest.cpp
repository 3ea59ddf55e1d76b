// SPDX-License-Identifier: Apache-2.0
// The automatic pick is measured by what matters to a user: the key it gives
// against the true matte of synthetic plates, next to the best box a careful
// user could have dragged over clean backing.

#include "veilcast/core/ScreenKeyer.h"
#include "veilcast/session/ScreenPicker.h"

#include <OpenImageIO/imagebuf.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace veilcast;
using namespace DD::Image;
namespace fs = std::filesystem;

const fs::path kSamples = VEILCAST_SAMPLES_DIR;
const fs::path kPlateScript = kSamples / "make_synthetic_plate.py";
constexpr double kAllowedRatio = 1.1;
constexpr int kBoxSize = 32;

std::size_t at(int x, int y, int w)
{
    return static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x);
}

Channel rgb(int c)
{
    return static_cast<Channel>(Chan_Red + c);
}

PlanarImage solidImage(int w, int h)
{
    const Box box{0, 0, w, h};
    return PlanarImage(box, box, {Chan_Red, Chan_Green, Chan_Blue});
}

void setPixel(PlanarImage& img, int x, int y, const Colour& c)
{
    for (int i = 0; i < 3; ++i)
        img.row(rgb(i), y)[x] = c[static_cast<std::size_t>(i)];
}

std::vector<float> readChannels(const fs::path& file, const std::vector<std::string>& names, int& w, int& h)
{
    OIIO::ImageBuf buf(file.string());
    EXPECT_TRUE(buf.read(0, 0, true, OIIO::TypeDesc::FLOAT)) << file << ": " << buf.geterror();
    const OIIO::ImageSpec& spec = buf.spec();
    w = spec.width;
    h = spec.height;
    const auto channels = static_cast<std::size_t>(spec.nchannels);
    std::vector<float> all(at(0, h, w) * channels);
    EXPECT_TRUE(buf.get_pixels(buf.roi(), OIIO::TypeDesc::FLOAT, all.data()));
    std::vector<float> out;
    out.reserve(at(0, h, w) * names.size());
    for (std::size_t pixel = 0; pixel < at(0, h, w); ++pixel)
        for (const std::string& name : names) {
            const int c = spec.channelindex(name);
            EXPECT_GE(c, 0) << file << " has no channel " << name;
            out.push_back(c >= 0 ? all[pixel * channels + static_cast<std::size_t>(c)] : 0.0f);
        }
    return out;
}

struct Plate {
    PlanarImage pixels;
    std::vector<float> truth;  // row after row
    int w = 0, h = 0;
    float truthAt(int x, int y) const { return truth[at(x, y, w)]; }
};

Plate readPlate(const fs::path& plateFile, const fs::path& truthFile)
{
    Plate plate;
    const std::vector<float> rgbValues = readChannels(plateFile, {"R", "G", "B"}, plate.w, plate.h);
    int tw = 0, th = 0;
    plate.truth = readChannels(truthFile, {"A"}, tw, th);
    if (tw != plate.w || th != plate.h)
        throw std::runtime_error(truthFile.string() + " is not the size of " + plateFile.string());
    plate.pixels = solidImage(plate.w, plate.h);
    for (int y = 0; y < plate.h; ++y)
        for (int x = 0; x < plate.w; ++x)
            for (int c = 0; c < 3; ++c)
                plate.pixels.row(rgb(c), y)[x] = rgbValues[at(x, y, plate.w) * 3 + static_cast<std::size_t>(c)];
    return plate;
}

Colour boxColour(const Plate& plate, int x0, int y0)
{
    return pickScreenInBox(plate.pixels, x0, y0, x0 + kBoxSize - 1, y0 + kBoxSize - 1);
}

// The mean distance of the keyer's alpha, with this screen colour and every
// other setting at its default, from the true matte, over every `rowStep`-th row.
double meanAlphaError(const Plate& plate, const Colour& screen, int rowStep = 1)
{
    zav::KeyParams params;
    for (int c = 0; c < 3; ++c)
        params.screenColor[c] = screen[static_cast<std::size_t>(c)];
    std::vector<float> out[4];
    for (auto& o : out)
        o.resize(static_cast<std::size_t>(plate.w));
    double sum = 0;
    long count = 0;
    for (int y = 0; y < plate.h; y += rowStep) {
        zav::keyRow(params, 0, plate.w, plate.pixels.row(Chan_Red, y), plate.pixels.row(Chan_Green, y),
                    plate.pixels.row(Chan_Blue, y), nullptr, out[0].data(), out[1].data(), out[2].data(),
                    out[3].data(), [] { return false; });
        for (int x = 0; x < plate.w; ++x)
            sum += std::fabs(static_cast<double>(out[3][static_cast<std::size_t>(x)]) - plate.truthAt(x, y));
        count += plate.w;
    }
    return sum / static_cast<double>(count);
}

struct BoxPick {
    double error = INFINITY;
    int x = -1, y = -1;
    int candidates = 0;
};

// Every kBoxSize square on a grid of half-box steps that holds only clean backing
// (true alpha 0 throughout) is a box a user might drag; the best of them sets
// the bar. To keep the search quick the boxes are ranked on every sixteenth row,
// and the few best are measured on the whole frame.
BoxPick bestCleanBox(const Plate& plate)
{
    struct Candidate {
        double roughError;
        int x, y;
    };
    std::vector<Candidate> candidates;
    for (int y0 = 0; y0 + kBoxSize <= plate.h; y0 += kBoxSize / 2)
        for (int x0 = 0; x0 + kBoxSize <= plate.w; x0 += kBoxSize / 2) {
            bool clean = true;
            for (int y = y0; clean && y < y0 + kBoxSize; ++y)
                for (int x = x0; clean && x < x0 + kBoxSize; ++x)
                    clean = plate.truthAt(x, y) == 0.0f;
            if (clean)
                candidates.push_back({meanAlphaError(plate, boxColour(plate, x0, y0), 16), x0, y0});
        }
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b) { return a.roughError < b.roughError; });
    BoxPick best;
    best.candidates = static_cast<int>(candidates.size());
    for (std::size_t i = 0; i < std::min<std::size_t>(candidates.size(), 8); ++i) {
        const double error = meanAlphaError(plate, boxColour(plate, candidates[i].x, candidates[i].y));
        if (error < best.error) {
            best.error = error;
            best.x = candidates[i].x;
            best.y = candidates[i].y;
        }
    }
    return best;
}

void expectAutoAsGoodAsBestBox(const Plate& plate, const std::string& name)
{
    const Colour picked = pickScreenAuto(plate.pixels);
    const double automatic = meanAlphaError(plate, picked);
    const BoxPick box = bestCleanBox(plate);
    ASSERT_GE(box.candidates, 10) << name << ": too few clean boxes to set a bar";
    EXPECT_LE(automatic, kAllowedRatio * box.error)
        << name << ": automatic pick " << picked[0] << "," << picked[1] << "," << picked[2] << " errs " << automatic
        << ", the best of " << box.candidates << " clean boxes (at " << box.x << "," << box.y << ") " << box.error;
    std::printf("%s: automatic %.4f, best box %.4f (ratio %.3f)\n", name.c_str(), automatic, box.error,
                automatic / box.error);
}

class SyntheticPlates : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!fs::exists(kSamples / "synthetic") || !fs::exists(kPlateScript))
            GTEST_SKIP() << "no sample plates at " << kSamples;
    }

    static void expectBothScreens(const fs::path& folder, const std::string& name)
    {
        for (const char* screen : {"green", "blue"}) {
            const Plate plate = readPlate(folder / ("synth_" + std::string(screen) + "screen_plate.exr"),
                                          folder / "synth_truth_alpha.exr");
            expectAutoAsGoodAsBestBox(plate, name + " " + screen);
        }
    }
};

TEST_F(SyntheticPlates, AutomaticPickKeysAsWellAsTheBestBoxOnTheSharedPlates)
{
    expectBothScreens(kSamples / "synthetic", "shared");
}

TEST_F(SyntheticPlates, AutomaticPickKeysAsWellAsTheBestBoxOnOtherSeedsAndSizes)
{
    const fs::path dir = fs::path(::testing::TempDir()) / ("veilcast-plates-" + std::to_string(getpid()));
    fs::remove_all(dir);
    struct Generated {
        const char* seed;
        const char* width;
        const char* height;
    };
    for (const Generated& p : {Generated{"7", "320", "180"}, Generated{"4242", "424", "240"}}) {
        const fs::path folder = dir / p.seed;
        const std::string command = "/usr/bin/python3 '" + kPlateScript.string() + "' --no-png --outdir '" +
                                    folder.string() + "' --seed " + p.seed + " --width " + p.width + " --height " +
                                    p.height + " > /dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0)
            << command << " failed (it needs python3-numpy and python3-openimageio)";
        expectBothScreens(folder, std::string("seed ") + p.seed + ", " + p.width + "x" + p.height);
    }
    fs::remove_all(dir);
}

// Frames too large to read whole are read on a grid. A crop small enough to
// be read whole, blown up by repeating each pixel five times each way, keeps
// its statistics, so the grid, which does not line up with the repeats, must
// find the same colour.
TEST_F(SyntheticPlates, LargeFramesAreSampledWithoutLosingTheColour)
{
    const Plate plate = readPlate(kSamples / "synthetic" / "synth_greenscreen_plate.exr",
                                  kSamples / "synthetic" / "synth_truth_alpha.exr");
    const int w = 300, h = plate.h, repeat = 5;
    ASSERT_LE(w * h, 1 << 18);
    PlanarImage crop = solidImage(w, h), large = solidImage(w * repeat, h * repeat);
    for (int y = 0; y < h * repeat; ++y)
        for (int x = 0; x < w * repeat; ++x)
            for (int c = 0; c < 3; ++c) {
                const float v = plate.pixels.row(rgb(c), y / repeat)[x / repeat];
                large.row(rgb(c), y)[x] = v;
                if (x % repeat == 0 && y % repeat == 0)
                    crop.row(rgb(c), y / repeat)[x / repeat] = v;
            }
    const Colour whole = pickScreenAuto(crop), sampled = pickScreenAuto(large);
    for (std::size_t c = 0; c < 3; ++c)
        EXPECT_NEAR(sampled[c], whole[c], 0.01f * whole[1]) << c;
}

TEST(ScreenPicker, BoxAverageAndParsing)
{
    PlanarImage img = solidImage(40, 30);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x)
            setPixel(img, x, y, x < 10 && y < 6 ? Colour{0.1f, 0.4f, 0.2f} : Colour{0.7f, 0.1f, 0.1f});
    img.row(Chan_Green, 0)[0] = std::nanf("");  // a bad pixel is skipped
    const Colour picked = pickScreenInBox(img, 9, 5, 0, 0);
    EXPECT_FLOAT_EQ(picked[0], 0.1f);
    EXPECT_FLOAT_EQ(picked[1], 0.4f);
    EXPECT_THROW(pickScreenInBox(img, 100, 100, 120, 120), std::invalid_argument);
    EXPECT_EQ(parsePickBox("1, 2,3,4"), (std::array<int, 4>{1, 2, 3, 4}));
    EXPECT_THROW(parsePickBox("1,2,3"), std::invalid_argument);
}

// A screen lit from 0.9 to 1.1 times its colour, with a subject on a quarter
// of the frame: the keyer clears only backing at least as strong as the
// screen colour, so the pick sits at the dim end of the lighting, keeping the
// screen's hue.
PlanarImage unevenScreen(const Colour& screen)
{
    PlanarImage img = solidImage(80, 60);
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> light(0.9f, 1.1f);
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 80; ++x) {
            const float l = light(rng);
            const Colour lit{screen[0] * l, screen[1] * l, screen[2] * l};
            setPixel(img, x, y, x >= 40 && y >= 30 ? Colour{0.6f, 0.5f, 0.4f} : lit);
        }
    return img;
}

TEST(ScreenPicker, AutomaticPickTakesTheDimEndOfAnUnevenScreen)
{
    for (const Colour screen : {Colour{0.05f, 0.4f, 0.1f}, Colour{0.03f, 0.08f, 0.31f}}) {
        PlanarImage img = unevenScreen(screen);
        img.row(Chan_Blue, 3)[3] = INFINITY;  // a bad pixel is skipped
        const Colour picked = pickScreenAuto(img);
        for (std::size_t c = 0; c < 3; ++c)
            EXPECT_NEAR(picked[c], 0.9f * screen[c], 0.01f * screen[c]) << c;
    }
}

void expectRefused(const PlanarImage& img, const std::string& why)
{
    try {
        const Colour c = pickScreenAuto(img);
        ADD_FAILURE() << "picked " << c[0] << "," << c[1] << "," << c[2] << " instead of refusing (" << why << ")";
    } catch (const std::invalid_argument& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find(why), std::string::npos) << message;
        // The fact alone; that a box would do is advice each front end words its own way.
        EXPECT_EQ(wordingOf(e).choice, UserChoice::PickBox) << message;
        EXPECT_EQ(message.find("--"), std::string::npos) << message;
    }
}

TEST(ScreenPicker, RefusesWhatIsNotAPlausibleBacking)
{
    std::mt19937 rng(5);
    std::normal_distribution<float> noise(0.0f, 0.01f);
    PlanarImage grey = solidImage(64, 48), red = solidImage(64, 48), highlights = solidImage(64, 48),
                speck = solidImage(64, 48);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) {
            setPixel(grey, x, y, {0.4f + noise(rng), 0.4f + noise(rng), 0.4f + noise(rng)});
            setPixel(red, x, y, {0.6f + noise(rng), 0.1f + noise(rng), 0.1f + noise(rng)});
            const bool subject = x < 12;
            const Colour glare{2.3f + noise(rng), 2.6f + noise(rng), 2.2f + noise(rng)};
            setPixel(highlights, x, y, subject ? Colour{0.2f, 0.15f, 0.1f} : glare);
            setPixel(speck, x, y, x == 5 && y == 5 ? Colour{0.05f, 0.4f, 0.1f} : Colour{0.5f, 0.3f, 0.2f});
        }
    expectRefused(grey, "is not clearly");
    expectRefused(red, "no pixel has green or blue above its other channels");
    expectRefused(highlights, "brighter than 1");
    expectRefused(speck, "too few");

    PlanarImage extreme = solidImage(8, 8);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            setPixel(extreme, x, y, {-3e38f, x < 4 ? 1e-37f : 3e38f, -3e38f});
    expectRefused(extreme, "usable");
}

}  // namespace
