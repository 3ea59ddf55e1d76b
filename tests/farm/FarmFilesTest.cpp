// SPDX-License-Identifier: Apache-2.0
#include "veilcast/farm/FarmFiles.h"
#include "veilcast/media/FrameSequence.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

using namespace veilcast;
using namespace veilcast::farm;
namespace fs = std::filesystem;

TEST(FarmFiles, FilesAreNamedAfterTheSequence)
{
    struct Case {
        const char* output;
        const char* settings;
        const char* log;
    };
    const Case cases[] = {
        {"/s/out/keyed.####.exr", "/s/out/keyed.####.exr.farm.settings", "/s/out/keyed.####.exr.farm.%A_%a.log"},
        {"/s/out/keyed_%04d.exr", "/s/out/keyed_####.exr.farm.settings", "/s/out/keyed_####.exr.farm.%A_%a.log"},
        {"/s/out/####.exr", "/s/out/####.exr.farm.settings", "/s/out/####.exr.farm.%A_%a.log"},
        {"/s/take\\#2/v\\#3.@@@.png", "/s/take#2/v~233.###.png.farm.settings",
         "/s/take#2/v~233.###.png.farm.%A_%a.log"},
        // sbatch reads "%%" as '%'.
        {"/s/50%%u/50%%off v1.%d%d.exr", "/s/50%u/50~25off~20v1.#~#.exr.farm.settings",
         "/s/50%%u/50~25off~20v1.#~#.exr.farm.%A_%a.log"},
        // A '\\' anywhere makes sbatch take the whole name literally, dropping it: no pattern names the file.
        {"/s/a\\b/it's~.#.exr", "/s/a\\b/it~27s~7e.#.exr.farm.settings", ""},
    };
    for (const Case& c : cases) {
        const FarmFiles f = farmFilesFor(c.output);
        EXPECT_EQ(f.settings, c.settings) << c.output;
        EXPECT_EQ(f.log, c.log) << c.output;
        EXPECT_EQ(f.folder, fs::path(c.settings).parent_path().string()) << c.output;
    }
}

// Two output patterns share farm files exactly when they write the same
// files: judged here by the files themselves, framePath's names for a few
// frames, not by how the farm names are made.
TEST(FarmFiles, EachSequenceHasItsOwnFarmFiles)
{
    const char* patterns[] = {
        "keyed.####.exr", "keyed.####.png", "keyed.@@@@.exr", "keyed.%04d.exr", "keyed.%4d.exr", "keyed.###.exr",
        "keyed.#.exr", "keyed.%d.exr", "keyed.%01d.exr", "keyed_v1_####", "keyed_v1-.####", "keyed_v1.####",
        "keyed_v1####", "50%%off.####.exr", "50%%on.####.exr", "50%off.####.exr", "50\\%off.####.exr",
        "##@@.exr", "####.exr", "#~#.exr", "#~7e#.exr", "\\#.#.exr", "~23.#.exr", "a b.#.exr", "a~20b.#.exr",
        "a\\b.#.exr", "a\\\\b.#.exr", "k\xc3\xa9.#.exr", "k\xc3.#.exr", "K.#.exr", "k.#.exr", "k.#.exr.farm.sh",
        "k.%%04d.#.exr", "k.\\%04d.#.exr", "k.%04x.#.exr", "k.################################################.exr",
        "k.################################.exr", "k.###############################.exr",
    };
    const int frames[] = {-12, 0, 7, 123456};
    const auto sameFiles = [&](const std::string& a, const std::string& b) {
        for (const int f : frames)
            if (framePath(a, f) != framePath(b, f))
                return false;
        return true;
    };
    for (const char* a : patterns)
        for (const char* b : patterns)
            EXPECT_EQ(farmFilesFor(std::string("/o/") + a).settings == farmFilesFor(std::string("/o/") + b).settings,
                      sameFiles(a, b))
                << a << " / " << b << ": " << farmName(a) << " / " << farmName(b);
    for (const char* a : patterns) {
        const std::string name = farmName(a);
        EXPECT_EQ(name.find_first_of("%\\'\" /$`\n"), std::string::npos) << a << " -> " << name;
    }
}

}  // namespace
