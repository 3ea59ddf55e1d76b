// veilcast: keys image files shot against a green or blue screen with the
// ZAVVeilcast operator, loaded as a plugin into a small host.

#include "DemoPlate.h"
#include "FileKeyer.h"
#include "FrameSequence.h"
#include "Interrupt.h"

#include <CLI/CLI.hpp>

#include <OpenImageIO/imageio.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>

namespace {

using namespace veilcast;
namespace fs = std::filesystem;

const char* const kDescription = R"(Keys footage shot against a green or blue backing screen: subtracts the
screen colour from the foreground and writes the matte into alpha.

Examples:
  veilcast plate.exr -o keyed.exr --pick-screen auto
  veilcast plate.exr -o keyed.exr --set "Screen Color=0.05,0.33,0.08" --set "Clip Black=0.02"
  veilcast plate.####.exr -o keyed.####.exr --frames 1001-1100 --pick-screen 40,40,120,90
  veilcast plate.exr -o matte.exr --set CheckAlphaKnob=on --preview sheet.png
  veilcast --list-knobs
  veilcast demo out/        (generate, key and preview a synthetic plate)
)";

struct Arguments {
    std::string input, output;
    std::vector<std::string> sets;
    std::string settingsFile;
    bool listKnobs = false;
    std::string pick;
    bool raw = false;
    std::string dataType;
    std::string frames;
    int threads = 0;
    bool quiet = false;
    std::string preview;
    std::vector<std::string> pluginPaths;
    std::string demoDir = "veilcast-demo";
};

std::vector<std::string> pluginDirectories(const Arguments& args)
{
    std::vector<std::string> dirs = args.pluginPaths;
    for (const std::string& d : defaultPluginDirectories())
        dirs.push_back(d);
    return dirs;
}

KeyJobOptions jobOptions(const Arguments& args)
{
    KeyJobOptions job;
    if (!args.settingsFile.empty())
        job.settings = readSettingsFile(args.settingsFile);
    for (const std::string& s : args.sets)
        job.settings.push_back(parseSetting(s, "--set"));
    if (args.pick == "auto")
        job.pick.kind = ScreenPick::Kind::Auto;
    else if (!args.pick.empty()) {
        job.pick.kind = ScreenPick::Kind::Box;
        job.pick.box = parsePickBox(args.pick);
    }
    if (!args.dataType.empty())
        job.write.dataType = parseDataType(args.dataType);
    job.raw = args.raw;
    job.threads = args.threads;
    job.previewPath = args.preview;
    job.quiet = args.quiet;
    return job;
}

std::string formatColour(const Colour& c)
{
    char text[96];
    std::snprintf(text, sizeof text, "%.6g,%.6g,%.6g", c[0], c[1], c[2]);
    return text;
}

int runKey(const Arguments& args)
{
    KeyJobOptions job = jobOptions(args);
    if (!args.preview.empty() && samePath(args.preview, args.input))
        throw std::runtime_error(args.preview + ": the preview would overwrite the input");

    std::vector<std::pair<std::string, std::string>> files;
    const bool sequence = isSequencePattern(args.input);
    if (sequence != isSequencePattern(args.output))
        throw std::invalid_argument("input and output must both be sequences (plate.####.exr) or both single files");
    if (sequence) {
        if (args.frames.empty())
            throw std::invalid_argument(args.input + " is a sequence: give the frames with --frames, e.g. 1001-1100");
        for (int f : parseFrameRange(args.frames))
            files.emplace_back(framePath(args.input, f), framePath(args.output, f));
    } else {
        if (!args.frames.empty())
            throw std::invalid_argument("--frames needs a sequence pattern such as plate.####.exr");
        files.emplace_back(args.input, args.output);
    }

    FileKeyer keyer(pluginDirectories(args), job);
    Progress progress(!args.quiet && isatty(STDERR_FILENO));
    const auto start = std::chrono::steady_clock::now();
    long pixels = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const auto& [in, out] = files[i];
        if (sequence && !fs::exists(in))
            throw std::runtime_error(in + ": frame missing from the sequence");
        const KeyedFrame frame = keyer.keyFile(in, out, progress, static_cast<int>(i), static_cast<int>(files.size()));
        pixels += frame.pixels;
        if (frame.pickedScreen && !args.quiet) {
            progress.finish();
            std::printf("picked screen colour %s (--set \"Screen Color=%s\")\n", formatColour(*frame.pickedScreen).c_str(),
                        formatColour(*frame.pickedScreen).c_str());
        }
    }
    progress.finish();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!args.quiet)
        std::printf("keyed %zu frame%s, %.2f Mpixel in %.2f s (%.1f Mpixel/s)\n", files.size(),
                    files.size() == 1 ? "" : "s", static_cast<double>(pixels) / 1e6, seconds,
                    seconds > 0 ? static_cast<double>(pixels) / 1e6 / seconds : 0.0);
    return 0;
}

