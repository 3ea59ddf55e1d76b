// SPDX-License-Identifier: Apache-2.0
// veilcast submit --dry-run, veilcast verify and --date-time, through the built binary.

#include "VeilcastFixture.h"

#include <fstream>
#include <regex>

namespace {

class SubmitTest : public VeilcastTest {
protected:
    void writeSequence(int first, int last)
    {
        for (int f = first; f <= last; ++f)
            writePlate(framePath(f), {"R", "G", "B"}, OIIO::TypeDesc::HALF, 37, 23, static_cast<unsigned>(f));
    }
    std::string in() const { return quoted(path("p.####.exr")); }
};

std::string pickedColour(const std::string& output)
{
    std::smatch m;
    static const std::regex picked(R"(picked screen colour ([^ ]+) )");
    return std::regex_search(output, m, picked) ? m.str(1) : "";
}

TEST_F(SubmitTest, DryRunFreezesTheFirstFramesPickAndWritesNothing)
{
    writeSequence(1, 7);
    fs::create_directory(dir / "out");
    const Result local = veilcast(in() + " -o " + quoted(path("local.####.exr")) + " --frames 1-7 --pick-screen auto");
    ASSERT_EQ(local.exitCode, 0) << local.output;
    const std::string colour = pickedColour(local.output);
    ASSERT_FALSE(colour.empty()) << local.output;
    fs::remove_all(dir / "local");
    for (int f = 1; f <= 7; ++f)
        fs::remove(path("local." + framePath(f).substr(2)));

    const Result dry = veilcast("submit --farm slurm " + in() + " -o " + quoted(path("out/k.####.exr")) +
                                " --frames 1-7 --chunk 3 --set 'Clip Black=0.02' --partition render --cpus-per-task 4 --dry-run");
    ASSERT_EQ(dry.exitCode, 0) << dry.output;
    EXPECT_NE(dry.output.find("\nScreen Color=" + colour + "\n"), std::string::npos) << dry.output;
    EXPECT_NE(dry.output.find("\nClip Black=0.02\n"), std::string::npos) << dry.output;
    EXPECT_NE(dry.output.find("# pick: auto\n"), std::string::npos) << dry.output;
    EXPECT_NE(dry.output.find("    0) frames=1-3 ;;\n    1) frames=4-6 ;;\n    2) frames=7 ;;\n"), std::string::npos)
        << dry.output;
    EXPECT_NE(dry.output.find("sbatch --parsable --job-name=veilcast-k --output=" + path("out/k.farm.%A_%a.log") +
                              " --partition=render --cpus-per-task=4 --array=0-2 " + path("out/k.farm.sh") + "\n"),
              std::string::npos)
        << dry.output;
    EXPECT_NE(dry.output.find("--dependency=afterok:ARRAY_JOB_ID --kill-on-invalid-dep=yes " + path("out/k.farm.sh") +
                              " check\n"),
              std::string::npos)
        << dry.output;
    EXPECT_TRUE(fs::is_empty(dir / "out"));
}

TEST_F(SubmitTest, RefusesWhatCannotBeKeyedAlike)
{
    writeSequence(1, 3);
    struct Case {
        std::string args;
        int status;
        std::string message;
    };
    const std::string base = "submit --farm slurm " + in() + " -o " + quoted(path("k.####.exr")) + " --dry-run ";
    const Case cases[] = {
        {"submit --farm other " + in() + " -o " + quoted(path("k.####.exr")) + " --frames 1-3", 2,
         "\"other\" is not a farm"},
        {base + "--frames 1-5", 1, "2 of 5 frames of"},
        {base + "--frames 1-3 --chunk 0", 2, "--chunk"},
        {base + "--frames 1-3 --date-time now", 2, "--date-time now"},
        {base, 2, "--frames"},
        {"submit --farm slurm " + quoted(path(framePath(1))) + " -o " + quoted(path("k.exr")) + " --frames 1", 2,
         "sequences"},
        {base + "--frames 1-3 --set 'Clip Black=x'", 2, "ClipBlackKnob takes a finite number"},
        {base + "--frames 1-3 --threads 4", 2, "--cpus-per-task"},
        {base + "--frames 1-3 --skip-missing", 2, "--skip-missing"},
    };
    for (const Case& c : cases) {
        const Result r = veilcast(c.args);
        EXPECT_EQ(r.exitCode, c.status) << c.args << "\n" << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << c.args << "\n" << r.output;
    }
}

TEST_F(SubmitTest, AnEarlierFrozenFileIsKeptOrRefusedNeverReplaced)
{
    writeSequence(1, 4);
    const std::string settings = path("k.farm.settings");
    const std::string frozen = "# veilcast frozen settings for " + path("k.####.exr") +
                               "\n# pick: auto\n# picked on: elsewhere\n";
    {
        std::ofstream out(settings);
        out << frozen;
        for (const char* line : {"Check Alpha=off", "Screen Color=0.25,0.5,0.125", "Screen Gain=1",
                                 "Screen Balance=0.5", "Clip Black=0", "Clip White=1", "Source Alpha=Ignore",
                                 "Inside Replace=Soft Color", "Inside Replace Color=0.5,0.5,0.5"})
            out << line << "\n";
    }
    const std::string base = "submit --farm slurm " + in() + " -o " + quoted(path("k.####.exr")) + " --dry-run ";
    const Result same = veilcast(base + "--frames 3-4 --pick-screen auto");
    EXPECT_EQ(same.exitCode, 0) << same.output;
    EXPECT_NE(same.output.find("(frozen earlier, kept)"), std::string::npos) << same.output;
    EXPECT_NE(same.output.find("\nScreen Color=0.25,0.5,0.125\n"), std::string::npos) << same.output;

    for (const char* other : {"--frames 3-4 --set 'Clip White=0.9'", "--frames 3-4 --pick-screen 1,1,4,4",
                              "--frames 3-4 --set 'Screen Color=0.25,0.5,0.12'"}) {
        const Result r = veilcast(base + other);
        EXPECT_EQ(r.exitCode, 2) << other << "\n" << r.output;
        EXPECT_NE(r.output.find(settings + " holds other settings"), std::string::npos) << other << "\n" << r.output;
    }
}

TEST_F(SubmitTest, FixedOrSourceDateTimeWritesTheSameBytesTwice)
{
    writeSequence(1, 1);
    for (const std::string when : {"source", "'2026:01:02 03:04:05'"}) {
        std::string bytes[2];
        for (std::string& b : bytes) {
            const Result r = veilcast(in() + " -o " + quoted(path("k.####.exr")) + " --frames 1 --date-time " + when);
            ASSERT_EQ(r.exitCode, 0) << r.output;
            b = fileBytes(path("k.0001.exr"));
            sleep(1);
        }
        EXPECT_FALSE(bytes[0].empty());
        EXPECT_TRUE(bytes[0] == bytes[1]) << when;
    }
    EXPECT_EQ(read(path("k.0001.exr")).spec().get_string_attribute("DateTime"), "2026:01:02 03:04:05");
    const Result r = veilcast(in() + " -o " + quoted(path("k.####.exr")) + " --frames 1 --date-time yesterday");
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_NE(r.output.find("\"yesterday\""), std::string::npos) << r.output;
}

TEST_F(SubmitTest, VerifyNamesMissingAndUnreadableFrames)
{
    writeSequence(1, 6);
    const std::string summary = path("summary.txt");
    Result r = veilcast("verify " + in() + " --frames 1-6 --summary " + quoted(summary));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(fileBytes(summary), "complete: 6 of 6 frames of " + path("p.####.exr") + " present and readable (1-6)\n");

    fs::remove(path(framePath(2)));
    std::ofstream(path(framePath(5)), std::ios::trunc) << "not an image";
    r = veilcast("verify " + in() + " --frames 1-7 --summary " + quoted(summary));
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_EQ(fileBytes(summary), "INCOMPLETE: 4 of 7 frames of " + path("p.####.exr") +
                                      " present and readable (1, 3-4, 6); missing 2, 7; unreadable 5\n");
}

}  // namespace
