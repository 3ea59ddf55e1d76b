// SPDX-License-Identifier: Apache-2.0
// veilcast submit --dry-run, veilcast verify and --date-time, through the built binary.

#include "ColourConfigFile.h"
#include "VeilcastFixture.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <future>
#include <regex>

namespace {

// Runs a program with exactly these arguments and extra environment
// variables, in `cwd`, without a shell between: the test's own quoting
// cannot hide what the code under test does with a hostile name.
Result runArgv(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& cwd)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {-1, "pipe"};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[0]);
        close(fds[1]);
        if (chdir(cwd.c_str()) != 0)
            _exit(126);
        for (const std::string& e : env)
            putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    std::string output;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        output.append(buffer, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), output};
}

// A name as a sequence pattern spells it: '#', '@' and '%' stand for frame
// numbers unless escaped.
std::string patternOf(const std::string& name)
{
    std::string p;
    for (const char c : name)
        p += c == '#' ? "\\#" : c == '@' ? "\\@" : c == '%' ? "%%" : std::string(1, c);
    return p;
}

// What Slurm makes of an --output file name pattern, as sbatch(1) says: a
// '\\' anywhere turns every replacement off; otherwise %% is '%', %A and %j
// the job, %a the array task, and other letters are replaced by a byte
// this test never puts in a name.
std::string slurmFileName(const std::string& pattern, const std::string& job, int task)
{
    if (pattern.find('\\') != std::string::npos) {
        std::string literal;
        for (const char c : pattern)
            if (c != '\\')
                literal += c;
        return literal;
    }
    std::string name;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%' || i + 1 == pattern.size()) {
            name += pattern[i];
            continue;
        }
        std::size_t j = i + 1;
        while (j < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[j])))
            ++j;
        const char c = j < pattern.size() ? pattern[j] : '\0';
        name += c == '%' ? "%" : c == 'A' || c == 'j' ? job : c == 'a' ? std::to_string(task) : "\x01%" + std::string(1, c);
        i = j;
    }
    return name;
}

// The command lines the stand-in sbatch was given, one per call.
std::vector<std::vector<std::string>> sbatchCalls(const std::string& log)
{
    std::vector<std::vector<std::string>> calls(1);
    const std::string bytes = fileBytes(log);
    std::size_t start = 0;
    for (std::size_t end; (end = bytes.find('\0', start)) != std::string::npos; start = end + 1) {
        if (end == start)
            calls.emplace_back();
        else
            calls.back().push_back(bytes.substr(start, end - start));
    }
    calls.pop_back();
    return calls;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        result.push_back(text.substr(start, end - start));
    if (start < text.size())
        result.push_back(text.substr(start));
    return result;
}

std::vector<std::string> filesIn(const fs::path& folder)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string escapedPathForTest(const std::string& name)
{
    std::string shown;
    for (const char c : name) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
        shown += static_cast<unsigned char>(c) < 0x20 ? hex : std::string(1, c);
    }
    return shown;
}

std::string sha256sum(const std::string& file)
{
    const Result r = runArgv({"bash", "-c", "sha256sum <\"$1\"", "-", file}, {}, "/");
    return r.output.substr(0, 64);
}