int runDemo(const Arguments& args)
{
    const fs::path dir(args.demoDir);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec)
        throw std::runtime_error(dir.string() + ": cannot create the directory: " + ec.message());

    const std::string platePath = (dir / "plate.exr").string();
    OIIO::ImageSpec spec(960, 540, 3, OIIO::TypeDesc::FLOAT);
    spec.attribute("compression", "zip");
    spec.attribute("Software", "veilcast demo");
    writeImage(platePath, makeDemoPlate(), spec, {});
    if (!args.quiet)
        std::printf("wrote the synthetic plate %s\n", platePath.c_str());

    Arguments key = args;
    key.input = platePath;
    key.output = (dir / "keyed.exr").string();
    key.preview = (dir / "preview.png").string();
    key.pick = "auto";
    key.sets = {"Clip Black=0.12", "Clip White=0.9"};
    runKey(key);
    if (!args.quiet)
        std::printf("wrote %s and the contact sheet %s\n", key.output.c_str(), key.preview.c_str());
    return 0;
}

int listKnobs(const Arguments& args)
{
    FileKeyer keyer(pluginDirectories(args), KeyJobOptions{});
    std::fputs(describeControls(keyer.controls()).c_str(), stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app(kDescription, "veilcast");
    app.footer("Controls are set by name or label, ignoring case; --list-knobs shows them with their defaults.\n"
               "Interrupting (Ctrl-C) stops cleanly and leaves no partial output.");
    Arguments args;
    app.add_option("input", args.input, "Image file to key, or a sequence pattern (plate.####.exr, plate.%04d.exr)");
    app.add_option("-o,--output", args.output, "Where to write the keyed image (or sequence pattern)");
    app.add_option("--set", args.sets, "Set a control: NAME=VALUE (on/off, a number, r,g,b, or an item label)")
        ->type_name("NAME=VALUE");
    app.add_option("--settings", args.settingsFile, "Read NAME=VALUE lines from a file (# starts a comment)")
        ->type_name("FILE");
    app.add_flag("--list-knobs", args.listKnobs, "List the controls with kinds, defaults, ranges and items");
    app.add_option("--pick-screen", args.pick,
                   "Set the screen colour from the image: X0,Y0,X1,Y1 averages that pixel box (inclusive), "
                   "\"auto\" finds the backing itself")
        ->type_name("BOX|auto");
    app.add_option("--frames", args.frames, "Frames of a sequence: 1001-1100, 1001-1100x2, or a list 1,5,9-12");
    app.add_option("-d,--data-type", args.dataType, "Output data type; default: the input's")
        ->check(CLI::IsMember({"half", "float", "uint8", "uint16"}));
    app.add_flag("--raw", args.raw, "Use pixel values as stored: no sRGB conversion on read or write");
    app.add_option("--preview", args.preview, "Write a contact sheet (source, matte, result over a checkerboard)")
        ->type_name("FILE.png");
    app.add_option("--threads", args.threads, "Worker threads; default: all cores")->check(CLI::NonNegativeNumber);
    app.add_flag("-q,--quiet", args.quiet, "Print nothing but errors");
    app.add_option("--plugin-path", args.pluginPaths, "Extra directory to search for the ZAVVeilcast module")
        ->type_name("DIR");
    CLI::App* demo = app.add_subcommand("demo", "Generate a synthetic green-screen plate, key it, write a preview");
    demo->add_option("dir", args.demoDir, "Output directory")->capture_default_str();
    demo->fallthrough();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }

    installInterruptHandlers();
    OIIO::attribute("threads", args.threads);
    try {
        if (demo->parsed())
            return runDemo(args);
        if (args.listKnobs)
            return listKnobs(args);
        if (args.input.empty() || args.output.empty()) {
            std::cerr << "veilcast: give an input file and -o OUTPUT (see --help)\n";
            return 2;
        }
        return runKey(args);
    } catch (const Interrupted&) {
        std::cerr << "\nveilcast: interrupted; no partial output was left\n";
        return 128 + interruptSignal();
    } catch (const std::exception& e) {
        std::cerr << "veilcast: " << e.what() << "\n";
        return 1;
    }
}
