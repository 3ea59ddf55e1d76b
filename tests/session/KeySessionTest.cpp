// SPDX-License-Identifier: Apache-2.0
// A long sequence keyed in one process must not pile up open files or memory.

#include "veilcast/session/KeySession.h"
#include "LoadedPlugin.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

using namespace veilcast;
namespace fs = std::filesystem;

long openDescriptors()
{
    long n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

long residentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key)
        if (key == "VmRSS:" && status >> value)
            return value;
    return -1;
}

TEST(KeySession, LongSequenceKeepsDescriptorsAndMemoryLevel)
{
    const fs::path dir = fs::path(::testing::TempDir()) / ("veilcast-resources-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    OIIO::ImageSpec spec(96, 64, 4, OIIO::TypeDesc::HALF);
    spec.attribute("compression", "zip");
    OIIO::ImageBuf plate(spec);
    const float green[4] = {0.1f, 0.6f, 0.1f, 1.0f};
    OIIO::ImageBufAlgo::fill(plate, green);
    const std::string input = (dir / "plate.exr").string();
    ASSERT_TRUE(plate.write(input));

    KeyJobOptions options;
    options.settings = {{"Screen Color", "0.1,0.6,0.1", "test"}};
    KeySession keyer({fs::path(VEILCAST_PLUGIN_FILE).parent_path().string()}, options);
    NoProgress quiet;
    long descriptorsAt5 = 0, memoryAt5 = 0;
    for (int frame = 1; frame <= 200; ++frame) {
        keyer.keyFile(input, (dir / ("k." + std::to_string(frame) + ".exr")).string(), quiet, frame - 1, 200);
        if (frame == 5)
            descriptorsAt5 = openDescriptors(), memoryAt5 = residentKiB();
    }
    EXPECT_LE(openDescriptors(), descriptorsAt5 + 2);
#ifdef __SANITIZE_ADDRESS__  // AddressSanitizer holds freed memory back on purpose
    (void)memoryAt5;
#else
    EXPECT_LE(residentKiB(), memoryAt5 + 8 * 1024) << "resident memory grew by more than 8 MiB over 195 frames";
#endif
    fs::remove_all(dir);
}

// Every spelling of a file not yet written is the same file, so that an
// output named otherwise cannot replace its own input.
TEST(KeySession, SamePathSeesEverySpellingOfANewFile)
{
    const std::string name = "veilcast-not-yet-" + std::to_string(getpid()) + ".exr";
    const std::string cwd = fs::current_path().string();
    const struct {
        std::string a, b;
        bool same;
    } cases[] = {
        {name, "./" + name, true},
        {name, cwd + "/" + name, true},
        {"./" + name, cwd + "/./" + name, true},
        {name, "other-" + name, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(samePath(c.a, c.b), c.same) << c.a << " vs " << c.b;
}

}  // namespace
