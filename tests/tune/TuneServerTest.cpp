// SPDX-License-Identifier: Apache-2.0
// The tuning server's HTTP interface, checked against the command-line tool:
// what the page shows and saves must be what `veilcast` keys.

#include "TuneFixture.h"

#include "veilcast/common/UsageError.h"
#include "veilcast/session/ShellQuote.h"
#include "ColourConfigFile.h"

#include <OpenImageIO/strutil.h>

#include <cmath>
#include <cstring>
#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace {

std::uint32_t bits(float v)
{
    std::uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// The control table written out as `veilcast --list-knobs` prints it.
std::string listKnobsFrom(const json& table)
{
    std::ostringstream os;
    std::string indent, group;
    for (const json& c : table) {
        if (c["kind"] == "group") {
            os << "\n" << c["label"].get<std::string>() << " (group " << c["name"].get<std::string>() << ")\n";
            group = c["name"];
            continue;
        }
        indent = c["group"] == "" ? "" : "  ";
        const std::string text = c["defaultText"];
        os << indent
           << OIIO::Strutil::fmt::format("{:<22} {:<28} {:<6} default {}", c["label"].get<std::string>(),
                                         c["name"].get<std::string>(), c["kind"].get<std::string>(),
                                         c["kind"] == "enum" ? "\"" + text + "\"" : text);
        if (!c["range"].is_null())
            os << OIIO::Strutil::fmt::format("  slider {}..{}", c["range"][0].get<double>(), c["range"][1].get<double>());
        if (c["kind"] == "enum") {
            os << "  items:";
            for (std::size_t i = 0; i < c["items"].size(); ++i)
                os << (i ? "," : "") << " " << i << " \"" << c["items"][i].get<std::string>() << "\"";
        }
        os << "\n";
    }
    return os.str();
}

std::string pluginOption()
{
    return "--plugin-path '" + fs::path(VEILCAST_PLUGIN_FILE).parent_path().string() + "'";
}

TEST_F(TuneTest, ControlListIsWhatListKnobsPrints)
{
    serve(plate);
    // The tuner keys through the screen-map keyer, so that a map can be turned on.
    const Result knobs = runVeilcast("--list-knobs --screen-map auto " + pluginOption());
    ASSERT_EQ(knobs.exitCode, 0) << knobs.output;
    EXPECT_EQ(listKnobsFrom(get("/api/controls")), knobs.output);
}

TEST_F(TuneTest, ControlChangesKeyAsSetDoes)
{
    serve(plate);
    post("/api/control", {{"name", "Clip Black"}, {"value", "0.1"}});
    post("/api/control", {{"name", "ScreenGainKnob"}, {"value", "1.2"}});
    const json state = post("/api/control", {{"name", "Inside Replace"}, {"value", "Hard Color"}});
    const std::string screen = state["values"]["ScreenColorKnob"]["text"];

    const Result keyed = runVeilcast("'" + plate + "' -o '" + path("keyed.exr") + "' -d float " + pluginOption() +
                                  " --set 'Screen Color=" + screen +
                                  "' --set 'Clip Black=0.1' --set 'Screen Gain=1.2' --set 'Inside Replace=Hard Color'");
    ASSERT_EQ(keyed.exitCode, 0) << keyed.output;
    OIIO::ImageBuf file(path("keyed.exr"));
    ASSERT_TRUE(file.read(0, 0, true, OIIO::TypeDesc::FLOAT));
    int partial = 0;
    for (int y = 0; y < 40; y += 3) {
        for (int x = 0; x < 64; x += 5) {
            const json probe = get("/api/probe?x=" + std::to_string(x) + "&y=" + std::to_string(y));
            float expected[4];
            file.getpixel(x, y, expected, 4);
            ASSERT_EQ(probe["keyed"].size(), 4u);
            for (int c = 0; c < 4; ++c)
                EXPECT_EQ(bits(probe["keyed"][c].get<float>()), bits(expected[c])) << x << "," << y << " channel " << c;
            partial += expected[3] > 0.0f && expected[3] < 1.0f;
        }
    }
    EXPECT_GT(partial, 0) << "the plate should have edges between backing and subject";

    // The matte view at 1:1 shows the same alpha, as bytes.
    auto res = client().Get("/api/image?view=matte&region=0,0,64,40");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    ASSERT_EQ(res->body.size(), 64u * 40u * 4u);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 64; ++x) {
            const float a = file.getchannel(x, y, 0, 3);
            const int expected = a <= 0 ? 0 : a >= 1 ? 255 : static_cast<int>(a * 255.0f + 0.5f);
            ASSERT_EQ(static_cast<unsigned char>(res->body[(static_cast<std::size_t>(y) * 64 + x) * 4]), expected)
                << x << "," << y;
        }
}

