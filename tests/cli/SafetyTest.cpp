// SPDX-License-Identifier: Apache-2.0
// What a failed, hostile or mistaken run must never do: lose or replace a
// file it should not, write through a planted link, or report success.

#include "VeilcastFixture.h"

#include <sys/mount.h>
#include <sys/stat.h>

#include <cmath>
#include <csignal>
#include <fstream>
#include <map>

namespace {

std::string hostName()
{
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

class SafetyTest : public VeilcastTest {
protected:
    std::string plate(const std::string& name = "plate.exr", int w = 64, int h = 48)
    {
        return writePlate(name, {"R", "G", "B"}, OIIO::TypeDesc::FLOAT, w, h);
    }
    std::vector<std::string> hidden() const
    {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir))
            if (e.path().filename().string()[0] == '.')
                names.push_back(e.path().filename().string());
        return names;
    }
};

const char* const kKey = " --set 'Screen Color=0.1,0.6,0.1' -q";

// A disk that fills up in the middle of a write: the run fails, names the
// output, and the previous output survives byte for byte.
TEST_F(SafetyTest, FullDiskFailsAndKeepsThePreviousOutput)
{
    const fs::path small = dir / "small";
    fs::create_directories(small);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    struct Unmount {
        fs::path p;
        ~Unmount() { umount2(p.c_str(), MNT_DETACH); }
    } unmount{small};

    const std::string in = plate("plate.exr", 160, 120);
    for (const char* name : {"keyed.exr", "keyed.png", "keyed.tif"}) {
        const std::string out = (small / name).string();
        ASSERT_EQ(veilcast(quoted(plate("prev.exr", 8, 8)) + " -o " + quoted(out) + kKey).exitCode, 0) << name;
        const std::string before = fileBytes(out);
        // Leave a few pages free: enough for the header, not the pixels.
        std::error_code ec;
        const auto space = fs::space(small, ec);
        ASSERT_FALSE(ec);
        std::ofstream((small / "filler").string(), std::ios::binary)
            << std::string(static_cast<std::size_t>(space.available) - 16384, 'x');

        const Result r = veilcast(quoted(in) + " -o " + quoted(out) + kKey);
        EXPECT_EQ(r.exitCode, 1) << name << ": " << r.output;
        EXPECT_NE(r.output.find(out), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find(".veilcast-"), std::string::npos) << "names the hidden file: " << r.output;
        EXPECT_TRUE(fileBytes(out) == before) << name << ": the previous output changed";
        fs::remove(small / "filler");
        std::vector<std::string> left;
        for (const auto& e : fs::directory_iterator(small))
            left.push_back(e.path().filename().string());
        EXPECT_EQ(left, std::vector<std::string>{name});
        fs::remove(out);
    }
}

// Someone who can write to the output folder plants links under every name
// a run might use; none of them is followed.
TEST_F(SafetyTest, PlantedLinksAreNeverWrittenThrough)
{
    const std::string in = plate();
    const std::string victim = path("victim.txt");
    std::ofstream(victim) << "precious";
    const pid_t next = getpid();
    for (pid_t pid = next; pid < next + 400; ++pid)
        for (int n = 0; n < 2; ++n)
            fs::create_symlink(victim, dir / (".keyed.veilcast-" + std::to_string(pid) + "-" + std::to_string(n) + ".exr"));
    fs::create_symlink(victim, dir / "linked.exr");

    EXPECT_EQ(veilcast(quoted(in) + " -o " + quoted(path("keyed.exr")) + kKey).exitCode, 0);
    const Result linked = veilcast(quoted(in) + " -o " + quoted(path("linked.exr")) + kKey);
    EXPECT_EQ(linked.exitCode, 2);
    EXPECT_NE(linked.output.find("symbolic link"), std::string::npos) << linked.output;
    EXPECT_EQ(fileBytes(victim), "precious");
    EXPECT_EQ(read(path("keyed.exr")).spec().nchannels, 4);
    EXPECT_TRUE(fs::is_symlink(dir / "linked.exr"));
}

