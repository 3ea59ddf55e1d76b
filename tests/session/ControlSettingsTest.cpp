// SPDX-License-Identifier: Apache-2.0
#include "veilcast/session/ControlSettings.h"
#include "LoadedPlugin.h"
#include "veilcast/host/OperatorNode.h"
#include "veilcast/common/UsageError.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using namespace veilcast;
using namespace DD::Image;
using Colour = std::array<float, 3>;

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
        {"Nope", "1"},           {"Screen", "0,1,0"},     {"ScreenColor", "0,1,0"},  // names are whole, never prefixes
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
    // At most 1 MiB, that size included: a settings line padded with a comment to exactly the limit.
    const std::string line = "Screen Gain=1.5 #";
    std::ofstream(path, std::ios::trunc) << line << std::string((1 << 20) - line.size() - 1, 'x') << "\n";
    EXPECT_EQ(readSettingsFile(path).at(0).value, "1.5");
    std::ofstream(path, std::ios::app) << "\n";
    EXPECT_THROW(readSettingsFile(path), UsageError);
}

}  // namespace