TEST_F(TuneTest, EyedropperBoxPicksAsTheToolDoes)
{
    serve(plate);
    // The backing is the left half: a box there averages it, as --pick-screen does.
    json state = post("/api/pick", {{"box", {2, 3, 20, 30}}});
    const Result boxPick = runVeilcast("'" + plate + "' -o '" + path("k.exr") + "' --pick-screen 2,3,20,30 " + pluginOption());
    ASSERT_EQ(boxPick.exitCode, 0) << boxPick.output;
    EXPECT_NE(boxPick.output.find("picked screen colour " + state["values"]["ScreenColorKnob"]["text"].get<std::string>()),
              std::string::npos)
        << boxPick.output << state.dump();
    // Worked out here too: the mean green of the box is the backing's.
    OIIO::ImageBuf file(plate);
    double green = 0;
    for (int y = 3; y <= 30; ++y)
        for (int x = 2; x <= 20; ++x)
            green += file.getchannel(x, y, 0, 1);
    EXPECT_NEAR(state["values"]["ScreenColorKnob"]["value"][1].get<double>(), green / (19 * 28), 1e-5);

    // A box off the image picks nothing and says so.
    const json refused = post("/api/pick", {{"box", {500, 500, 600, 600}}}, 400);
    EXPECT_NE(refused["error"].get<std::string>().find("reaches outside the image's pixels"), std::string::npos);
}

// Auto finds the screen colour, the screen map and the clips as the
// command line's flags do: the same values, and the same key pixel for pixel;
// the command Save shows keys with the map too. One undo restores it all.
TEST_F(TuneTest, AutoFindsWhatTheFlagsFindAndUndoesAtOnce)
{
    serve(plate);
    const auto text = [](const json& s, const char* name) { return s["values"][name]["text"].get<std::string>(); };
    const auto keyedAt = [&](int x, int y) { return get("/api/probe?x=" + std::to_string(x) + "&y=" + std::to_string(y))["keyed"]; };
    json before = post("/api/control", {{"name", "Screen Color"}, {"value", "0.1,0.5,0.1"}});
    before = post("/api/control", {{"name", "Clip Black"}, {"value", "0.05"}});
    EXPECT_EQ(text(before, "UseScreenMapKnob"), "off");
    const json keyedBefore = keyedAt(30, 20);

    const json state = post("/api/auto", json::object());
    EXPECT_EQ(text(state, "UseScreenMapKnob"), "on");
    const Result flags = runVeilcast("'" + plate + "' -o '" + path("k.exr") +
                                     "' -d float --pick-screen auto --screen-map auto --clip auto " + pluginOption());
    ASSERT_EQ(flags.exitCode, 0) << flags.output;
    EXPECT_NE(flags.output.find("picked screen colour " + text(state, "ScreenColorKnob")), std::string::npos)
        << flags.output << state.dump();
    EXPECT_NE(flags.output.find("--set \"Clip Black=" + text(state, "ClipBlackKnob") + "\" --set \"Clip White=" +
                                text(state, "ClipWhiteKnob") + "\" --set \"Screen Balance=" +
                                text(state, "ScreenBalanceKnob") + "\""),
              std::string::npos)
        << flags.output << state.dump();
    EXPECT_NE(text(state, "ClipWhiteKnob"), "1") << "the plate's subject should set a clip";
    OIIO::ImageBuf file(path("k.exr"));
    ASSERT_TRUE(file.read(0, 0, true, OIIO::TypeDesc::FLOAT));
    for (int y = 0; y < 40; y += 3)
        for (int x = 0; x < 64; x += 5) {
            const json keyed = keyedAt(x, y);
            float expected[4];
            file.getpixel(x, y, expected, 4);
            for (int c = 0; c < 4; ++c)
                ASSERT_EQ(bits(keyed[c].get<float>()), bits(expected[c])) << x << "," << y << " channel " << c;
        }

    const std::string line = post("/api/save", json::object())["commandLine"];
    EXPECT_EQ(line, "veilcast " + plate + " -o " + path("plate_keyed.exr") + " --settings " + path("plate.keyer") +
                        " --screen-map auto");
    const Result saved = runVeilcast(line.substr(9) + " -d float " + pluginOption());
    ASSERT_EQ(saved.exitCode, 0) << saved.output;
    OIIO::ImageBuf again(path("plate_keyed.exr"));
    EXPECT_EQ(bits(again.getchannel(30, 20, 0, 3)), bits(file.getchannel(30, 20, 0, 3)));

    const json undone = post("/api/undo", json::object());
    for (const char* name : {"ScreenColorKnob", "ClipBlackKnob", "ClipWhiteKnob", "UseScreenMapKnob"})
        EXPECT_EQ(text(undone, name), text(before, name)) << name;
    EXPECT_EQ(keyedAt(30, 20), keyedBefore);
    EXPECT_EQ(undone["commandLine"].get<std::string>().find("--screen-map"), std::string::npos);
}