// The folder a run writes in before moving the result into place is private.
TEST_F(SafetyTest, PendingOutputIsPrivateAndRecognisable)
{
    const std::string in = plate("plate.exr", 512, 512);
    const std::string out = path("keyed.exr");
    const std::string command = "'" VEILCAST_BINARY "' " + quoted(in) + " -o " + quoted(out) + kKey;
    FILE* run = popen(command.c_str(), "r");
    bool seen = false;
    for (int i = 0; i < 20000 && !seen; ++i) {
        for (const std::string& name : hidden()) {
            struct stat st;
            if (name.rfind(".veilcast-", 0) == 0 && lstat((dir / name).c_str(), &st) == 0) {
                EXPECT_TRUE(S_ISDIR(st.st_mode)) << name;
                EXPECT_EQ(st.st_mode & 0777, 0700u) << name;
                EXPECT_NE(name.find("@" + hostName() + "-"), std::string::npos) << name;
                seen = true;
            }
        }
        usleep(50);
    }
    EXPECT_EQ(pclose(run), 0);
    if (!seen)
        GTEST_SKIP() << "the run finished before its folder could be seen";
    EXPECT_TRUE(hidden().empty());
}

// A run killed outright leaves its folder; the next run in that folder
// removes it once its process is gone, and touches nothing else.
TEST_F(SafetyTest, LeftoversOfKilledRunsAreRemoved)
{
    const std::string in = plate();
    pid_t dead = fork();
    if (dead == 0)
        _exit(0);
    waitpid(dead, nullptr, 0);
    const std::string host = hostName();
    const std::string stale = ".veilcast-" + std::to_string(dead) + "@" + host + "-AbC123";
    const std::string live = ".veilcast-" + std::to_string(getpid()) + "@" + host + "-DeF456";
    const std::string elsewhere = ".veilcast-" + std::to_string(dead) + "@another-host-GhI789";
    for (const std::string& d : {stale, live, elsewhere}) {
        fs::create_directories(dir / d);
        std::ofstream((dir / d / "keyed.exr").string()) << "partial";
    }
    fs::create_directories(dir / "elsewhere");
    std::ofstream((dir / "elsewhere" / "keep.txt").string()) << "keep";
    const std::string linkName = ".veilcast-" + std::to_string(dead) + "@" + host + "-JkL012";
    fs::create_directory_symlink(dir / "elsewhere", dir / linkName);

    EXPECT_EQ(veilcast(quoted(in) + " -o " + quoted(path("keyed.exr")) + kKey).exitCode, 0);
    EXPECT_FALSE(fs::exists(dir / stale));
    EXPECT_TRUE(fs::exists(dir / live / "keyed.exr"));
    EXPECT_TRUE(fs::exists(dir / elsewhere / "keyed.exr"));
    EXPECT_EQ(fileBytes((dir / "elsewhere" / "keep.txt").string()), "keep");
}

TEST_F(SafetyTest, PreviewNeverReplacesAnInputOrOutput)
{
    for (int f = 1; f <= 3; ++f)
        plate("p." + std::to_string(f) + ".exr", 16, 8);
    const std::string one = plate("one.exr", 16, 8);
    ASSERT_EQ(veilcast(quoted(one) + " -o " + quoted(path("k.exr")) + kKey).exitCode, 0);
    fs::create_hard_link(path("k.exr"), path("hard.exr"));
    fs::create_symlink(path("p.2.exr"), path("soft.exr"));
    const std::string seq = quoted(path("p.#.exr")) + " -o " + quoted(path("q.#.exr")) + " --frames 1-3";
    const std::string single = quoted(one) + " -o " + quoted(path("k.exr"));
    const struct {
        std::string args;
        std::string preview;
    } cases[] = {
        {seq, path("p.2.exr")},
        {seq, (dir / "." / "q.3.exr").string()},
        {seq, path("soft.exr")},
        {single, path("k.exr")},
        {single, "./" + fs::relative(path("k.exr")).string()},
        {single, path("hard.exr")},
        {single, one},
    };
    std::map<std::string, std::string> before;
    for (const auto& e : fs::directory_iterator(dir))
        before[e.path().string()] = fileBytes(e.path().string());
    for (const auto& c : cases) {
        const Result r = veilcast(c.args + " --preview " + quoted(c.preview) + kKey);
        EXPECT_EQ(r.exitCode, 2) << c.preview << ": " << r.output;
        EXPECT_NE(r.output.find(c.preview + ": "), std::string::npos) << r.output;
    }
    std::map<std::string, std::string> after;
    for (const auto& e : fs::directory_iterator(dir))
        after[e.path().string()] = fileBytes(e.path().string());
    EXPECT_EQ(before, after);
}

