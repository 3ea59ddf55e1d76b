// SPDX-License-Identifier: Apache-2.0
#include "veilcast/host/PluginLibrary.h"

#include "DDImage/Op.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>

namespace {

namespace fs = std::filesystem;
using veilcast::PluginLibrary;

const fs::path& builtModule()
{
    static const fs::path path = fs::u8path(VEILCAST_PLUGIN_FILE);
    return path;
}

std::string messageOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    ADD_FAILURE() << "no std::runtime_error";
    return {};
}

// A scratch folder with a name outside ASCII, so that paths go through the
// platform's conversions rather than past them.
class PluginLibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        scratch_ = fs::temp_directory_path() / fs::u8path(std::string(u8"veilcast-m\u00f3dulos-") + info->name());
        fs::remove_all(scratch_);
        fs::create_directories(scratch_);
    }
    void TearDown() override { fs::remove_all(scratch_); }

    std::string scratch(const std::string& name) const { return (scratch_ / fs::u8path(name)).u8string(); }

    std::string notAModule(const std::string& dir) const
    {
        fs::create_directories(scratch_ / fs::u8path(dir));
        const fs::path file = scratch_ / fs::u8path(dir) / fs::u8path(PluginLibrary::fileName("ZAVVeilcast"));
        std::ofstream(file) << "not a module\n";
        return file.u8string();
    }

private:
    fs::path scratch_;
};

TEST_F(PluginLibraryTest, FileNameIsTheOneTheBuildGivesTheModule)
{
    EXPECT_EQ(PluginLibrary::fileName("ZAVVeilcast"), builtModule().filename().u8string());
}

TEST_F(PluginLibraryTest, FindTakesTheFirstDirectoryThatHasTheModule)
{
    const std::string moduleDir = builtModule().parent_path().u8string();
    const std::string found = PluginLibrary::find("ZAVVeilcast", {scratch("none"), moduleDir, scratch("decoy")});
    EXPECT_TRUE(fs::equivalent(fs::u8path(found), builtModule())) << found;

    const std::string decoy = notAModule("decoy");
    EXPECT_EQ(PluginLibrary::find("ZAVVeilcast", {scratch("decoy"), moduleDir}), decoy);
    EXPECT_TRUE(fs::exists(fs::u8path(decoy)));
}

TEST_F(PluginLibraryTest, FindNamesTheFileAndEveryDirectoryWhenNoneHasIt)
{
    const std::string message =
        messageOf([&] { PluginLibrary::find("ZAVVeilcast", {scratch("one"), scratch("two")}); });
    EXPECT_NE(message.find(PluginLibrary::fileName("ZAVVeilcast")), std::string::npos) << message;
    EXPECT_NE(message.find(scratch("one") + ", " + scratch("two")), std::string::npos) << message;
    EXPECT_NE(messageOf([] { PluginLibrary::find("ZAVVeilcast", {}); }).find("(no directories)"), std::string::npos);
}

TEST_F(PluginLibraryTest, LoadFailuresNameTheFileAndTheReason)
{
    const std::string missing = scratch("missing") + "/" + PluginLibrary::fileName("ZAVVeilcast");
    const std::string broken = notAModule("broken");
    const std::string missingPrefix = "cannot load plugin " + missing + ": ";
    const std::string brokenPrefix = "cannot load plugin " + broken + ": ";
    const std::string missingMessage = messageOf([&] { PluginLibrary{missing}; });
    const std::string brokenMessage = messageOf([&] { PluginLibrary{broken}; });
    ASSERT_EQ(missingMessage.rfind(missingPrefix, 0), 0u) << missingMessage;
    ASSERT_EQ(brokenMessage.rfind(brokenPrefix, 0), 0u) << brokenMessage;
    // A file that is there but is no module is not reported as missing: the
    // UTF-8 path reached the file.
    const std::string missingReason = missingMessage.substr(missingPrefix.size());
    const std::string brokenReason = brokenMessage.substr(brokenPrefix.size());
    EXPECT_FALSE(missingReason.empty());
    EXPECT_FALSE(brokenReason.empty());
    EXPECT_NE(missingReason, brokenReason);
}

TEST_F(PluginLibraryTest, LoadingTheFoundModuleRegistersItsOperator)
{
    const PluginLibrary library(PluginLibrary::find("ZAVVeilcast", {builtModule().parent_path().u8string()}));
    const DD::Image::Op::Description* d = DD::Image::Op::Description::find("ZAVVeilcast");
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->name, "ZAVVeilcast");
    EXPECT_NE(d->constructor, nullptr);
}

}  // namespace