// On a shot, Auto chooses as `veilcast` does before a sequence's first frame,
// whether it writes images or a movie: over frames spread across the shot,
// not the one shown. Frames 2 and 3, grainier than frame 1, outvote it.
TEST_F(TuneTest, AutoOnAShotChoosesOverTheShot)
{
    fs::copy_file(plate, path("shot.0001.exr"));
    for (int f : {2, 3})
        writePlate("shot.000" + std::to_string(f) + ".exr", 64, 40, 0.2f);
    const auto clipsOf = [&](const std::string& args) {
        const Result r = runVeilcast(args + " --screen-map shot --clip auto " + pluginOption());
        EXPECT_EQ(r.exitCode, 0) << r.output;
        const std::size_t at = r.output.find("--set \"Clip Black=");
        return at == std::string::npos ? std::string() : r.output.substr(at, r.output.find(')', at) - at);
    };
    const std::string shot = clipsOf("'" + path("shot.####.exr") + "' -o '" + path("k.####.exr") + "' --frames 1-3 -d float");
    ASSERT_FALSE(shot.empty());
    ASSERT_NE(shot, clipsOf("'" + path("shot.0001.exr") + "' -o '" + path("k.exr") + "'"))
        << "frame 1 alone should choose otherwise, or this shows nothing";
    EXPECT_EQ(shot, clipsOf("'" + path("shot.####.exr") + "' -o '" + path("k.mkv") + "' --frames 1-3"));

    veilcast::KeyJobOptions job;
    job.screenMap.kind = veilcast::ScreenMapChoice::Kind::Shot;
    serve(path("shot.####.exr"), "", {}, job);
    const json state = post("/api/auto", json::object());
    const auto text = [&](const char* name) { return state["values"][name]["text"].get<std::string>(); };
    EXPECT_EQ(shot, "--set \"Clip Black=" + text("ClipBlackKnob") + "\" --set \"Clip White=" + text("ClipWhiteKnob") +
                        "\" --set \"Screen Balance=" + text("ScreenBalanceKnob") + "\"");
    // The probe shows the shot's key of the frame, its edges included: the
    // denoised view reads each pixel's neighbours.
    OIIO::ImageBuf file(path("k.0001.exr"));
    ASSERT_TRUE(file.read(0, 0, true, OIIO::TypeDesc::FLOAT));
    for (const int y : {0, 1, 17, 38, 39})
        for (int x = 0; x < 64; ++x) {
            const json keyed = get("/api/probe?x=" + std::to_string(x) + "&y=" + std::to_string(y))["keyed"];
            float expected[4];
            file.getpixel(x, y, expected, 4);
            for (int c = 0; c < 4; ++c)
                ASSERT_EQ(bits(keyed[c].get<float>()), bits(expected[c])) << x << "," << y << " channel " << c;
        }
}