// Outputs that cannot be written as asked are refused before any keying,
// naming the path the user gave.
TEST_F(SafetyTest, OutputPathsAreCheckedFirst)
{
    const std::string in = plate();
    fs::create_directories(dir / "adir");
    const struct {
        std::string output;
        int status;
        std::string says;
    } cases[] = {
        {path("adir"), 2, "is a directory"},
        {path("missing/k.exr"), 1, "does not exist"},
        {path("k.unknownformat"), 2, "cannot write this kind of file"},
    };
    for (const auto& c : cases) {
        const Result r = veilcast(quoted(in) + " -o " + quoted(c.output) + kKey);
        EXPECT_EQ(r.exitCode, c.status) << c.output << ": " << r.output;
        EXPECT_NE(r.output.find(c.output + ": "), std::string::npos) << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    }
    EXPECT_TRUE(fs::is_empty(dir / "adir"));
}

TEST_F(SafetyTest, FrameRangesAreLazyAndChecked)
{
    plate("p.0001.exr", 8, 8);
    plate("p.0003.exr", 8, 8);
    const std::string seq = quoted(path("p.####.exr")) + " -o " + quoted(path("k.####.exr")) + kKey;
    const struct {
        std::string frames;
        int status;
        std::string says;
    } cases[] = {
        {"1-2147483647", 1, "2147483645 of 2147483647 frames"},
        {"1001-99999999999", 2, "99999999999 is out of range"},
        {"-2147483649", 2, "-2147483649 is out of range"},
        {"1-3", 1, "missing: 2 (nothing was keyed"},
        {"3-1", 2, "runs backwards"},
    };
    for (const auto& c : cases) {
        const Result r = veilcast(seq + " --frames=" + c.frames);
        EXPECT_EQ(r.exitCode, c.status) << c.frames << ": " << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << c.frames << ": " << r.output;
    }
    expectOnly({"p.0001.exr", "p.0003.exr"});

    const Result skipped = veilcast(seq + " --frames 1-5 --skip-missing");
    EXPECT_EQ(skipped.exitCode, 3) << skipped.output;
    EXPECT_NE(skipped.output.find("skipped 3 missing frames: 2, 4-5"), std::string::npos) << skipped.output;
    expectOnly({"p.0001.exr", "p.0003.exr", "k.0001.exr", "k.0003.exr"});
}

TEST_F(SafetyTest, ImagesOverThePixelLimitAreRefusedBeforeReading)
{
    const std::string in = plate("big.exr", 64, 48);
    const Result r = veilcast(quoted(in) + " -o " + quoted(path("k.exr")) + " --max-pixels 3071" + kKey);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("big.exr: 64x48 is 3072 pixels, more than the limit of 3071"), std::string::npos)
        << r.output;
    EXPECT_EQ(veilcast(quoted(in) + " -o " + quoted(path("k.exr")) + " --max-pixels 3072" + kKey).exitCode, 0);
}

TEST_F(SafetyTest, SettingsFilesAreBoundedAndMessagesEscaped)
{
    const std::string in = plate();
    const auto write = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(path(name), std::ios::binary) << bytes;
        return path(name);
    };
    const std::string bom = write("bom.txt", "\xEF\xBB\xBFScreen Color=0.1,0.6,0.1\n");
    const std::string escape = write("esc.txt", "Screen\x1B]0;owned\x07 Color=1\n");
    const std::string huge = write("huge.txt", std::string(2 << 20, '#'));
    mkfifo(path("fifo").c_str(), 0600);
    const struct {
        std::string settings;
        int status;
        std::string says;
    } cases[] = {
        {bom, 0, ""},
        {dir.string(), 2, "not a regular file"},
        {"/dev/zero", 2, "not a regular file"},
        {path("fifo"), 2, "not a regular file"},
        {huge, 2, "larger than 1048576 bytes"},
        {escape, 2, "unknown control \"Screen\\x1B]0;owned\\x07 Color\""},
    };
    for (const auto& c : cases) {
        const Result r = veilcast(quoted(in) + " -o " + quoted(path("k.exr")) + " -q --settings " + quoted(c.settings));
        EXPECT_EQ(r.exitCode, c.status) << c.settings << ": " << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find('\x1B'), std::string::npos) << "raw escape echoed";
    }
}

