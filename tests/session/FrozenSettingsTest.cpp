// SPDX-License-Identifier: Apache-2.0
#include "veilcast/session/ControlSettings.h"
#include "veilcast/common/UsageError.h"
#include "veilcast/session/FrozenSettings.h"
#include "LoadedPlugin.h"
#include "veilcast/host/OperatorNode.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>

#include "veilcast/media/PendingOutput.h"

namespace {

using namespace veilcast;
namespace fs = std::filesystem;

class FrozenSettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        zavtest::loadedPlugin();
        dir = fs::path(::testing::TempDir()) / ("veilcast-frozen-" + std::to_string(getpid()) + "-" +
                                                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir;
};

bool sameBits(const ControlValue& a, const ControlValue& b)
{
    if (a.index() != b.index())
        return false;
    if (const auto* f = std::get_if<float>(&a))
        return std::memcmp(f, &std::get<float>(b), sizeof(float)) == 0;
    if (const auto* c = std::get_if<std::array<float, 3>>(&a))
        return std::memcmp(c->data(), std::get<std::array<float, 3>>(b).data(), 3 * sizeof(float)) == 0;
    return a == b;
}

TEST_F(FrozenSettingsTest, EveryValueReadsBackToTheSameBits)
{
    const float tiny = std::numeric_limits<float>::denorm_min();
    struct Case {
        std::vector<std::string> sets;
        std::array<float, 3> screen;
    };
    const Case cases[] = {
        {{}, {0.1f, 0.6f, 0.1f}},
        {{"Clip Black=0.05", "Clip White=0.95"}, {1.0f / 3.0f, 2.0f / 3.0f, 0.2f}},
        {{"Screen Gain=1.1", "Screen Balance=0.3"}, {0.048828125f, 0.20812988f, 0.07312012f}},
        {{"Inside Replace=Hard Color", "Inside Replace Color=0.7,0.1,1e-8"}, {tiny, 1e-30f, 123456.79f}},
        {{"Source Alpha=Normal", "Check Alpha=on"}, {std::nextafter(1.0f, 2.0f), std::nextafter(0.5f, 0.0f), 3.4e38f}},
        {{"ClipBlackKnob=-0.0"}, {-0.0f, 0.0f, 7e-45f}},
    };
    for (const Case& c : cases) {
        OperatorNode node("ZAVVeilcast");
        std::vector<Setting> settings;
        for (const std::string& s : c.sets)
            settings.push_back(parseSetting(s, "--set"));
        applySettings(node.controls(), settings);
        node.controls().set("ScreenColorKnob", c.screen);
        const std::string path = (dir / "keyed.farm.settings").string();
        writeTextFile(path, formatFrozenSettings(freezeSettings(node.controls(), "auto", "1001")));

        OperatorNode fresh("ZAVVeilcast");
        applySettings(fresh.controls(), readSettingsFile(path));
        for (const Controls::Control& control : node.controls().all()) {
            if (!control.hasValue())
                continue;
            EXPECT_TRUE(sameBits(control.value(), fresh.controls().get(control.name())))
                << control.label() << " = " << formatControlValue(control, control.value()) << " read back as "
                << formatControlValue(control, fresh.controls().get(control.name()));
        }
        const FrozenSettings back = readFrozenFile(path).settings;
        EXPECT_EQ(back.pick, "auto");
        EXPECT_EQ(back.pickedOn, "1001");
        EXPECT_TRUE(sameKey(back, freezeSettings(node.controls(), "auto", ""), true));
    }
}

TEST_F(FrozenSettingsTest, SameKeyComparesValuesAndPick)
{
    OperatorNode a("ZAVVeilcast"), b("ZAVVeilcast");
    a.controls().set("ScreenColorKnob", std::array<float, 3>{0.1f, 0.5f, 0.1f});
    b.controls().set("ScreenColorKnob", std::array<float, 3>{0.1f, 0.5f, 0.2f});
    struct Case {
        const char* pickA;
        const char* pickB;
        const char* setB;  // applied to b's copy; empty: none
        bool withScreen, same;
    };
    const Case cases[] = {
        {"auto", "auto", "", false, true},
        {"auto", "auto", "", true, false},
        {"auto", "box 1,2,3,4", "", false, false},
        {"box 1,2,3,4", "box 1,2,3,4", "", false, true},
        {"auto", "auto", "Clip Black=0.1", false, false},
        {"none", "none", "Screen Color=0.1,0.5,0.1", true, true},
    };
    for (const Case& c : cases) {
        OperatorNode copy("ZAVVeilcast");
        applySettings(copy.controls(), currentSettings(b.controls()));
        if (*c.setB)
            applySettings(copy.controls(), {parseSetting(c.setB, "--set")});
        EXPECT_EQ(sameKey(freezeSettings(a.controls(), c.pickA, ""), freezeSettings(copy.controls(), c.pickB, "x"),
                          c.withScreen),
                  c.same)
            << c.pickA << " / " << c.pickB << " / " << c.setB << " / " << c.withScreen;
    }
}

TEST_F(FrozenSettingsTest, Sha256OfKnownTexts)
{
    // FIPS 180-2's examples.
    EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

}  // namespace