TEST_F(TuneTest, SaveWritesTheSettingsAndTheCommandKeysWithThem)
{
    serve(plate);
    post("/api/control", {{"name", "Clip White"}, {"value", "0.8"}});
    const json saved = post("/api/save", json::object());
    EXPECT_EQ(saved["file"], path("plate.keyer"));
    std::ifstream in(path("plate.keyer"));
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("\nClip White=0.8\n"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("\nScreen Color="), std::string::npos) << text.str();
    // Nothing else is left in the folder: the file was written beside and renamed.
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"plate.exr", "plate.keyer"}));

    // The command shown keys the shot; its result is what the page shows.
    const std::string line = saved["commandLine"];
    ASSERT_EQ(line.rfind("veilcast ", 0), 0u) << line;
    EXPECT_EQ(line, "veilcast " + plate + " -o " + path("plate_keyed.exr") + " --settings " + path("plate.keyer"));
    const Result run = runVeilcast(line.substr(9) + " -d float " + pluginOption());
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const json probe = get("/api/probe?x=40&y=20");
    OIIO::ImageBuf keyed(path("plate_keyed.exr"));
    EXPECT_EQ(bits(probe["keyed"][3].get<float>()), bits(keyed.getchannel(40, 20, 0, 3)));

    // A new session starts from the saved file.
    server.reset();
    session.reset();
    serve(plate);
    EXPECT_EQ(get("/api/state")["values"]["ClipWhiteKnob"]["text"], "0.8");
}

TEST_F(TuneTest, SaveGoesToTheFileGivenAtStart)
{
    serve(plate, path("shot.keyer"));
    EXPECT_EQ(post("/api/save", json::object())["file"], path("shot.keyer"));
    EXPECT_TRUE(fs::is_regular_file(path("shot.keyer")));
    EXPECT_FALSE(fs::exists(path("plate.keyer")));
}

TEST_F(TuneTest, AChangeCanAnswerWithItsImage)
{
    serve(plate);
    const json body = {{"name", "Clip Black"}, {"value", "0.3"}, {"image", {{"view", "matte"}, {"fit", {32, 20}}}}};
    const auto res = client().Post("/api/control", body.dump(), "application/json");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    const json state = json::parse(res->get_header_value("X-State"));
    EXPECT_EQ(state["values"]["ClipBlackKnob"]["text"], "0.3");
    EXPECT_EQ(res->get_header_value("X-Scale"), "2");
    EXPECT_EQ(res->get_header_value("X-Generation"), std::to_string(state["generation"].get<int>()));
    // The same image as asking for it afterwards.
    const auto again = client().Get("/api/image?view=matte&fit=32,20");
    ASSERT_TRUE(again);
    EXPECT_EQ(res->body.size(), 32u * 20u * 4u);
    EXPECT_TRUE(res->body == again->body);
}

// The fitted view: the whole factor nearest to fitting (not rounded up), each
// proxy pixel the mean of the pixels it covers, partial ones at the right and
// bottom edges included, as the Source view shows it (sRGB-encoded).
TEST_F(TuneTest, TheFittedViewShrinksByTheNearestWholeFactor)
{
    serve(plate);
    OIIO::ImageBuf file(plate);
    ASSERT_TRUE(file.read(0, 0, true, OIIO::TypeDesc::FLOAT));
    const auto encode = [](double v) {
        v = std::clamp(v, 0.0, 1.0);
        return 255 * (v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055);
    };
    const struct {
        int fitW, fitH, scale, w, h;  // the plate is 64x40
    } fits[] = {
        {64, 40, 1, 64, 40},
        {60, 40, 1, 64, 40},  // 1.07 times too wide: rounding up would halve it
        {30, 19, 2, 32, 20},  // 2.13 times
        {22, 14, 3, 22, 14},  // 64 = 21 x 3 + 1, 40 = 13 x 3 + 1: the last column and row cover one pixel
        {10, 10, 4, 16, 10},  // a fit under 16 pixels is taken as 16
    };
    for (const auto& f : fits) {
        SCOPED_TRACE(std::to_string(f.fitW) + "x" + std::to_string(f.fitH));
        const auto res = client().Get(("/api/image?view=source&fit=" + std::to_string(f.fitW) + "," +
                                       std::to_string(f.fitH)).c_str());
        ASSERT_TRUE(res);
        ASSERT_EQ(res->status, 200) << res->body;
        EXPECT_EQ(res->get_header_value("X-Scale"), std::to_string(f.scale));
        ASSERT_EQ(res->get_header_value("X-Width"), std::to_string(f.w));
        ASSERT_EQ(res->get_header_value("X-Height"), std::to_string(f.h));
        ASSERT_EQ(res->body.size(), static_cast<std::size_t>(f.w * f.h * 4));
        for (int j = 0; j < f.h; ++j)
            for (int i = 0; i < f.w; ++i)
                for (int c = 0; c < 3; ++c) {
                    double sum = 0;
                    int count = 0;
                    for (int y = j * f.scale; y < std::min((j + 1) * f.scale, 40); ++y)
                        for (int x = i * f.scale; x < std::min((i + 1) * f.scale, 64); ++x, ++count)
                            sum += file.getchannel(x, y, 0, c);
                    const int shown = static_cast<unsigned char>(res->body[(static_cast<std::size_t>(j) * f.w + i) * 4 + c]);
                    ASSERT_NEAR(shown, encode(sum / count), 1.0) << "proxy pixel " << i << "," << j << " channel " << c;
                }
    }
}