TEST_F(SafetyTest, ValuesMustBeFiniteAndDoubtfulOnesAreWarnedAbout)
{
    const std::string in = plate();
    const std::string run = quoted(in) + " -o " + quoted(path("k.exr")) + " -q";
    for (const char* bad : {"'Screen Color=inf'", "'Screen Color=0,1e40,0'", "'Screen Gain=inf'", "'Screen Gain=-1e39'",
                            "'Clip Black=nan'"}) {
        const Result r = veilcast(run + " --set " + bad);
        EXPECT_EQ(r.exitCode, 2) << bad << ": " << r.output;
        EXPECT_NE(r.output.find("finite"), std::string::npos) << r.output;
    }
    const Result gain = veilcast(run + " --set 'Screen Color=0,1,0' --set 'Screen Gain=2.5'");
    EXPECT_EQ(gain.exitCode, 0);
    EXPECT_EQ(gain.output, "veilcast: warning: Screen Gain 2.5 lies outside its slider range 0..2\n");
    const Result clip = veilcast(run + " --set 'Screen Color=0,1,0' --set 'Clip Black=0.5' --set 'Clip White=0.5'");
    EXPECT_EQ(clip.exitCode, 0);
    EXPECT_NE(clip.output.find("Clip Black 0.5 is not below Clip White 0.5"), std::string::npos) << clip.output;
    EXPECT_EQ(veilcast(run + " --set 'Screen Color=0,1,0'").output, "");

    // NaN pixels, which no integer holds, are written as black and counted by name.
    OIIO::ImageBuf nan(OIIO::ImageSpec(3, 2, 3, OIIO::TypeDesc::FLOAT));
    const float grey[3] = {0.2f, 0.2f, 0.2f}, partly[3] = {0.2f, NAN, 0.2f}, none[3] = {NAN, NAN, NAN};
    OIIO::ImageBufAlgo::fill(nan, grey);
    nan.setpixel(0, 0, partly, 3);
    nan.setpixel(2, 1, none, 3);
    ASSERT_TRUE(nan.write(path("nan.exr")));
    const Result r = veilcast(quoted(path("nan.exr")) + " -o " + quoted(path("nan.png")) + " -q --set 'Screen Color=0,1,0'");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output, "veilcast: warning: " + path("nan.png") + ": 2 pixels were not a number (NaN), which its "
                        "integer format cannot hold: written as 0 (black)\n");
    const OIIO::ImageBuf png = read(path("nan.png"));
    EXPECT_EQ(png.getchannel(0, 0, 0, 1), 0.0f);
    EXPECT_EQ(png.getchannel(2, 1, 0, 0), 0.0f);
    EXPECT_GT(png.getchannel(0, 0, 0, 0), 0.4f);  // its other channels as keyed
}

TEST_F(SafetyTest, ExitStatusesFollowOneScheme)
{
    const std::string in = plate();
    const std::string out = " -o " + quoted(path("k.exr"));
    const struct {
        std::string args;
        int status;
    } cases[] = {
        {"--help", 0},
        {quoted(in) + out + kKey, 0},
        {"--no-such-option", 2},
        {quoted(in), 2},
        {quoted(in) + out + " --threads -1", 2},
        {quoted(in) + out + " --threads 2x", 2},
        {quoted(in) + out + " -d int7", 2},
        {quoted(in) + out + " --set NoSuchKnob=1", 2},
        {quoted(in) + out + " --pick-screen 1,2", 2},
        {quoted(in) + out + " --pick-screen 64,0,70,47", 2},  // a box beside the 64x48 image
        {quoted(in) + out + " --pick-screen 60,40,64,47", 2},  // one reaching past its right edge
        {quoted(in) + out + " --set Screen=0,1,0", 2},       // a name is whole, not a prefix
        {quoted(in) + out + " --frames 1-2", 2},
        {quoted(path("missing.exr")) + out, 1},
        // Leaving missing frames out keys what there is; with none there, nothing was keyed.
        {quoted(path("p.####.exr")) + " -o " + quoted(path("k.####.exr")) + " --frames 5-6 --skip-missing" + kKey, 1},
    };
    for (const auto& c : cases) {
        const Result r = veilcast(c.args);
        EXPECT_EQ(r.exitCode, c.status) << c.args << ": " << r.output;
    }
    EXPECT_NE(veilcast("--threads -1 x -o y").output.find("--threads takes a count"), std::string::npos);
    for (const char* box : {"64,0,70,47", "60,40,64,47"}) {
        const std::string said = veilcast(quoted(in) + out + " --pick-screen " + box).output;
        EXPECT_NE(said.find(std::string("the pick box ") + box + " reaches outside the image's pixels (data window 0,0 to 63,47)"),
                  std::string::npos) << said;
    }
    EXPECT_NE(veilcast("--help").output.find("2 a usage error"), std::string::npos);
}

}  // namespace