class SubmitTest : public VeilcastTest {
protected:
    void SetUp() override
    {
        VeilcastTest::SetUp();
        // A stand-in for sbatch: records each command line (each argument
        // followed by a NUL, an empty one after the last) and answers as
        // --parsable does.
        fs::create_directories(dir / "bin");
        std::ofstream(dir / "bin" / "sbatch") << "#!/bin/sh\n"
                                                 "for a in \"$@\"; do printf '%s\\0' \"$a\"; done >>\"$SBATCH_LOG\"\n"
                                                 "printf '\\0' >>\"$SBATCH_LOG\"\n"
                                                 "echo 4242\n";
        fs::permissions(dir / "bin" / "sbatch", fs::perms::owner_all);
        sbatchLog = path("sbatch.log");
    }
    // veilcast with these arguments in the test's folder, with the stand-in sbatch first on PATH.
    Result submit(std::vector<std::string> args) const
    {
        args.insert(args.begin(), VEILCAST_BINARY);
        return runArgv(args, {"PATH=" + path("bin") + ":" + std::getenv("PATH"), "SBATCH_LOG=" + sbatchLog},
                       dir.string());
    }
    std::string sbatchLog;

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
    const Result local = veilcast(in() + " -o " + quoted(path("local.####.exr")) +
                                  " --frames 1-7 --pick-screen auto --screen-map auto --clip auto");
    ASSERT_EQ(local.exitCode, 0) << local.output;
    const std::string colour = pickedColour(local.output);
    ASSERT_FALSE(colour.empty()) << local.output;
    std::smatch clips;
    ASSERT_TRUE(std::regex_search(local.output, clips,
                                  std::regex(R"re(chose clips \(--set "Clip Black=([^"]+)" --set "Clip White=([^"]+)" --set "Screen Balance=([^"]+)"\))re")))
        << local.output;
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
    EXPECT_NE(dry.output.find("sbatch --parsable '--job-name=veilcast-k.####.exr' '--output=" +
                              path("out/k.####.exr.farm.%A_%a.log") +
                              "' --partition=render --cpus-per-task=4 --array=0-2 '" + path("out/k.####.exr.farm.sh") +
                              "'\n"),
              std::string::npos)
        << dry.output;
    EXPECT_NE(dry.output.find("--dependency=afterok:ARRAY_JOB_ID --kill-on-invalid-dep=yes '" +
                              path("out/k.####.exr.farm.sh") + "' check\n"),
              std::string::npos)
        << dry.output;
    EXPECT_TRUE(fs::is_empty(dir / "out"));

    // The clips are frozen as the command line chose them on the same first
    // frame, and each task makes its own frames' screen maps.
    const Result found = veilcast("submit --farm slurm " + in() + " -o " + quoted(path("out/m.####.exr")) +
                                  " --frames 1-7 --screen-map auto --clip auto --dry-run");
    ASSERT_EQ(found.exitCode, 0) << found.output;
    for (const std::string& line : {"\nScreen Color=" + colour + "\n", "\nClip Black=" + clips.str(1) + "\n",
                                   "\nClip White=" + clips.str(2) + "\n", "\nScreen Balance=" + clips.str(3) + "\n",
                                   std::string("\n# clips: auto\n"),
                                   std::string(" --screen-map auto")})
        EXPECT_NE(found.output.find(line), std::string::npos) << line << " in " << found.output;
    EXPECT_TRUE(fs::is_empty(dir / "out"));

    // A screen colour given still leaves the clips to choose: once, on the
    // first frame, with that colour, as the command line chooses them there.
    const std::string given = " --set 'Screen Color=0.1,0.6,0.1' --clip auto";
    const Result chosen = veilcast(quoted(path(framePath(1))) + " -o " + quoted(path("given.exr")) + given);
    ASSERT_EQ(chosen.exitCode, 0) << chosen.output;
    std::smatch givenClips;
    ASSERT_TRUE(std::regex_search(chosen.output, givenClips,
                                  std::regex(R"re(chose clips \(--set "Clip Black=([^"]+)" --set "Clip White=([^"]+)" --set "Screen Balance=([^"]+)"\))re")))
        << chosen.output;
    EXPECT_NE(givenClips.str(1), "0") << "the plate should need a clip";
    fs::remove(path("given.exr"));
    const Result frozenGiven = veilcast("submit --farm slurm " + in() + " -o " + quoted(path("out/g.####.exr")) +
                                        " --frames 1-7" + given + " --dry-run");
    ASSERT_EQ(frozenGiven.exitCode, 0) << frozenGiven.output;
    for (const std::string& line : {"\nClip Black=" + givenClips.str(1) + "\n", "\nClip White=" + givenClips.str(2) + "\n",
                                   "\nScreen Balance=" + givenClips.str(3) + "\n"})
        EXPECT_NE(frozenGiven.output.find(line), std::string::npos) << line << " in " << frozenGiven.output;

    // Exactly as many frames as a job has tasks at most: still one frame per task.
    for (int f = 1; f <= 1001; ++f)
        std::ofstream(path("b" + framePath(f).substr(1)));
    const struct {
        const char *frames, *array, *lastTasks;
    } limits[] = {
        {"1-1000", "--array=0-999 ", "    998) frames=999 ;;\n    999) frames=1000 ;;\n    *)"},
        {"1-1001", "--array=0-500 ", "    499) frames=999-1000 ;;\n    500) frames=1001 ;;\n    *)"},
    };
    for (const auto& c : limits) {
        const Result many = veilcast("submit --farm slurm " + quoted(path("b.####.exr")) + " -o " +
                                     quoted(path("out/b.####.exr")) + " --frames " + c.frames +
                                     " --set 'Screen Color=0.1,0.6,0.1' --dry-run");
        ASSERT_EQ(many.exitCode, 0) << many.output;
        EXPECT_NE(many.output.find(c.array), std::string::npos) << c.frames;
        EXPECT_NE(many.output.find(c.lastTasks), std::string::npos) << c.frames;
    }
}

// Every task keys the job as it was asked for, and a screen colour the
// settings give is frozen as given, black too (with a warning), never picked.
TEST_F(SubmitTest, TheJobReachesTheTasksAsAsked)
{
    writeSequence(1, 2);
    std::ofstream(path("black.keyer")) << "Screen Color=0,0,0\n";
    const Result dry = veilcast("submit --farm slurm " + in() + " -o " + quoted(path("k.####.exr")) +
                                " --frames 1-2 --raw --layer beauty --max-pixels 5000 --settings " +
                                quoted(path("black.keyer")) + " --dry-run");
    ASSERT_EQ(dry.exitCode, 0) << dry.output;
    const std::string task = dry.output.substr(dry.output.find("exec \"$veilcast\""));
    for (const char* option : {" --raw", " --layer beauty", " --max-pixels 5000"})
        EXPECT_NE(task.find(option), std::string::npos) << option << " in " << task;
    EXPECT_NE(dry.output.find("veilcast: warning: Screen Color is 0,0,0"), std::string::npos) << dry.output;
    EXPECT_NE(dry.output.find("\nScreen Color=0,0,0\n"), std::string::npos) << dry.output;
    EXPECT_NE(dry.output.find("# pick: none\n"), std::string::npos) << dry.output;

    // A task starts in a folder of the farm's choosing: the colour
    // configuration named from where the job was submitted is found from any.
    writeColourConfig(dir);
    const Result colour = veilcast("submit --farm slurm " + in() + " -o " + quoted(path("k.####.exr")) +
                                       " --frames 1-2 --set 'Screen Color=0.1,0.6,0.1' --ocio test.ocio"
                                       " --in-colorspace linear --out-colorspace linear --dry-run",
                                   "cd " + quoted(dir.string()) + " && ");
    ASSERT_EQ(colour.exitCode, 0) << colour.output;
    EXPECT_NE(colour.output.find("--ocio " + path("test.ocio") + " "), std::string::npos) << colour.output;
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
        {base + "--frames 1-3 --set 'Clip Black=x'", 2, "Clip Black takes a finite number"},
        {base + "--frames 1-3 --threads 4", 2, "--cpus-per-task"},
        {base + "--frames 1-3 --skip-missing", 2, "--skip-missing"},
        {base + "--frames 1,1,1", 2, "frame 1 more than once"},
        {base + "--frames 1-3x2,2-3", 2, "frame 3 more than once"},
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
    fs::create_directories(dir / "blue");
    for (int f = 1; f <= 4; ++f)
        fs::copy_file(path(framePath(f)), dir / "blue" / framePath(f));
    const std::string settings = path("k.####.exr.farm.settings");
    // Which input the file is for, as bash and sha256sum make it of the absolute pattern.
    const Result hashed =
        runArgv({"bash", "-c", "printf %s \"$1\" | sha256sum", "-", path("p.####.exr")}, {}, "/");
    ASSERT_EQ(hashed.exitCode, 0) << hashed.output;
    const std::string inputLine = "# input: sha256 " + hashed.output.substr(0, 64) + "\n";
    const auto plant = [&](const std::string& input) {
        fs::remove(settings);
        {
            std::ofstream out(settings);
            out << "# veilcast frozen settings\n# pick: auto\n" << input << "# picked on frame: 1\n";
            for (const char* line : {"Check Alpha=off", "Screen Color=0.25,0.5,0.125", "Screen Gain=1",
                                     "Screen Balance=0.5", "Clip Black=0", "Clip White=1", "Source Alpha=Ignore",
                                     "Inside Replace=Soft Color", "Inside Replace Color=0.5,0.5,0.5"})
                out << line << "\n";
            out << "# end of veilcast frozen settings\n";
        }
        fs::permissions(settings, fs::perms(0644));
    };
    const std::string base = "submit --farm slurm " + in() + " -o " + quoted(path("k.####.exr")) + " --dry-run ";
    plant(inputLine);
    const Result same = veilcast(base + "--frames 3-4 --pick-screen auto");
    EXPECT_EQ(same.exitCode, 0) << same.output;
    EXPECT_NE(same.output.find("(frozen earlier, kept)"), std::string::npos) << same.output;
    EXPECT_NE(same.output.find("\nScreen Color=0.25,0.5,0.125\n"), std::string::npos) << same.output;

    struct Case {
        std::string args;
        std::string message;  // after the file's name
        std::function<void()> prepare;
    };
    const std::string blue = "submit --farm slurm " + quoted(path("blue/p.####.exr")) + " -o " +
                             quoted(path("k.####.exr")) + " --dry-run --frames 3-4 --pick-screen auto";
    const Case cases[] = {
        {base + "--frames 3-4 --set 'Clip White=0.9'", " holds other settings", [] {}},
        {base + "--frames 3-4 --pick-screen 1,1,4,4", " holds other settings", [] {}},
        {base + "--frames 3-4 --set 'Screen Color=0.25,0.5,0.12'", " holds other settings", [] {}},
        // Another plate keyed to the same output must not take this plate's screen colour.
        {blue, " was frozen for another input", [] {}},
        {base + "--frames 3-4 --pick-screen auto", " was frozen for another input", [&] { plant(""); }},
        {base + "--frames 3-4 --pick-screen auto", " can be written by its group;",
         [&] { fs::permissions(settings, fs::perms(0664)); }},
        {base + "--frames 3-4 --pick-screen auto", " can be written by others;",
         [&] { fs::permissions(settings, fs::perms(0646)); }},
        // Planted by another user in a shared folder; only root can make one here.
        {base + "--frames 3-4 --pick-screen auto", " belongs to ",
         [&] {
             if (geteuid() == 0) {
                 EXPECT_EQ(chown(settings.c_str(), 65534, 65534), 0);
             }
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        plant(inputLine);
        c.prepare();
        if (geteuid() != 0 && c.message == " belongs to ")
            continue;
        const Result r = veilcast(c.args);
        EXPECT_EQ(r.exitCode, 2) << r.output;
        EXPECT_NE(r.output.find(settings + c.message), std::string::npos) << r.output;
        if (c.message == " belongs to ") {
            EXPECT_NE(r.output.find("uid 65534"), std::string::npos) << r.output;
        }
        EXPECT_EQ(r.output.find("Screen Color="), std::string::npos) << r.output;
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

namespace {

// Every line the job script may hold, as a pattern; a path appears only as
// one shell word, and no line is a Slurm directive.
bool knownScriptLine(const std::string& line)
{
    static const std::string word = R"re((?:[A-Za-z0-9_+=.,/:@%-]+|(?:'[^']*'|\\')+))re";
    static const std::string frames = "[0-9x,-]+";
    static const std::vector<std::regex> forms = [] {
        std::vector<std::regex> f;
        for (const std::string& form :
             {std::string("#!/bin/bash"), std::string(R"re(# Written by veilcast submit: keys 3 frames in 2 tasks\.)re"),
              std::string(R"re(# A task that fails can be run again as it is: frames replace their files only when complete,)re"),
              std::string(R"re(# and the same frame keys to the same bytes\. Re-submit a narrower --frames to key a few again\.)re"),
              std::string(R"re(# Each task refuses to key when the frozen settings differ from the SHA-256 below\.)re"),
              std::string("set -eu"), "veilcast=" + word, "settings=" + word, std::string("settings_sha256=[0-9a-f]{64}"),
              "folder=" + word, std::string(R"re(if \[ "\$\{1:-key\}" = check \]; then)re"),
              R"re(    exec >>"\$folder"/)re" + word + R"re("\$\{SLURM_JOB_ID:-0\}"\.check\.log 2>&1)re",
              R"re(    exec "\$veilcast" verify )re" + word + " --frames " + frames + " --summary " + word, std::string("fi"),
              std::string(R"re(case "\$\{SLURM_ARRAY_TASK_ID:-\}" in)re"), R"re(    [0-9]+\) frames=)re" + frames + " ;;",
              std::string(R"re(    \*\) echo "veilcast job: no chunk for array task '\$\{SLURM_ARRAY_TASK_ID:-\}'" >&2; exit 2 ;;)re"),
              std::string("esac"),
              R"re(exec >>"\$folder"/)re" + word + R"re("\$\{SLURM_ARRAY_JOB_ID:-0\}_\$\{SLURM_ARRAY_TASK_ID\}"\.log 2>&1)re",
              std::string(R"re(# The CPUs this task was given; a node's core count would oversubscribe a shared node\.)re"),
              std::string(R"re(threads=\$\{SLURM_CPUS_PER_TASK:-\$\{SLURM_JOB_CPUS_PER_NODE:-\}\})re"),
              std::string(R"re(threads=\$\{threads%%\[\(,\]\*\})re"), std::string(R"re(\[ -n "\$threads" \] \|\| threads=\$\(nproc\))re"),
              std::string(R"re(echo "veilcast job: task \$SLURM_ARRAY_TASK_ID keys frames \$frames with --threads \$threads on \$\(hostname\)" >&2)re"),
              R"re(exec "\$veilcast" )re" + word + " -o " + word +
                  R"re( --frames "\$frames" --frozen-settings "\$settings" --settings-sha256 "\$settings_sha256" --threads "\$threads"(?: )re" +
                  word + ")*"})
            f.emplace_back(form);
        return f;
    }();
    return std::any_of(forms.begin(), forms.end(), [&](const std::regex& r) { return std::regex_match(line, r); });
}

}  // namespace

// Folder and file names that a shell, a job script's comment or directive, or
// sbatch's file name patterns would read as something else. Each is refused
// (control characters) or keyed, through bash as a Slurm task runs the
// script, into exactly the folder it names, with a canary in the name that
// must never run.
TEST_F(SubmitTest, HostilePathsAreRefusedOrKeyedAsNamed)
{
    struct Case {
        std::string name;
        std::string refusal;  // empty: keyed; else how the message shows the name as a pattern spells it
    };
    const Case cases[] = {
        {"plain", ""},
        {"new\nline; touch canary; : ", "new\\nline; touch canary; : "},
        {"x\n#SBATCH --export=ALL,LD_PRELOAD=canary", "x\\n\\#SBATCH --export=ALL,LD_PRELOAD=canary"},
        {"cr\rtouch canary", "cr\\rtouch canary"},
        {"tab\there", "tab\\there"},
        {"bell\a\x1b[0m", "bell\\x07\\x1b[0m"},
        {"#SBATCH --export=ALL,LD_PRELOAD=canary", ""},
        {"50%u %A_%a %%off %j", ""},
        {"back\\slash \\#\\ end\\", ""},
        {"$(touch canary)", ""},
        {"`touch canary`", ""},
        {"it's 'quoted'; touch canary; '", ""},
        {"say \"hi\" \"$(touch canary)\"", ""},
        {"-n -e --frames", ""},
        {"a space  two", ""},
        {"ünïcødé € 🎬", ""},
        {";touch canary;#", ""},
        {"~ * [a] {b,c} ! & | < > @x", ""},
    };
    fs::create_directories(dir / "plain-plates");
    for (int f = 1; f <= 3; ++f)
        writePlate("plain-plates/" + framePath(f), {"R", "G", "B"}, OIIO::TypeDesc::HALF, 37, 23, static_cast<unsigned>(f));
    const std::vector<std::string> settings = {"--frames", "1-3", "--chunk", "2", "--set", "Screen Color=0.15,0.62,0.14"};
    const std::vector<std::string> local = {VEILCAST_BINARY, "plain-plates/p.####.exr", "-o", "local/k.####.exr",
                                            "--date-time", "source", "--frames", "1-3", "--set", settings.back()};
    fs::create_directories(dir / "local");
    ASSERT_EQ(runArgv(local, {}, dir.string()).exitCode, 0);

    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(escapedPathForTest(c.name));
        const std::string in = "in" + std::to_string(index) + " " + c.name, out = "out" + std::to_string(index) + " " + c.name;
        ++index;
        fs::create_directories(dir / in);
        fs::create_directories(dir / out);
        for (int f = 1; f <= 3; ++f)
            fs::copy_file(dir / "plain-plates" / framePath(f), dir / in / framePath(f));
        fs::remove(sbatchLog);
        const std::string outPattern = "./" + patternOf(out) + "/k" + patternOf(c.name) + ".####.exr";
        std::vector<std::string> args = {"submit", "--farm", "slurm", "./" + patternOf(in) + "/p.####.exr", "-o", outPattern};
        args.insert(args.end(), settings.begin(), settings.end());
        const Result r = submit(args);
        EXPECT_FALSE(fs::exists(dir / "canary")) << r.output;
        if (!c.refusal.empty()) {
            EXPECT_EQ(r.exitCode, 2) << r.output;
            EXPECT_NE(r.output.find("\"./" + patternOf("in" + std::to_string(index - 1) + " ") + c.refusal +
                                    "/p.####.exr\" holds a control character"),
                      std::string::npos)
                << r.output;
            EXPECT_TRUE(filesIn(dir / out).empty());
            EXPECT_FALSE(fs::exists(sbatchLog));
            continue;
        }
        ASSERT_EQ(r.exitCode, 0) << r.output;

        // sbatch: the array, then the check; the log lands in the output folder.
        const auto calls = sbatchCalls(sbatchLog);
        ASSERT_EQ(calls.size(), 2u);
        const fs::path outFolder = dir / out;
        std::string script, outputOption;
        for (const std::string& a : calls[0]) {
            if (a.rfind("--output=", 0) == 0)
                outputOption = a.substr(9);
            if (a.rfind("-", 0) != 0)
                script = a;
            EXPECT_EQ(a.rfind("--chdir", 0), std::string::npos) << a;
        }
        ASSERT_EQ(calls[1].size(), calls[0].size() + 2);  // less --array, plus the dependency, its kill and "check"
        EXPECT_EQ(calls[1].back(), "check");
        EXPECT_EQ(calls[1][calls[1].size() - 2], script);
        EXPECT_NE(std::find(calls[1].begin(), calls[1].end(), "--dependency=afterok:4242"), calls[1].end());
        EXPECT_EQ(fs::path(script).parent_path(), outFolder);
        const bool ownLogs = c.name.find('\\') != std::string::npos;
        if (ownLogs) {
            EXPECT_EQ(outputOption, "/dev/null");
        } else {
            const std::string log = slurmFileName(outputOption, "4242", 1);
            EXPECT_EQ(fs::path(log).parent_path(), outFolder) << outputOption;
            EXPECT_EQ(log.find('\x01'), std::string::npos) << outputOption;
            EXPECT_NE(log, slurmFileName(outputOption, "4242", 0)) << outputOption;
        }

        const std::string text = fileBytes(script);
        for (const std::string& line : lines(text)) {
            EXPECT_TRUE(knownScriptLine(line)) << line;
            EXPECT_NE(line.rfind("#SBATCH", 0), 0u) << line;
        }
        const std::string settingsFile = fs::path(script).replace_extension(".settings").string();
        EXPECT_NE(text.find("\nsettings_sha256=" + sha256sum(settingsFile) + "\n"), std::string::npos) << text;

        // The tasks and the check, as Slurm would run them.
        for (const std::string task : {"0", "1"}) {
            const Result t = runArgv({"bash", script}, {"SLURM_ARRAY_TASK_ID=" + task, "SLURM_ARRAY_JOB_ID=4242",
                                                        "SLURM_CPUS_PER_TASK=1"}, dir.string());
            EXPECT_EQ(t.exitCode, 0) << t.output;
        }
        const Result check = runArgv({"bash", script, "check"}, {"SLURM_JOB_ID=4243"}, dir.string());
        EXPECT_EQ(check.exitCode, 0) << check.output;
        EXPECT_FALSE(fs::exists(dir / "canary"));
        for (int f = 1; f <= 3; ++f) {
            const std::string keyed = fileBytes((outFolder / ("k" + c.name + framePath(f).substr(1))).string());
            EXPECT_FALSE(keyed.empty()) << f;
            EXPECT_TRUE(keyed == fileBytes(path("local/k" + framePath(f).substr(1)))) << "frame " << f;
        }
        const std::string summary = fs::path(script).replace_extension(".summary").string();
        EXPECT_EQ(fileBytes(summary).rfind("complete: 3 of 3 frames", 0), 0u) << fileBytes(summary);
        if (ownLogs) {
            EXPECT_NE(fileBytes(fs::path(script).replace_extension("4242_1.log").string()).find("task 1 keys frames 3"),
                      std::string::npos);
            EXPECT_TRUE(fs::exists(fs::path(script).replace_extension("4243.check.log")));
        }
    }
}

// A task keys only with the settings file exactly as submit froze it: any
// other file, a link to a copy of it included, is refused before anything is
// written, and no task picks a screen colour of its own.
TEST_F(SubmitTest, TasksKeyOnlyWithTheFrozenFileAsItWas)
{
    writeSequence(1, 2);
    fs::create_directories(dir / "out");
    const Result r = submit({"submit", "--farm", "slurm", "p.####.exr", "-o", "out/k.####.exr", "--frames", "1-2",
                             "--pick-screen", "auto"});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const std::string settings = path("out/k.####.exr.farm.settings"), script = path("out/k.####.exr.farm.sh");
    const std::string frozen = fileBytes(settings);
    const std::vector<std::string> farmFiles = filesIn(dir / "out");
    const auto put = [&](const std::string& bytes) { std::ofstream(settings, std::ios::binary | std::ios::trunc) << bytes; };
    const auto replaceLine = [&](const std::string& from, const std::string& to) {
        std::string text = frozen;
        const std::size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? text : text.replace(at, from.size(), to);
    };
    const std::string header = frozen.substr(0, frozen.find('\n') + 1);
    const std::string endLine = "# end of veilcast frozen settings\n";

    struct Case {
        const char* what;
        std::function<void()> tamper;
    };
    const Case cases[] = {
        {"edited", [&] { put(replaceLine("\nClip Black=0\n", "\nClip Black=0.25\n")); }},
        {"screen colour made black", [&] { put(replaceLine("\nScreen Color=", "\nScreen Color=0,0,0\nX=")); }},
        {"screen colour removed", [&] {
             std::string text = frozen;
             const std::size_t at = text.find("\nScreen Color=");
             put(text.erase(at + 1, text.find('\n', at + 1) - at));
         }},
        {"emptied", [&] { put(""); }},
        {"header only", [&] { put(header); }},
        {"header and end only", [&] { put(header + endLine); }},
        {"cut short", [&] { put(frozen.substr(0, frozen.size() / 2)); }},
        {"end line cut off", [&] { put(frozen.substr(0, frozen.size() - endLine.size())); }},
        {"added to", [&] { put(frozen + "Clip White=0.5\n"); }},
        {"missing", [&] { fs::remove(settings); }},
        {"a link to an exact copy", [&] {
             std::ofstream(path("copy.settings"), std::ios::binary) << frozen;
             fs::remove(settings);
             fs::create_symlink(path("copy.settings"), settings);
         }},
        {"a folder", [&] {
             fs::remove(settings);
             fs::create_directory(settings);
         }},
        {"a FIFO", [&] {
             fs::remove(settings);
             mkfifo(settings.c_str(), 0644);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(settings);
        put(frozen);
        c.tamper();
        const Result t = runArgv({"bash", script}, {"SLURM_ARRAY_TASK_ID=0", "SLURM_CPUS_PER_TASK=1"}, dir.string());
        EXPECT_EQ(t.exitCode, 2) << t.output;
        EXPECT_NE(t.output.find("veilcast: " + settings + ": "), std::string::npos) << t.output;
        EXPECT_EQ(t.output.find("picked"), std::string::npos) << t.output;
        for (const std::string& f : filesIn(dir / "out"))
            EXPECT_NE(std::find(farmFiles.begin(), farmFiles.end(), f), farmFiles.end()) << f;
    }
    fs::remove_all(settings);
    put(frozen);
    const Result good = runArgv({"bash", script}, {"SLURM_ARRAY_TASK_ID=1", "SLURM_CPUS_PER_TASK=1"}, dir.string());
    EXPECT_EQ(good.exitCode, 0) << good.output;
    EXPECT_EQ(good.output.find("picked"), std::string::npos) << good.output;
    EXPECT_TRUE(fs::exists(path("out/k.0002.exr")));

    // The same checks on veilcast's own options, with the SHA-256 from sha256sum.
    struct Direct {
        const char* what;
        std::string text;
        std::vector<std::string> extra;
        int status;
        const char* message;
    };
    const Direct direct[] = {
        {"black screen, complete", replaceLine("\nScreen Color=", "\nScreen Color=0,0,0\nX="), {}, 2, "unknown control \"X\""},
        {"black screen", [&] {
             std::string text = frozen;
             const std::size_t at = text.find("\nScreen Color=");
             return text.replace(at + 1, text.find('\n', at + 1) - at - 1, "Screen Color=0,0,0");
         }(), {}, 0, ""},
        {"no screen colour", [&] {
             std::string text = frozen;
             const std::size_t at = text.find("\nScreen Color=");
             return text.erase(at + 1, text.find('\n', at + 1) - at);
         }(), {}, 2, "holds no Screen Color"},
        {"a control left out", replaceLine("\nClip White=1\n", "\n"), {}, 2, "give no value for Clip White"},
        // A settings file that is not a frozen one, with its own SHA-256: refused all the same.
        {"only the values", [&] {
             std::string values;
             for (const std::string& line : lines(frozen))
                 if (line[0] != '#')
                     values += line + "\n";
             return values;
         }(), {}, 2, "not a whole frozen settings file"},
        {"no first line", frozen.substr(header.size()), {}, 2, "not a whole frozen settings file"},
        {"no end line", frozen.substr(0, frozen.size() - endLine.size()), {}, 2, "not a whole frozen settings file"},
        {"with --set", frozen, {"--set", "Clip Black=0.1"}, 2, "does not go with"},
        {"with --pick-screen", frozen, {"--pick-screen", "auto"}, 2, "does not go with"},
    };
    for (const Direct& d : direct) {
        SCOPED_TRACE(d.what);
        const std::string file = path("direct.settings");
        std::ofstream(file, std::ios::binary | std::ios::trunc) << d.text;
        std::vector<std::string> args = {VEILCAST_BINARY, "p.####.exr", "-o", "direct/k.####.exr", "--frames", "1",
                                         "--frozen-settings", file, "--settings-sha256", sha256sum(file)};
        args.insert(args.end(), d.extra.begin(), d.extra.end());
        fs::remove_all(dir / "direct");
        fs::create_directories(dir / "direct");
        const Result t = runArgv(args, {}, dir.string());
        EXPECT_EQ(t.exitCode, d.status) << t.output;
        EXPECT_NE(t.output.find(d.message), std::string::npos) << t.output;
        EXPECT_EQ(t.output.find("picked"), std::string::npos) << t.output;
        EXPECT_EQ(fs::exists(path("direct/k.0001.exr")), d.status == 0);
    }
    const std::pair<std::vector<std::string>, std::string> halves[] = {
        {{"--settings-sha256", sha256sum(settings)}, "go together"},
        {{"--frozen-settings", settings}, "go together"},
        {{"--frozen-settings", settings, "--settings-sha256", "ABC"}, "hex digits, not \"ABC\""},
    };
    for (const auto& [args, message] : halves) {
        std::vector<std::string> all = {VEILCAST_BINARY, "p.####.exr", "-o", "direct/k.####.exr", "--frames", "1"};
        all.insert(all.end(), args.begin(), args.end());
        const Result t = runArgv(all, {}, dir.string());
        EXPECT_EQ(t.exitCode, 2) << t.output;
        EXPECT_NE(t.output.find(message), std::string::npos) << t.output;
    }
}

// What every task would refuse, submit refuses before it writes or submits
// anything: an output frame that is a frame of the input, however the
// pattern is spelled, and a range that names no input frame.
TEST_F(SubmitTest, RefusesOutputsOverInputsAndRangesWithoutFrames)
{
    writeSequence(1, 3);
    fs::create_directories(dir / "sub");
    fs::create_directory_symlink(dir, dir / "same");
    for (const char* name : {"q.1.exr", "q.2.exr", "q.3.exr", "wide.00002.exr", "wide.10002.exr"})
        fs::copy_file(path(framePath(1)), path(name));
    struct Case {
        std::string input, output, frames, message, screenMap = {};
    };
    const Case cases[] = {
        {"p.####.exr", "q.#.exr", "1-3", "q.1.exr: the output would overwrite the clean plate", "q.#.exr"},
        {"p.####.exr", "q.#.exr", "1-3", "q.2.exr: the output would overwrite the clean plate", "q.2.exr"},
        {"p.####.exr", "k.####.exr", "1-3", "3 of 3 clean plates of sub missing", "sub"},  // a folder
        {"p.####.exr", "p.@@@@.exr", "1-3", "p.0001.exr: the output would overwrite the input"},
        {"p.####.exr", "p.%04d.exr", "2-3", "p.0002.exr: the output would overwrite the input"},
        {"p.%04d.exr", "./sub/../p.####.exr", "1-3", "sub/../p.0001.exr: the output would overwrite the input"},
        {"p.####.exr", "same/p.####.exr", "1-3", "same/p.0001.exr: the output would overwrite the input"},
        {"q.%d.exr", "q.#.exr", "1-3", "q.1.exr: the output would overwrite the input"},
        // Output frame 2 is wide.10002.exr, input frame 10002.
        {"wide.#####.exr", "wide.1####.exr", "2,10002", "wide.10002.exr: the output would overwrite the input"},
        {"p.####.exr", "k.####.exr", "50-60", "none of the frames"},
        {"p.####.exr", "sub/####/k.exr", "1-3", "numbers its folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input + " -> " + c.output + " " + c.frames);
        fs::remove(sbatchLog);
        const std::vector<std::string> before = filesIn(dir);
        std::vector<std::string> argv = {"submit", "--farm", "slurm", c.input, "-o", c.output, "--frames", c.frames,
                                         "--set", "Screen Color=0.1,0.6,0.1"};
        if (!c.screenMap.empty())
            argv.insert(argv.end(), {"--screen-map", c.screenMap});
        const Result r = submit(argv);
        EXPECT_EQ(r.exitCode, 2) << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
        EXPECT_EQ(filesIn(dir), before);
        EXPECT_TRUE(filesIn(dir / "sub").empty());
        EXPECT_FALSE(fs::exists(sbatchLog));
    }
}

// Two submits to one output at the same moment leave one job: the other is
// refused naming the frozen file, which stays the one the job's tasks check.
TEST_F(SubmitTest, TwoSubmitsToOneOutputAtOnceLeaveOneJob)
{
    // Large enough that finding the screen and clips on frame 1 keeps both
    // between looking for the frozen file and writing their own.
    for (int f = 1; f <= 2; ++f)
        writePlate(framePath(f), {"R", "G", "B"}, OIIO::TypeDesc::HALF, 1600, 900, static_cast<unsigned>(f));
    const std::string settings = path("k.####.exr.farm.settings");
    const auto submitWith = [&](const char* gain) {
        return std::async(std::launch::async, [this, gain] {
            return submit({"submit", "--farm", "slurm", "p.####.exr", "-o", "k.####.exr", "--frames", "1-2",
                           "--screen-map", "auto", "--clip", "auto", "--set", std::string("Screen Gain=") + gain});
        });
    };
    for (int attempt = 0; attempt < 3; ++attempt) {
        fs::remove(settings);
        auto first = submitWith("1");
        auto second = submitWith("1.1");
        const Result a = first.get(), b = second.get();
        ASSERT_EQ((a.exitCode == 0) + (b.exitCode == 0), 1) << a.output << "\n" << b.output;
        const Result& refused = a.exitCode == 0 ? b : a;
        EXPECT_EQ(refused.exitCode, 2) << refused.output;
        EXPECT_NE(refused.output.find(settings), std::string::npos) << refused.output;
        EXPECT_NE(fileBytes(path("k.####.exr.farm.sh")).find(sha256sum(settings)),
                  std::string::npos);
    }
}