TEST_F(TuneTest, UndoAndRedoStepThroughChangesAndADragIsOneStep)
{
    serve(plate);
    const auto clipBlack = [&](const json& s) { return s["values"]["ClipBlackKnob"]["text"].get<std::string>(); };
    post("/api/control", {{"name", "Clip Black"}, {"value", "0.1"}});
    post("/api/control", {{"name", "Clip Black"}, {"value", "0.2"}, {"merge", false}});
    post("/api/control", {{"name", "Clip Black"}, {"value", "0.3"}, {"merge", true}});
    json s = post("/api/control", {{"name", "Clip Black"}, {"value", "0.4"}, {"merge", true}});
    EXPECT_EQ(clipBlack(s), "0.4");
    EXPECT_TRUE(s["canUndo"]);
    EXPECT_EQ(clipBlack(post("/api/undo", json::object())), "0.1");
    s = post("/api/undo", json::object());
    EXPECT_EQ(clipBlack(s), "0");
    EXPECT_FALSE(s["canUndo"]);
    EXPECT_EQ(clipBlack(post("/api/redo", json::object())), "0.1");
    s = post("/api/redo", json::object());
    EXPECT_EQ(clipBlack(s), "0.4");
    EXPECT_FALSE(s["canRedo"]);
    // A new change after an undo drops what could be redone.
    post("/api/undo", json::object());
    EXPECT_FALSE(post("/api/control", {{"name", "Clip Black"}, {"value", "0.05"}})["canRedo"]);
    // A drag of another control, even one sent as continuing, is a step of its own.
    post("/api/control", {{"name", "Clip White"}, {"value", "0.9"}, {"merge", true}});
    s = post("/api/control", {{"name", "Clip White"}, {"value", "0.8"}, {"merge", true}});
    EXPECT_EQ(s["values"]["ClipWhiteKnob"]["text"], "0.8");
    s = post("/api/undo", json::object());
    EXPECT_EQ(s["values"]["ClipWhiteKnob"]["text"], "1");
    EXPECT_EQ(clipBlack(s), "0.05");
    // After an undo, a drag of the control just undone starts a step of its own.
    post("/api/control", {{"name", "Clip White"}, {"value", "0.7"}, {"merge", true}});
    s = post("/api/undo", json::object());
    EXPECT_EQ(s["values"]["ClipWhiteKnob"]["text"], "1");
    EXPECT_EQ(clipBlack(s), "0.05");
}

TEST_F(TuneTest, SequenceFramesAreFoundAndStepped)
{
    for (int f : {1001, 1002, 1004})
        fs::copy_file(plate, path("shot." + std::to_string(f) + ".exr"));
    fs::copy_file(plate, path("shot.99.exr"));  // not four digits: not this sequence's
    serve(path("shot.####.exr"));
    json s = get("/api/state");
    EXPECT_EQ(s["frames"], json({1001, 1002, 1004}));
    EXPECT_EQ(s["frame"], 1001);
    EXPECT_EQ(s["commandLine"], "veilcast '" + path("shot.####.exr") + "' -o '" + path("shot_keyed.####.exr") +
                                    "' --settings " + path("shot.keyer") + " --frames 1001-1002,1004");
    s = post("/api/frame", {{"frame", 1004}});
    EXPECT_EQ(s["frameName"], "shot.1004.exr");
    EXPECT_FALSE(s.contains("frames")) << "the frame list goes to the page once, not with every change";
    post("/api/frame", {{"frame", 1003}}, 400);
}