// Every kind of job (still, sequence, movie, animated image) refuses to write
// over anything it reads or writes, however the file is spelled, and the
// plate as its own clean plate: exit 2, the file named, every byte as it was.
TEST_F(SafetyTest, NoJobWritesOverWhatItReads)
{
    const auto run = [](const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; };
    const std::string ffmpeg = "cd " + quoted(dir.string()) + " && ffmpeg -v error -y -f lavfi -i color=green:s=32x16:r=24 ";
    run(ffmpeg + "-frames:v 3 -c:v mjpeg clip.mov && " + ffmpeg + "-frames:v 3 -c:v mjpeg clean.mov && " + ffmpeg +
        "-frames:v 6 -plays 0 -f apng anim.png");
    for (int f = 1; f <= 3; ++f) {
        plate("p.000" + std::to_string(f) + ".png", 32, 16);
        plate("c.000" + std::to_string(f) + ".png", 32, 16);
    }
    plate("p.1001.png", 32, 16);  // a plate outside the frames keyed is a plate too
    plate("a.exr", 32, 16);
    fs::create_hard_link(path("a.exr"), path("hard.exr"));
    fs::create_symlink(path("p.0002.png"), path("soft.png"));
    fs::create_directory_symlink(dir, dir / "same");
    std::ofstream(path("shot.keyer")) << "Screen Color=0.1,0.6,0.1\n";
    fs::copy_file(path("p.0001.png"), path("e#1.png"));
    for (int f = 1; f <= 3; ++f) {  // a pattern's folder numbered too: no listing tells its frames
        const std::string n = std::to_string(f);
        fs::create_directory(dir / ("s" + n));
        fs::copy_file(path("c.000" + n + ".png"), path("s" + n + "/c.000" + n + ".png"));
    }
    const struct {
        std::string args;
        std::string says;
    } cases[] = {
        {"a.exr -o ./a.exr", "./a.exr: the output would overwrite the input"},
        {"a.exr -o hard.exr", "hard.exr: the output would overwrite the input"},
        {"a.exr -o same/a.exr", "same/a.exr: the output would overwrite the input"},
        {"a.exr -o k.exr --screen-map ./a.exr", "the clean plate given to --screen-map is the plate being keyed"},
        {"a.exr -o k.exr --screen-map hard.exr", "the clean plate given to --screen-map is the plate being keyed"},
        {"a.exr -o k.exr --preview shot.keyer --settings shot.keyer", "shot.keyer: the preview would overwrite"},
        {"clip.mov -o clean.mov --screen-map clean.mov", "clean.mov: the output would overwrite the clean plate"},
        {"clip.mov -o same/clip.mov", "same/clip.mov: the output would overwrite the input"},
        {"clip.mov -o k.mov --screen-map ./clip.mov", "the clean plate given to --screen-map is the plate being keyed"},
        {"clip.mov -o c.####.png --frames 1-3 --screen-map c.####.png", "c.0001.png: the output would overwrite"},
        {"clip.mov -o c.####.png --screen-map ./c.%04d.png", "c.0001.png: the output would overwrite"},
        {"clip.mov -o k.mov --preview clean.mov --screen-map clean.mov", "clean.mov: the preview would overwrite"},
        {"anim.png -o k.mov --preview anim.png", "anim.png: the preview would overwrite the input"},
        {"p.####.png -o k.mov --frames 1-3 --preview p.0001.png", "p.0001.png: the preview would overwrite the input"},
        {"p.####.png -o k.mov --frames 1-3 --preview soft.png", "soft.png: the preview would overwrite the input"},
        {"p.####.png -o k.####.png --frames 1-3 --screen-map ./p.%04d.png", "the clean plate given to --screen-map"},
        {"p.####.png -o k.####.png --frames 1-3 --preview k.0002.png", "k.0002.png: the preview would overwrite the output"},
        {"p.####.png -o same/c.@@@@.png --frames 2-3 --screen-map c.####.png", "c.0002.png: the output would overwrite"},
        {"p.####.png -o p.1###.png --frames 1-3", "p.1001.png: the output would overwrite the input"},
        {"clip.mov -o 's#/c.####.png' --screen-map './s#/c.%04d.png'", "the output would overwrite the clean plate"},
        // The preview is written by its name as given, '#' and all.
        {"'e\\#1.png' -o k.png --preview 'e#1.png'", "e#1.png: the preview would overwrite the input"},
    };
    std::map<std::string, std::string> before;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file())
            before[e.path().string()] = fileBytes(e.path().string());
    for (const auto& c : cases) {
        const Result r = veilcast(c.args + kKey, "cd " + quoted(dir.string()) + " && ");
        EXPECT_EQ(r.exitCode, 2) << c.args << ": " << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << c.args << ": " << r.output;
    }
    std::map<std::string, std::string> after;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file())
            after[e.path().string()] = fileBytes(e.path().string());
    EXPECT_EQ(before, after);
    EXPECT_TRUE(hidden().empty());
}

