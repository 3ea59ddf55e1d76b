// SPDX-License-Identifier: Apache-2.0
#include "veilcast/session/KeyRequest.h"
#include "veilcast/common/UsageError.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

namespace {

using namespace veilcast;

// A front end of the test's own, whose words no library message could hold
// by chance: each choice in angle brackets.
std::string_view bracketed(UserChoice choice)
{
    switch (choice) {
    case UserChoice::None: return "";
    case UserChoice::FrameRate: return "<rate>";
    case UserChoice::Codec: return "<codec>";
    case UserChoice::Clip: return "<clip>";
    case UserChoice::Set: return "<set>";
    case UserChoice::FrozenSettings: return "<frozen>";
    case UserChoice::SettingsSha256: return "<sha>";
    case UserChoice::Settings: return "<file>";
    case UserChoice::PickScreen: return "<pick>";
    case UserChoice::InColourSpace: return "<in>";
    case UserChoice::OutColourSpace: return "<out>";
    case UserChoice::ColourConfig: return "<config>";
    case UserChoice::Threads: return "<threads>";
    default: return "<?>";
    }
}

// Every refusal names the choices in the caller's words, whether the
// request's check words it or a check below it names the choice.
TEST(KeyRequest, RefusalsNameChoicesInTheFrontEndsWords)
{
    unsetenv("OCIO");
    const std::pair<std::function<void(KeyRequest&)>, std::string> cases[] = {
        {[](KeyRequest& r) { r.codec = "ffv1"; },
         "<codec> is for a movie output (.mov, .mkv, .webm), and keyed.exr is not one"},
        {[](KeyRequest& r) { r.clip = "yes"; },
         "<clip> takes \"auto\", not \"yes\"; clip levels of your own are <set> \"Clip Black=V\" <set> \"Clip White=V\""},
        {[](KeyRequest& r) { r.frozenSettings = "job.farm.settings"; },
         "<frozen> and <sha> go together (the farm's job script gives both)"},
        {[](KeyRequest& r) {
             r.frozenSettings = "job.farm.settings";
             r.settingsSha256 = std::string(64, 'a');
             r.pick = "auto";
         },
         "<frozen> holds every value and the screen colour; it does not go with <file>, <set> or <pick>"},
        {[](KeyRequest& r) {
             r.frozenSettings = "job.farm.settings";
             r.settingsSha256 = "ABC";
         },
         "<sha> takes 64 lowercase hex digits, not \"ABC\""},
        {[](KeyRequest& r) { r.outColourSpace = "sRGB"; },
         "<in> and <out> need a colour configuration: <config> or $OCIO"},
        {[](KeyRequest& r) { r.pick = "1,2,3"; }, "<pick> takes X0,Y0,X1,Y1 in pixels or \"auto\", not \"1,2,3\""},
        {[](KeyRequest& r) { r.threads = 5000; }, "<threads> takes a count of threads from 0 (every core) to 1024, not 5000"},
        {[](KeyRequest& r) { r.sets = {"Clip Black"}; }, "<set>: \"Clip Black\" is not NAME=VALUE"},
    };
    for (const auto& [ask, told] : cases) {
        KeyRequest request;
        request.input = "plate.exr";
        request.output = "keyed.exr";
        ask(request);
        try {
            checkRequest(request, bracketed);
            ADD_FAILURE() << "accepted; expected: " << told;
        } catch (const UsageError& e) {
            EXPECT_EQ(e.wording().with(bracketed(e.wording().choice)), told);
        }
    }
}

// The words a front end writes back (into a command, a frozen file) give the same choice.
TEST(KeyRequest, ScreenMapWordsGoThereAndBack)
{
    using Kind = ScreenMapChoice::Kind;
    const std::pair<ScreenMapChoice, std::string> cases[] = {
        {{Kind::None, ""}, ""},
        {{Kind::Auto, ""}, "auto"},
        {{Kind::CleanPlate, "clean.####.exr"}, "clean.####.exr"},
        {{Kind::CleanPlate, "auto"}, "./auto"},  // a file of that name, not the word
    };
    for (const auto& [choice, words] : cases) {
        EXPECT_EQ(screenMapWords(choice), words);
        const ScreenMapChoice back = screenMapFromWords(words);
        EXPECT_EQ(back.kind, choice.kind) << words;
        EXPECT_EQ(screenMapWords(back), words);
    }
    for (const std::string words : {"", "auto", "4,5,60,70", "-2,0,7,9"})
        EXPECT_EQ(pickWords(pickFromWords(words)), words);
    EXPECT_EQ(pickFromWords("auto").kind, ScreenPick::Kind::Auto);
    EXPECT_EQ(pickFromWords("").kind, ScreenPick::Kind::None);
    EXPECT_EQ(pickFromWords("4, 5,60,70").box, (std::array<int, 4>{4, 5, 60, 70}));
}

}  // namespace