// Two tabs change controls and pull images at once: every answer is whole
// and the last change wins.
TEST_F(TuneTest, TwoTabsAtOnce)
{
    serve(plate);
    std::atomic<int> failures{0};
    const auto tab = [&](int id) {
        httplib::Client c = client();
        for (int i = 0; i < 25; ++i) {
            const json body = {{"name", "Clip Black"}, {"value", std::to_string(0.01 * i + 0.001 * id)}, {"merge", true}};
            auto set = c.Post("/api/control", body.dump(), "application/json");
            auto image = c.Get("/api/image?view=checker&fit=32,32");
            auto probe = c.Get("/api/probe?x=1&y=1");
            if (!set || set->status != 200 || !image || image->status != 200 || !probe || probe->status != 200 ||
                image->body.size() != std::stoul(image->get_header_value("X-Width")) *
                                           std::stoul(image->get_header_value("X-Height")) * 4)
                ++failures;
        }
    };
    std::thread a(tab, 1), b(tab, 2);
    a.join();
    b.join();
    EXPECT_EQ(failures, 0);
    const std::string last = get("/api/state")["values"]["ClipBlackKnob"]["text"];
    EXPECT_TRUE(last == "0.241" || last == "0.242") << last;
}

}  // namespace

namespace {

// Status: 0 black, 1 white, the rest grey, and tinted exactly where the
// source's alpha as an inside mask raised the matte: where the tool keys a
// higher alpha with Source Alpha on than with it off. At 1:1 and fitted, and
// after another view was drawn from the same key.
TEST_F(TuneTest, StatusTintsWhereTheInsideMaskFilledIn)
{
    serve(plate);
    const auto status = [&](const std::string& where) {
        auto res = client().Get(("/api/image?view=status&" + where).c_str());
        EXPECT_TRUE(res && res->status == 200);
        return res ? res->body : std::string();
    };
    const auto tinted = [](const std::string& bytes) {
        int count = 0;
        for (std::size_t i = 0; i + 3 < bytes.size(); i += 4)
            count += bytes[i] != bytes[i + 1];  // grey levels have R = G
        return count;
    };
    EXPECT_EQ(tinted(status("region=0,0,64,40")), 0);
    const json state = post("/api/control", {{"name", "Source Alpha"}, {"value", "Normal"}});
    const std::string screen = state["values"]["ScreenColorKnob"]["text"];
    const auto keyWith = [&](const std::string& mode) {
        const Result run = runVeilcast("'" + plate + "' -o '" + path(mode + ".exr") + "' -d float " + pluginOption() +
                                       " --set 'Screen Color=" + screen + "' --set 'Source Alpha=" + mode + "'");
        EXPECT_EQ(run.exitCode, 0) << run.output;
        OIIO::ImageBuf keyed(path(mode + ".exr"));
        EXPECT_TRUE(keyed.read(0, 0, true, OIIO::TypeDesc::FLOAT)) << keyed.geterror();
        return keyed;
    };
    const OIIO::ImageBuf masked = keyWith("Normal"), unmasked = keyWith("Ignore");
    std::string expected;
    int filled = 0;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 64; ++x) {
            const float a = masked.getchannel(x, y, 0, 3);
            const int level = a == 0.0f ? 0 : a == 1.0f ? 255 : 128;
            const bool tint = a > unmasked.getchannel(x, y, 0, 3);
            filled += tint;
            for (const int v : {tint ? level / 2 + 100 : level, tint ? level / 2 : level, tint ? level / 2 + 110 : level, 255})
                expected += static_cast<char>(v);
        }
    // On the backing the matte is about 0, so the plate's alpha (random, above 0) fills in nearly everywhere there.
    ASSERT_GT(filled, 64 * 40 / 4);
    ASSERT_LT(filled, 64 * 40 * 3 / 4);
    EXPECT_TRUE(status("region=0,0,64,40") == expected);
    ASSERT_EQ(client().Get("/api/image?view=checker&fit=64,40")->status, 200);
    EXPECT_TRUE(status("fit=64,40") == expected) << "after another view of the same key";
    EXPECT_TRUE(status("fit=64,40") == expected);
}