// A value that is empty (an unset shell variable), out of the range a job
// can take, or meant for another kind of job is refused, never ignored.
TEST_F(SafetyTest, ValuesThatCannotBeMeantAreRefused)
{
    const std::string in = quoted(plate("a.exr", 16, 8)) + " -o " + quoted(path("k.exr")) + " -q";
    ASSERT_EQ(std::system(("ffmpeg -v error -y -f lavfi -i color=green:s=32x16:r=24 -frames:v 2 -c:v mjpeg " +
                           quoted(path("clip.mov")))
                              .c_str()),
              0);
    const std::string movie = quoted(path("clip.mov")) + " -o " + quoted(path("k.mov")) + " -q";
    const std::string frozen = " --frozen-settings " + quoted(path("f.settings")) + " --settings-sha256 " +
                               std::string(64, 'a');
    const struct {
        std::string args;
        std::string says;
    } cases[] = {
        {in + " --screen-map ''", "--screen-map: takes a value, not an empty one"},
        {in + " --settings ''", "--settings: takes a value, not an empty one"},
        {in + " --clip ''", "--clip: takes a value, not an empty one"},
        {in + " --pick-screen ''", "--pick-screen: takes a value, not an empty one"},
        {in + " --preview ''", "--preview: takes a value, not an empty one"},
        {in + " --set ''", "--set: takes a value, not an empty one"},
        {"submit --farm slurm " + quoted(path("p.####.exr")) + " -o " + quoted(path("k.####.exr")) +
             " --frames 1-2 --settings ''",
         "--settings: takes a value, not an empty one"},
        {"submit --farm slurm " + quoted(path("p.####.exr")) + " -o " + quoted(path("k.####.exr")) +
             " --frames 1-2 --partition ''",
         "--partition: takes a value, not an empty one"},
        {in + " --threads 65537", "--threads takes a count of threads from 0 (every core) to 1024, not 65537"},
        {in + " --threads 1025", "not 1025"},
        {movie + " --fps 25", "--fps is for a movie made from an image sequence"},
        {in + " --date-time '2026:13:40 25:00:00'", "--date-time takes now, source or a real"},
        {in + " --date-time '2026:02:29 12:00:00'", "not \"2026:02:29 12:00:00\""},
        // Before keying: a sheet refused after it would leave the output replaced.
        {in + " --preview " + quoted(path("p.exr")), "--preview writes an 8-bit sheet, which"},
        {movie + " --layer fg", "--layer is for images with layers; a movie is keyed from its video stream"},
        {movie + " -d half", "-d is for images; a movie is written at its codec's depth"},
        {in + frozen + " --clip auto", "--frozen-settings holds the clip levels chosen"},
    };
    for (const auto& c : cases) {
        const Result r = veilcast(c.args);
        EXPECT_EQ(r.exitCode, 2) << c.args << ": " << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << c.args << ": " << r.output;
    }
    expectOnly({"a.exr", "clip.mov"});
    // A movie's --part picks its video stream: taken, unlike its --layer.
    const Result part = veilcast(movie + " --part 0 --set 'Screen Color=0,1,0'");
    EXPECT_EQ(part.exitCode, 0) << part.output;
}
