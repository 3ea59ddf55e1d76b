// SPDX-License-Identifier: Apache-2.0
// What a session finds on its frames and keeps from one frame to the next:
// clip levels that leave the user's balance where nothing can be read, a
// clean plate's map remade for a frame of another data window, and a
// shot's plate gathered from the frames of its own window alone.

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

// A green plate lit unevenly with a red block in the middle, moved `shift` pixels right.
PlanarImage plateOn(const Box& box, int shift = 0)
{
    PlanarImage img = filled(box, {0.1f, 0.6f, 0.1f});
    for (int y = box.y; y < box.t; ++y) {
        float* r = img.row(Chan_Red, y);
        float* g = img.row(Chan_Green, y);
        for (int x = box.x; x < box.r; ++x) {
            g[x] = 0.5f + 0.2f * static_cast<float>(x - box.x) / static_cast<float>(box.w());
            const int at = x - box.x - shift;
            if (at > box.w() / 3 && at < 2 * box.w() / 3 && y - box.y > box.h() / 4 &&
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

// A shot's plate and clips come from the frames of the window most of them
// share: a frame of another size (a slate, a reformat) or placed elsewhere
// in the picture adds nothing, wherever it falls, and keys alone.
TEST(ScreenMapping, AShotsPlateComesFromItsOwnWindowAlone)
{
    KeyJobOptions options;
    options.settings = {{"Screen Color", "0.1,0.6,0.1", "test"}};
    KeySession session(pluginDirs(), options);
    const Box window{0, 0, 96, 64};
    struct Case {
        const char* what;
        std::size_t at;
        Box odd;
    };
    const Case cases[] = {{"a smaller first frame", 0, {0, 0, 48, 32}},
                          {"a larger frame mid-shot", 2, {0, 0, 120, 80}},
                          {"a frame of the same size moved", 3, {8, 0, 104, 64}}};
    std::vector<PlanarImage> frames;
    for (int k = 0; k < 5; ++k)
        frames.push_back(plateOn(window, 6 * k - 12));
    const auto gather = [&](const std::vector<PlanarImage>& shot) {
        return findInShot(shot.size(), [&](std::size_t i) { return samplePlate(shot[i]); }, session.controls(), true);
    };
    const ShotFindings alone = gather(frames);
    ASSERT_TRUE(alone.clips);
    for (const Case& c : cases) {
        std::vector<PlanarImage> shot = frames;
        shot.insert(shot.begin() + static_cast<std::ptrdiff_t>(c.at), plateOn(c.odd));
        const ShotFindings found = gather(shot);
        EXPECT_TRUE(sameWindow(found.window, window)) << c.what;
        EXPECT_EQ(found.plateFor(window), &found.plate) << c.what;
        EXPECT_EQ(found.plateFor(c.odd), nullptr) << c.what;
        EXPECT_EQ(found.plate.frames(), alone.plate.frames()) << c.what;
        ASSERT_TRUE(found.clips) << c.what;
        EXPECT_EQ(found.clips->clipBlack, alone.clips->clipBlack) << c.what;
        EXPECT_EQ(found.clips->clipWhite, alone.clips->clipWhite) << c.what;
        EXPECT_EQ(found.clips->screenBalance, alone.clips->screenBalance) << c.what;
    }
}

}  // namespace
