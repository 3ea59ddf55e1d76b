#include "ControlSettings.h"
#include "ExitStatus.h"
#include "FrameSequence.h"
#include "LoadedPlugin.h"
#include "OperatorNode.h"
#include "ScreenPicker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

namespace {

using namespace veilcast;
using namespace DD::Image;

std::vector<int> expand(const FrameList& frames)
{
    std::vector<int> all;
    frames.forEach([&](int f) {
        all.push_back(f);
        return true;
    });
    return all;
}

TEST(FrameSequence, PatternsAndRanges)
{
    EXPECT_TRUE(isSequencePattern("plate.####.exr"));
    EXPECT_TRUE(isSequencePattern("plate.%04d.exr"));
    EXPECT_FALSE(isSequencePattern("plate.1001.exr"));
    EXPECT_EQ(framePath("a/plate.####.exr", 7), "a/plate.0007.exr");
    EXPECT_EQ(framePath("plate.%04d.exr", 1001), "plate.1001.exr");
    EXPECT_EQ(framePath("plate.%d.exr", 12), "plate.12.exr");
    EXPECT_EQ(framePath("p.##.exr", 12345), "p.12345.exr");
    EXPECT_EQ(expand(parseFrameRange("1001-1004")), (std::vector<int>{1001, 1002, 1003, 1004}));
    EXPECT_EQ(expand(parseFrameRange("1001-1006x2")), (std::vector<int>{1001, 1003, 1005}));
    EXPECT_EQ(expand(parseFrameRange("5, 1-2")), (std::vector<int>{5, 1, 2}));
    EXPECT_EQ(parseFrameRange("-2147483648-2147483647").size(), 4294967296u);
    EXPECT_EQ(parseFrameRange("1-10x4, 7").describe(), "1-9x4, 7");
    for (const char* bad : {"", "a-b", "10-1", "1-5x0", "1-", "2147483648", "1-2x99999999999"})
        EXPECT_THROW(parseFrameRange(bad), std::invalid_argument) << bad;
}

// Which frames have files: by listing the folder when only the file name is
// numbered, frame by frame when a folder is; both must agree.
TEST(FrameSequence, PresentAndMissingFrames)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(::testing::TempDir()) / ("veilcast-frames-" + std::to_string(getpid()));
    fs::remove_all(dir);
    for (const char* name : {"s/p.0002.exr", "s/p.0004.exr", "s/p.0005.exr", "s/p.06.exr", "s/p.-003.exr",
                             "s/p.-0003.exr", "s/p.0009.exr.tmp", "7/p.0002.exr"}) {
        fs::create_directories((dir / name).parent_path());
        std::ofstream((dir / name).string()) << "x";
    }
    fs::create_directories(dir / "s/p.0008.exr");  // a folder is not a frame
    const FrameCheck listed = checkFrames((dir / "s/p.####.exr").string(), parseFrameRange("-3, 1-10, 4"));
    EXPECT_EQ(expand(listed.present), (std::vector<int>{-3, 2, 4, 5, 4}));
    EXPECT_EQ(listed.missing.describe(), "1, 3, 6-10");
    const FrameCheck stepped = checkFrames((dir / "s/p.####.exr").string(), parseFrameRange("0-10x2"));
    EXPECT_EQ(expand(stepped.present), (std::vector<int>{2, 4}));
    EXPECT_EQ(stepped.missing.describe(), "0, 6-10x2");
    const FrameCheck walked = checkFrames((dir / "#/p.0002.exr").string(), parseFrameRange("6-8"));
    EXPECT_EQ(expand(walked.present), (std::vector<int>{7}));
    EXPECT_EQ(walked.missing.describe(), "6-8x2");
    fs::remove_all(dir);
}

TEST(ControlSettings, ValuesParseByKindNameAndLabel)
{
    zavtest::loadedPlugin();
    OperatorNode node("ZAVVeilcast");
    Controls& c = node.controls();
    applySettings(c, {parseSetting("checkalphaknob=on", "t"), parseSetting("Screen Color = 0.1,0.7,0.2", "t"),
                      parseSetting("screen gain=1.5", "t"), parseSetting("Inside Replace=hard color", "t"),
                      parseSetting("SourceAlphaKnob=2", "t"), parseSetting("Inside Replace Color=0.25", "t")});
    EXPECT_EQ(std::get<bool>(c.get("CheckAlphaKnob")), true);
    EXPECT_EQ(std::get<Colour>(c.get("ScreenColorKnob")), Colour({0.1f, 0.7f, 0.2f}));
    EXPECT_EQ(std::get<float>(c.get("ScreenGainKnob")), 1.5f);
    EXPECT_EQ(std::get<int>(c.get("inMaskReplacementModeKnob")), 2);
    EXPECT_EQ(std::get<int>(c.get("SourceAlphaKnob")), 2);
    EXPECT_EQ(std::get<Colour>(c.get("inMaskReplacementColorKnob")),
              Colour({0.25f, 0.25f, 0.25f}));
    for (const char* off : {"off", "FALSE", "0", "no"}) {
        applySettings(c, {parseSetting(std::string("Check Alpha=") + off, "t")});
        EXPECT_FALSE(std::get<bool>(c.get("CheckAlphaKnob"))) << off;
    }

    const std::pair<const char*, const char*> bad[] = {
        {"Check Alpha", "maybe"}, {"Screen Gain", "1.5x"},  {"Screen Gain", "nan"},
        {"Screen Color", "1,2"},  {"Source Alpha", "3"},    {"Source Alpha", "Sometimes"},
        {"Nope", "1"},
    };
    for (auto [name, value] : bad)
        EXPECT_THROW(applySettings(c, {{name, value, "t"}}), std::invalid_argument) << name << "=" << value;
    EXPECT_THROW(parseSetting("NoEquals", "t"), std::invalid_argument);

    const std::string listing = describeControls(c);
    EXPECT_NE(listing.find("Alpha Clipping (group ScreenMatteGroup)"), std::string::npos);
    EXPECT_NE(listing.find("slider 0..2"), std::string::npos);
    EXPECT_NE(listing.find("3 \"Soft Color\""), std::string::npos);
}

TEST(ControlSettings, SettingsFileSkipsCommentsAndNamesBadLines)
{
    const std::string path = ::testing::TempDir() + "/veilcast-settings.txt";
    std::ofstream(path) << "# a comment\n\nScreen Gain = 1.25  # trailing\nClipBlackKnob=0.1\n";
    const auto settings = readSettingsFile(path);
    ASSERT_EQ(settings.size(), 2u);
    EXPECT_EQ(settings[0].name, "Screen Gain");
    EXPECT_EQ(settings[0].value, "1.25");
    EXPECT_EQ(settings[1].origin, path + ":4");
    std::ofstream(path) << "ok=1\nbroken line\n";
    try {
        readSettingsFile(path);
        FAIL() << "a line without = was accepted";
    } catch (const UsageError& e) {
        EXPECT_NE(std::string(e.what()).find(":2"), std::string::npos) << e.what();
    }
}

}  // namespace
