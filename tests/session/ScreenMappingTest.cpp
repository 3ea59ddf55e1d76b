// SPDX-License-Identifier: Apache-2.0
// What a session finds on its frames and keeps from one frame to the next:
// clip levels that leave the user's balance where nothing can be read, a
// clean plate's map remade for a frame of another data window, and a map
// given back that keys exactly as the one found.

#include "veilcast/session/KeySession.h"
#include "veilcast/session/ScreenMapping.h"
#include "LoadedPlugin.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

using namespace veilcast;
using namespace DD::Image;
namespace fs = std::filesystem;

std::vector<std::string> pluginDirs()
{
    return {fs::path(VEILCAST_PLUGIN_FILE).parent_path().string()};
}

PlanarImage filled(const Box& box, const Colour& colour)
{
    PlanarImage img(box, box, {Chan_Red, Chan_Green, Chan_Blue});
    for (int y = box.y; y < box.t; ++y)
        for (int c = 0; c < 3; ++c) {
            float* row = img.row(static_cast<Channel>(Chan_Red + c), y);
            for (int x = box.x; x < box.r; ++x)
                row[x] = colour[static_cast<std::size_t>(c)];
        }
    return img;
}

// A green plate lit unevenly with a red block in the middle.
PlanarImage plateOn(const Box& box)
{
    PlanarImage img = filled(box, {0.1f, 0.6f, 0.1f});
    for (int y = box.y; y < box.t; ++y) {
        float* r = img.row(Chan_Red, y);
        float* g = img.row(Chan_Green, y);
        for (int x = box.x; x < box.r; ++x) {
            g[x] = 0.5f + 0.2f * static_cast<float>(x - box.x) / static_cast<float>(box.w());
            if (x - box.x > box.w() / 3 && x - box.x < 2 * box.w() / 3 && y - box.y > box.h() / 4 &&
                y - box.y < 3 * box.h() / 4)
                r[x] = 0.7f, g[x] = 0.1f;
        }
    }
    return img;
}

// --clip auto on a frame with no backing to read levels off keeps the
// user's Screen Balance (and sets the clips to 0 and 1).
TEST(ScreenMapping, ClipsWithNothingToReadKeepTheUsersBalance)
{
    KeyJobOptions options;
    options.settings = {{"Screen Color", "0.1,0.6,0.1", "test"}, {"Screen Balance", "0.8", "test"}};
    options.autoClips = true;
    KeySession session(pluginDirs(), options);
    const PlanarImage grey = filled(Box{0, 0, 96, 64}, {0.3f, 0.3f, 0.3f});
    const KeyFindings found = session.prepareImage(grey, 0, "grey");
    ASSERT_TRUE(found.clips);
    EXPECT_EQ(found.clips->screenBalance, 0.8f);
    EXPECT_EQ(std::get<float>(session.controls().get("ScreenBalanceKnob")), 0.8f);
    EXPECT_EQ(std::get<float>(session.controls().get("ClipWhiteKnob")), 1.0f);
}

// One clean plate serves every frame of its data window; a frame whose
// window differs in any edge, its height alone included, gets a map of its
// own window, not the last one's.
TEST(ScreenMapping, ACleanPlateMapIsRemadeForAnotherWindow)
{
    KeyJobOptions options;
    options.settings = {{"Screen Color", "0.1,0.6,0.1", "test"}};
    options.screenMap = {ScreenMapChoice::Kind::CleanPlate, "clean.exr"};
    KeySession session(pluginDirs(), options);
    const Box first{0, 0, 96, 64};
    const Box others[] = {{0, 0, 96, 80}, {0, 0, 120, 80}, {4, 0, 124, 80}, {4, 2, 124, 82}, {4, 2, 124, 82}};
    const auto prepare = [&](const Box& box) {
        const PlanarImage plate = plateOn(box), clean = filled(box, {0.1f, 0.6f, 0.1f});
        session.prepareImage(plate, 1, "plate", &clean, "clean.exr");
        ASSERT_TRUE(session.screenMap());
        EXPECT_EQ(session.screenMap()->width(), box.w()) << box.x << "," << box.y << "," << box.r << "," << box.t;
        EXPECT_EQ(session.screenMap()->height(), box.h()) << box.x << "," << box.y << "," << box.r << "," << box.t;
    };
    prepare(first);
    for (const Box& box : others)
        prepare(box);
}

}  // namespace
