// SPDX-License-Identifier: Apache-2.0
#include "veilcast/farm/Chunking.h"
#include "veilcast/farm/FarmFiles.h"
#include "veilcast/farm/JobScript.h"
#include "veilcast/media/PendingOutput.h"

#include "LoadedPlugin.h"
#include "veilcast/host/OperatorNode.h"

#include <OpenImageIO/imagebuf.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <tuple>

namespace {

using namespace veilcast::farm;
using veilcast::shellQuote;
using veilcast::writeTextFile;
namespace fs = std::filesystem;

std::string echoedByShell(const std::string& word)
{
    FILE* pipe = popen(("printf %s " + shellQuote(word)).c_str(), "r");
    std::string out;
    char buffer[256];
    while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe))
        out.append(buffer, n);
    pclose(pipe);
    return out;
}

TEST(JobScript, ShellQuotingSurvivesTheShell)
{
    for (const char* word : {"plain/path.exr", "/a b/c.####.exr", "it's", "$HOME", "`id`", "a\"b", "x;y&z|w",
                             "tab\there", "new\nline", "*", "~", "#", "100%.%04d.exr", "-n"})
        EXPECT_EQ(echoedByShell(word), word) << word;
    EXPECT_EQ(shellQuote("/s/out/k.farm.sh"), "/s/out/k.farm.sh");
    EXPECT_EQ(shellQuote(""), "''");
}

TEST(JobScript, JobIdFromSbatch)
{
    const std::pair<const char*, const char*> good[] = {{"123\n", "123"}, {"45;cluster\n", "45"}, {"7", "7"}};
    for (const auto& [out, id] : good)
        EXPECT_EQ(parseJobId(out), id) << out;
    for (const char* bad : {"", "\n", "Submitted batch job 12\n", "12x\n", "sbatch: error: Batch job submission failed\n"})
        EXPECT_THROW(parseJobId(bad), std::runtime_error) << bad;
}

TEST(JobScript, SaysHowManyFramesAndTasks)
{
    for (const auto& [frames, chunk, line] :
         {std::tuple{"7", 1, "# Written by veilcast submit: keys 1 frame in 1 task.\n"},
          std::tuple{"1-2", 1, "# Written by veilcast submit: keys 2 frames in 2 tasks.\n"},
          std::tuple{"1-5", 5, "# Written by veilcast submit: keys 5 frames in 1 task.\n"}}) {
        FarmJob job;
        job.frames = veilcast::parseFrameRange(frames);
        job.chunks = chunkFrames(job.frames, static_cast<std::uint64_t>(chunk));
        job.files.log = "/o/k.farm.%A_%a.log";
        EXPECT_NE(jobScript(job).find(line), std::string::npos) << jobScript(job);
    }
}