TEST_F(TuneTest, CommandLineRefusesWhatItCannotTune)
{
    Result r = runVeilcast("tune '" + path("missing.exr") + "' " + pluginOption());
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("missing.exr"), std::string::npos) << r.output;
    std::ofstream(path("bad.keyer")) << "Clip Black=lots\n";
    r = runVeilcast("tune '" + plate + "' --settings '" + path("bad.keyer") + "' " + pluginOption());
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_NE(r.output.find("bad.keyer:1"), std::string::npos) << r.output;
    r = runVeilcast("tune '" + path("none.####.exr") + "' " + pluginOption());
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_NE(r.output.find("no frame"), std::string::npos) << r.output;
    // A pick box beside the frame is refused as keying refuses it: a usage error naming the file.
    r = runVeilcast("tune '" + plate + "' --pick-screen 100000,0,100010,10 " + pluginOption(), "timeout 20 ");
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_NE(r.output.find(plate + ": the pick box 100000,0,100010,10"), std::string::npos) << r.output;

    // A control character in a path would break the lines of the settings
    // file: refused before anything is read, the name shown escaped. The
    // inputs exist, so nothing else stands in the way.
    const struct {
        const char* file;     // made beside the plate
        std::string args;     // printf turns the escapes into the bytes
        const char* shown;
    } controls[] = {
        {"a\nb.exr", "\"$(printf '" + path("a\\nb.exr") + "')\"", "a\\nb.exr\""},
        {"c\rd.exr", "\"$(printf '" + path("c\\rd.exr") + "')\"", "c\\rd.exr\""},
        {"e\tf.exr", "\"$(printf '" + path("e\\tf.exr") + "')\"", "e\\tf.exr\""},
        {"g\001h.exr", "\"$(printf '" + path("g\\001h.exr") + "')\"", "g\\x01h.exr\""},
        {nullptr, "'" + plate + "' --settings \"$(printf '" + path("s\\nt.keyer") + "')\"", "s\\nt.keyer\""},
    };
    for (const auto& c : controls) {
        if (c.file)
            fs::copy_file(plate, path(c.file));
        r = runVeilcast("tune " + c.args + " " + pluginOption());
        EXPECT_EQ(r.exitCode, 2) << c.args << ": " << r.output;
        EXPECT_NE(r.output.find(c.shown), std::string::npos) << r.output;
        EXPECT_NE(r.output.find("control character"), std::string::npos) << r.output;
    }
    // In-process too: the session is what writes the settings file.
    fs::copy_file(plate, path("p\nq.exr"));
    EXPECT_THROW(serve(path("p\nq.exr")), veilcast::UsageError);
    for (const char* name : {"a\nb.keyer", "c\rd.keyer", "p\nq.keyer", "s\nt.keyer"})
        EXPECT_FALSE(fs::exists(path(name))) << name;
}

// The command Save shows runs as shown in a real shell, for any input name:
// one starting with '-', spaces, quotes, '$', backquotes, non-ASCII. Its
// output lands where the name says, keyed with the saved settings.
TEST_F(TuneTest, TheShownCommandRunsInAShellForAnyName)
{
    const struct {
        const char *input, *file, *output;  // as given; the file on disk; the keyed file, worked out by hand
    } names[] = {
        {"-plate.exr", "-plate.exr", "-plate_keyed.exr"},
        {"--help.exr", "--help.exr", "--help_keyed.exr"},
        {"my plate.exr", "my plate.exr", "my plate_keyed.exr"},
        {"it's.exr", "it's.exr", "it's_keyed.exr"},
        {"$HOME `id`.exr", "$HOME `id`.exr", "$HOME `id`_keyed.exr"},
        {"\"q\" & ; | *.exr", "\"q\" & ; | *.exr", "\"q\" & ; | *_keyed.exr"},
        {"pl\u00e4tte \u00fc.exr", "pl\u00e4tte \u00fc.exr", "pl\u00e4tte \u00fc_keyed.exr"},
        {"-x $(y) 'z'.####.exr", "-x $(y) 'z'.1001.exr", "-x $(y) 'z'_keyed.1001.exr"},
    };
    // The names are relative, as typed in the shot's folder.
    struct InFolder {
        fs::path before = fs::current_path();
        explicit InFolder(const fs::path& d) { fs::current_path(d); }
        ~InFolder() { fs::current_path(before); }
    } inFolder(dir);
    for (const auto& n : names) {
        SCOPED_TRACE(n.input);
        fs::copy_file(plate, path(n.file));
        serve(n.input);
        post("/api/control", {{"name", "Clip Black"}, {"value", "0.1"}});
        const std::string line = post("/api/save", json::object())["commandLine"];
        const float alpha = get("/api/probe?x=40&y=20")["keyed"][3];
        server.reset();
        session.reset();
        FILE* shell = popen(("cd " + veilcast::shellQuote(dir.string()) + " && PATH=" +
                             veilcast::shellQuote(fs::path(VEILCAST_BINARY).parent_path().string()) +
                             ":\"$PATH\" bash -c " + veilcast::shellQuote(line) + " 2>&1")
                                .c_str(),
                            "r");
        std::string output;
        char buffer[4096];
        while (std::size_t got = fread(buffer, 1, sizeof buffer, shell))
            output.append(buffer, got);
        const int status = pclose(shell);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << line << "\n" << output;
        OIIO::ImageBuf keyed(path(n.output));
        ASSERT_TRUE(keyed.read(0, 0, true, OIIO::TypeDesc::FLOAT)) << line << "\n" << output << keyed.geterror();
        EXPECT_NEAR(keyed.getchannel(40, 20, 0, 3), alpha, 1e-3) << line;
    }
}

}  // namespace

