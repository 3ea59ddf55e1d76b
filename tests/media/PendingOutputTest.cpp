// SPDX-License-Identifier: Apache-2.0
// Outputs reach their place whole or not at all: flushed to disk before the
// move, never moved once the run is interrupted, and always removable by
// the interrupt handler, however many outputs came before.

#include "veilcast/media/ImageWriter.h"
#include "veilcast/media/PendingOutput.h"

#include "veilcast/common/Cancellation.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using namespace veilcast;
using namespace DD::Image;
namespace fs = std::filesystem;

class PendingOutputTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::path(::testing::TempDir()) / ("veilcast-pending-" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::vector<std::string> files() const
    {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path dir;
};

std::string fileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// What the file system held each time a file was flushed.
struct SyncSeen {
    static inline std::string target;
    static inline std::vector<std::string> targetText;  // the target's text then
    static inline std::vector<long> syncedBytes;        // the size of the file flushed
    static int sync(int fd)
    {
        struct stat st {};
        fstat(fd, &st);
        syncedBytes.push_back(static_cast<long>(st.st_size));
        targetText.push_back(fileText(target));
        return fsync(fd);
    }
};

TEST_F(PendingOutputTest, TextFilesAreFlushedThenMovedWhole)
{
    const std::string path = (dir / "a.farm.sh").string();
    writeTextFile(path, "first\n", 0755);
    SyncSeen::target = path;
    const FileSync previous = replaceFileSync(&SyncSeen::sync);
    writeTextFile(path, "second!\n", 0755);
    replaceFileSync(previous);
    // Flushed once, complete, while the old file was still in place.
    EXPECT_EQ(SyncSeen::syncedBytes, std::vector<long>{8});
    EXPECT_EQ(SyncSeen::targetText, std::vector<std::string>{"first\n"});
    EXPECT_EQ(fileText(path), "second!\n");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(files(), std::vector<std::string>{"a.farm.sh"});

    const std::string missing = (dir / "no-such-folder" / "x.settings").string();
    try {
        writeTextFile(missing, "x");
        FAIL() << "wrote into a missing folder";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(missing), std::string::npos) << e.what();
    }
    fs::create_directory(dir / "over");
    EXPECT_THROW(writeTextFile((dir / "over").string(), "x"), std::runtime_error);
    EXPECT_EQ(files(), (std::vector<std::string>{"a.farm.sh", "over"}));
}

// The handler of a second interrupt removes what is pending from fixed
// slots; every committed output must give its slot back.
TEST_F(PendingOutputTest, AnInterruptRemovesThePendingFileAfterManyOutputs)
{
    for (int i = 0; i < 20; ++i)
        writeTextFile((dir / ("s" + std::to_string(i) + ".txt")).string(), "done\n");
    PendingOutput pending((dir / "last.txt").string());
    ASSERT_EQ(write(pending.fd(), "half", 4), 4);
    const fs::path file = pending.path();
    ASSERT_TRUE(fs::exists(file));
    discardPendingOutputsNow();
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(fs::exists(file.parent_path()));
}

// An interrupt that arrives once the last row is written, before the move,
// leaves the previous output in place and nothing beside it.
TEST_F(PendingOutputTest, AnInterruptAfterTheLastRowKeepsThePreviousImage)
{
    const std::string path = (dir / "keyed.png").string();
    { std::ofstream(path) << "previous"; }
    const Box box{0, 0, 16, 8};
    const PlanarImage image(box, box, {Chan_Red, Chan_Green, Chan_Blue}, 0.5f);
    bool interrupted = false;
    WriteOptions options;
    options.progress = [&](double done) { interrupted = done >= 1.0; };
    options.cancelled = [&] { return interrupted; };
    EXPECT_THROW(writeImage(path, image, OIIO::ImageSpec(16, 8, 3, OIIO::TypeDesc::UINT8), "", options), Cancelled);
    EXPECT_TRUE(interrupted);
    EXPECT_EQ(fileText(path), "previous");
    EXPECT_EQ(files(), std::vector<std::string>{"keyed.png"});
}

}  // namespace