std::string fileBytes(const std::string& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string quoted(const std::string& s)
{
    return shellQuote(s);
}

std::string framePath(int f)
{
    char name[32];
    std::snprintf(name, sizeof name, "p.%04d.exr", f);
    return name;
}

class JobScriptRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::path(::testing::TempDir()) / ("veilcast-jobscript-" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string path(const std::string& name) const { return (dir / name).string(); }

    // Green backing on the left, a reddish subject on the right, noise by frame.
    void writeSequence(int first, int last)
    {
        for (int f = first; f <= last; ++f) {
            OIIO::ImageSpec spec(29, 17, 3, OIIO::TypeDesc::HALF);
            OIIO::ImageBuf buf(spec);
            for (int y = 0; y < 17; ++y)
                for (int x = 0; x < 29; ++x) {
                    const float n = static_cast<float>((x * 7 + y * 13 + f * 5) % 11) / 100.0f;
                    const float px[3] = {x > 14 ? 0.5f + n : 0.1f + n, x > 14 ? 0.3f : 0.6f + n, 0.1f + n};
                    buf.setpixel(x, y, px, 3);
                }
            ASSERT_TRUE(buf.write(path(framePath(f)))) << buf.geterror();
        }
    }
    std::string in() const { return quoted(path("p.####.exr")); }
    std::string veilcast(const std::string& args) const
    {
        return "'" VEILCAST_BINARY "' " + args + " >/dev/null 2>&1";
    }

    fs::path dir;
};

// The script as a Slurm task runs it: each array index keys its chunk, and
// "check" writes the summary. Together they equal one run of the whole range.
TEST_F(JobScriptRun, TasksTogetherKeyLikeOneRun)
{
    writeSequence(1, 5);
    fs::create_directory(dir / "farm");
    ASSERT_EQ(std::system(veilcast(in() + " -o " + quoted(path("local.####.exr")) +
                                   " --frames 1-5 --set 'Screen Color=0.2,0.6,0.2' --date-time source")
                              .c_str()),
              0);
    const std::string settings = path("farm/k.farm.settings");
    zavtest::loadedPlugin();
    veilcast::OperatorNode node("ZAVVeilcast");
    veilcast::applySettings(node.controls(), {veilcast::parseSetting("Screen Color=0.2,0.6,0.2", "--set")});
    const std::string frozen = formatFrozenSettings(freezeSettings(node.controls(), "none", ""));
    writeTextFile(settings, frozen);

    FarmJob job;
    job.name = "veilcast-k";
    job.veilcast = VEILCAST_BINARY;
    job.input = path("p.####.exr");
    job.output = path("farm/k.####.exr");
    job.files.settings = settings;
    job.settingsSha256 = veilcast::sha256Hex(frozen);
    job.files.folder = path("farm");
    job.files.name = "k";
    job.files.log = path("farm/k.farm.%A_%a.log");
    job.files.summary = path("farm/k.farm.summary");
    job.frames = veilcast::parseFrameRange("1-5");
    job.chunks = chunkFrames(job.frames, 2);
    job.keyOptions = {"--date-time", "source", "--plugin-path", fs::path(VEILCAST_PLUGIN_FILE).parent_path().string()};
    const std::string script = path("farm/k.farm.sh");
    writeTextFile(script, jobScript(job), 0755);

    const auto run = [&](const std::string& env, const std::string& arg) {
        return std::system(("env " + env + " bash " + quoted(script) + " " + arg + " >/dev/null 2>&1").c_str());
    };
    EXPECT_NE(run("SLURM_ARRAY_TASK_ID=3", ""), 0);
    EXPECT_NE(run("SLURM_ARRAY_TASK_ID=0", "check"), 0);
    const std::string allocations[] = {"SLURM_CPUS_PER_TASK=1 SLURM_JOB_CPUS_PER_NODE=8", "SLURM_JOB_CPUS_PER_NODE=3",
                                       "SLURM_JOB_CPUS_PER_NODE='2(x3)'"};
    const std::string threads[] = {"1", "3", "2"};
    for (int task = 0; task < 3; ++task) {
        const std::string log = path("task.log");
        const std::string env = "SLURM_ARRAY_TASK_ID=" + std::to_string(task) + " " + allocations[task];
        EXPECT_EQ(std::system(("env " + env + " bash " + quoted(script) + " 2>" + quoted(log)).c_str()), 0) << task;
        EXPECT_NE(fileBytes(log).find("keys frames " + job.chunks[static_cast<std::size_t>(task)].format() +
                                      " with --threads " + threads[task] + " on "),
                  std::string::npos)
            << fileBytes(log);
    }
    EXPECT_EQ(run("", "check"), 0);
    for (int f = 1; f <= 5; ++f) {
        const std::string keyed = fileBytes(path("farm/k." + framePath(f).substr(2)));
        EXPECT_FALSE(keyed.empty()) << f;
        EXPECT_TRUE(keyed == fileBytes(path("local." + framePath(f).substr(2)))) << "frame " << f;
    }
    EXPECT_EQ(fileBytes(job.files.summary).rfind("complete: 5 of 5 frames", 0), 0u) << fileBytes(job.files.summary);
}

}  // namespace