namespace {

// `veilcast tune` serves the job keying would key: the colour configuration
// and its spaces read the frame as keying reads it, and a screen colour the
// settings give, black included, is kept (with a warning), never picked anew.
TEST_F(TuneTest, TheToolTunesTheJobKeyingWouldKey)
{
    const std::string config = writeColourConfig(dir);
    OIIO::ImageBuf two(OIIO::ImageSpec(2, 1, 3, OIIO::TypeDesc::FLOAT));
    const float backing[3] = {0.2f, 0.4f, 0.1f}, subject[3] = {0.8f, 0.1f, 0.1f};
    two.setpixel(0, 0, backing, 3);
    two.setpixel(1, 0, subject, 3);
    const std::string input = path("matrix.exr"), settings = path("black.keyer");
    ASSERT_TRUE(two.write(input));
    std::ofstream(settings) << "Screen Color=0,0,0\n";
    const std::string plugins = fs::path(VEILCAST_PLUGIN_FILE).parent_path().string();

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        execl(VEILCAST_BINARY, "veilcast", "tune", input.c_str(), "--settings", settings.c_str(), "--ocio",
              config.c_str(), "--in-colorspace", "wide_matrix", "--plugin-path", plugins.c_str(), nullptr);
        _exit(127);
    }
    close(fds[1]);
    std::FILE* out = fdopen(fds[0], "r");
    char line[1024];
    std::smatch m;
    std::string address;
    while (address.empty() && std::fgets(line, sizeof line, out))
        if (std::strncmp(line, "open ", 5) == 0)
            address = line + 5;
    static const std::regex url(R"(http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]+))");
    const bool served = std::regex_search(address, m, url);
    json state, probe;
    if (served) {
        httplib::Client c("127.0.0.1", std::stoi(m.str(1)));
        c.set_default_headers({{"X-Veilcast-Token", m.str(2)}});
        const auto s = c.Get("/api/state"), p = c.Get("/api/probe?x=0&y=0");
        if (s && p) {
            state = json::parse(s->body);
            probe = json::parse(p->body);
        }
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    std::fclose(out);
    ASSERT_TRUE(served) << address;
    ASSERT_FALSE(state.is_null());
    EXPECT_EQ(state["values"]["ScreenColorKnob"]["text"], "0,0,0") << state.dump();
    EXPECT_NE(state["warnings"].dump().find("keys nothing"), std::string::npos) << state.dump();
    // The backing in scene-linear, worked out by hand from the config's matrix.
    const double linear[3] = {0.5 * 0.2 + 0.25 * 0.4 + 0.25 * 0.1, 0.1 * 0.2 + 0.8 * 0.4 + 0.1 * 0.1, 0.1};
    ASSERT_EQ(probe["source"].size(), 3u) << probe.dump();
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(probe["source"][c].get<double>(), linear[c], 1e-6) << c;
}

}  // namespace
