// veilcast: keys image files shot against a green or blue screen with the
// ZAVVeilcast operator, loaded as a plugin into a small host.

#include "DemoPlate.h"
#include "ExitStatus.h"
#include "FileKeyer.h"
#include "FrameSequence.h"
#include "Interrupt.h"
#include "Metadata.h"
#include "Progress.h"
#include "SubmitCommand.h"
#include "Text.h"
#include "Version.h"

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
  veilcast submit --farm slurm plate.####.exr -o keyed.####.exr --frames 1001-1100 --chunk 10
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
    std::string part, layer;
    bool skipMissing = false;
    std::uint64_t maxPixels = defaultMaxPixels();
    int threads = 0;
    bool quiet = false;
    std::string preview;
    std::vector<std::string> pluginPaths;
    std::string demoDir = "veilcast-demo";
    std::string dateTime;
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
    checkDateTime(args.dateTime);
    job.write.dateTime = args.dateTime;
    job.raw = args.raw;
    job.threads = args.threads;
    job.previewPath = args.preview;
    job.maxPixels = args.maxPixels;
    job.part = args.part;
    job.layer = args.layer;
    return job;
}

void warn(const std::string& message)
{
    std::cerr << "veilcast: warning: " << printable(message) << "\n";
}

// Input and output file of each frame to key, checked before anything is
// keyed: missing inputs, outputs that would overwrite an input, outputs that
// cannot be written, and a preview that would overwrite any of them.
struct KeyPlan {
    std::vector<std::pair<std::string, std::string>> files;
    FrameList skipped;
};

KeyPlan planKey(const Arguments& args, const KeyJobOptions& job, bool withAlpha)
{
    KeyPlan plan;
    const bool sequence = isSequencePattern(args.input);
    if (sequence != isSequencePattern(args.output))
        throw UsageError("input and output must both be sequences (plate.####.exr) or both single files");
    if (sequence) {
        if (args.frames.empty())
            throw UsageError(args.input + " is a sequence: give the frames with --frames, e.g. 1001-1100");
        const FrameList frames = parseFrameRange(args.frames);
        const FrameCheck check = checkFrames(args.input, frames);
        if (!check.missing.empty()) {
            const std::string what = std::to_string(check.missing.size()) + " of " + std::to_string(frames.size()) +
                                     " frames of " + args.input + " missing: " + check.missing.describe();
            if (!args.skipMissing)
                throw std::runtime_error(what + " (nothing was keyed; --skip-missing keys the rest)");
            if (check.present.empty())
                throw std::runtime_error(what + ": nothing to key");
            plan.skipped = check.missing;
        }
        check.present.forEach([&](int f) {
            plan.files.emplace_back(framePath(args.input, f), framePath(args.output, f));
            return true;
        });
    } else {
        if (!args.frames.empty())
            throw UsageError("--frames needs a sequence pattern such as plate.####.exr");
        // framePath of a single file only undoes its escapes (\#, \@, \%).
        plan.files.emplace_back(framePath(args.input, 0), framePath(args.output, 0));
    }

    if (!args.preview.empty())
        checkOutputPath(args.preview);
    for (const auto& [in, out] : plan.files) {
        if (samePath(in, out))
            throw UsageError(out + ": the output would overwrite the input");
        checkOutputPath(out, job.write.dataType, withAlpha);
        if (!args.preview.empty() && (samePath(args.preview, in) || samePath(args.preview, out)))
            throw UsageError(args.preview + ": the preview would overwrite " + (samePath(args.preview, in) ? in : out));
    }
    return plan;
}

// Keys what `args` asks for; `settingsUsed`, when given, receives the
// --set options that reproduce the key.
int runKey(const Arguments& args, std::string* settingsUsed = nullptr)
{
    const KeyJobOptions job = jobOptions(args);
    FileKeyer keyer(pluginDirectories(args), job);
    const KeyPlan plan = planKey(args, job, keyer.keysAlpha());
    for (const std::string& w : settingWarnings(keyer.controls()))
        warn(w);
    Progress progress(args.quiet                   ? Progress::Style::None
                      : isatty(STDERR_FILENO) != 0 ? Progress::Style::Bar
                                                   : Progress::Style::Log);
    std::string notice;
    const auto start = std::chrono::steady_clock::now();
    long pixels = 0;
    const auto& files = plan.files;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const auto& [in, out] = files[i];
        const KeyedFrame frame = keyer.keyFile(in, out, progress, static_cast<int>(i), static_cast<int>(files.size()));
        pixels += frame.pixels;
        if (frame.pickedScreen) {
            // Also with --quiet: a script reads the colour from this one line.
            progress.finish();
            const std::string colour =
                formatControlValue(*keyer.controls().find("ScreenColorKnob"), ControlValue(*frame.pickedScreen));
            std::printf("picked screen colour %s (--set \"Screen Color=%s\")\n", colour.c_str(), colour.c_str());
            std::fflush(stdout);
        }
        if (!frame.notice.empty() && frame.notice != notice && !args.quiet) {
            progress.finish();
            std::cerr << "veilcast: note: " << printable(frame.notice) << "\n";
        }
        notice = frame.notice.empty() ? notice : frame.notice;
    }
    progress.finish();
    if (settingsUsed)
        *settingsUsed = settingsAsOptions(keyer.controls());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!args.quiet)
        std::printf("keyed %zu frame%s, %.2f Mpixel in %.2f s (%.1f Mpixel/s)\n", files.size(),
                    files.size() == 1 ? "" : "s", static_cast<double>(pixels) / 1e6, seconds,
                    seconds > 0 ? static_cast<double>(pixels) / 1e6 / seconds : 0.0);
    if (!plan.skipped.empty()) {
        std::fflush(stdout);
        warn("skipped " + std::to_string(plan.skipped.size()) + " missing frame" +
             (plan.skipped.size() == 1 ? "" : "s") + ": " + plan.skipped.describe());
        return kExitFramesSkipped;
    }
    return kExitSuccess;
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
    spec.attribute("ImageDescription", "veilcast demo: a synthetic green-screen plate");
    writeImage(platePath, makeDemoPlate(), spec, "openexr", {});
    if (!args.quiet)
        std::printf("wrote the synthetic plate %s\n", platePath.c_str());

    Arguments key = args;
    key.input = platePath;
    key.output = (dir / "keyed.exr").string();
    key.preview = (dir / "preview.png").string();
    key.pick = "auto";
    key.sets = {"Clip Black=0.12", "Clip White=0.9"};
    std::string settings;
    runKey(key, &settings);
    if (!args.quiet) {
        std::printf("wrote %s and the contact sheet %s\n", key.output.c_str(), key.preview.c_str());
        std::printf("keyed with: %s\n", settings.c_str());
    }
    return 0;
}

int listKnobs(const Arguments& args)
{
    FileKeyer keyer(pluginDirectories(args), KeyJobOptions{});
    std::fputs(describeControls(keyer.controls()).c_str(), stdout);
    return 0;
}

int runSubmit(const Arguments& args, farm::SubmitRequest request)
{
    if (!args.input.empty())
        throw UsageError("submit: give the input after submit, not before it");
    if (!args.preview.empty() || args.skipMissing || args.threads != 0)
        throw UsageError("submit: --preview, --skip-missing and --threads are for keying here; on the farm every "
                         "frame must exist and each task takes its threads from its CPUs (--cpus-per-task)");
    checkDateTime(args.dateTime);
    request.output = args.output;
    request.frames = args.frames;
    request.settingsFile = args.settingsFile;
    request.sets = args.sets;
    request.pick = args.pick;
    request.pluginPaths = args.pluginPaths;
    request.read.raw = args.raw;
    request.read.maxPixels = args.maxPixels;
    request.read.part = args.part;
    request.read.layer = args.layer;
    request.dataType = args.dataType;
    request.dateTime = args.dateTime;
    return veilcast::runSubmit(request);
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app(kDescription, "veilcast");
    app.footer("Controls are set by name or label, ignoring case; --list-knobs shows them with their defaults.\n"
               "Interrupting (Ctrl-C) stops cleanly and leaves no partial output; a second Ctrl-C stops at once.\n\n"
               "Exit status: 0 success; 1 a failure while reading, keying or writing; 2 a usage error (options,\n"
               "settings, output paths); 3 --skip-missing left out missing frames; 130 or 143 interrupted.");
    Arguments args;
    app.add_option("input", args.input, "Image file to key, or a sequence pattern (plate.####.exr, plate.%04d.exr)");
    app.add_option("-o,--output", args.output, "Where to write the keyed image (or sequence pattern)");
    app.add_option("--set", args.sets, "Set a control: NAME=VALUE (on/off, a number, r,g,b, or an item label); repeatable")
        ->type_name("NAME=VALUE")
        ->allow_extra_args(false);
    app.add_option("--settings", args.settingsFile, "Read NAME=VALUE lines from a file (# starts a comment)")
        ->type_name("FILE");
    app.add_flag("--list-knobs", args.listKnobs, "List the controls with kinds, defaults, ranges and items");
    app.add_option("--pick-screen", args.pick,
                   "Set the screen colour from the image: X0,Y0,X1,Y1 averages that pixel box (inclusive), "
                   "\"auto\" finds the backing itself")
        ->type_name("BOX|auto");
    app.add_option("--frames", args.frames, "Frames of a sequence: 1001-1100, 1001-1100x2, or a list 1,5,9-12");
    app.add_flag("--skip-missing", args.skipMissing,
                 "Key the frames that exist and report the missing ones (exit status 3) instead of refusing");
    app.add_option("--max-pixels", args.maxPixels, "Refuse images larger than this many pixels")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("-d,--data-type", args.dataType, "Output data type; default: the input's")
        ->check(CLI::IsMember({"half", "float", "uint8", "uint16"}));
    app.add_flag("--raw", args.raw, "Use pixel values as stored: no sRGB conversion on read or write");
    app.add_option("--preview", args.preview, "Write a contact sheet (source, matte, result over a checkerboard)")
        ->type_name("FILE.png");
    app.add_option("--threads", args.threads, "Worker threads; default: all cores")
        ->check(CLI::Validator(
            [](std::string& value) {
                return value.find_first_not_of("0123456789") == std::string::npos && value.size() < 6
                           ? std::string()
                           : "--threads takes a count of threads (0 for all cores), not " + value;
            },
            "COUNT"));
    app.add_flag("-q,--quiet", args.quiet, "Print nothing but warnings and errors");
    app.add_option("--plugin-path", args.pluginPaths, "Extra directory to search for the ZAVVeilcast module; repeatable")
        ->type_name("DIR")
        ->allow_extra_args(false);
    app.add_option("--part", args.part, "Part of a multi-part file to key, by name or index; default: the first with R, G, B")
        ->type_name("NAME|INDEX");
    app.add_option("--layer", args.layer, "Key the channels LAYER.R, LAYER.G, LAYER.B (and LAYER.A)")->type_name("LAYER");
    app.add_option("--date-time", args.dateTime,
                   "DateTime written into outputs: now (default), source (the input's), or \"YYYY:MM:DD HH:MM:SS\"; "
                   "the last two make a run that is repeated write the same bytes")
        ->type_name("WHEN");
    app.set_version_flag("--version", std::string("veilcast ") + kVersion);
    CLI::App* demo = app.add_subcommand("demo", "Generate a synthetic green-screen plate, key it, write a preview");
    demo->add_option("dir", args.demoDir, "Output directory")->capture_default_str();
    demo->fallthrough();
    FarmCommandLine farmLine;
    addFarmCommands(app, farmLine);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? kExitSuccess : kExitUsage;
    }

    installInterruptHandlers();
    OIIO::attribute("threads", args.threads);
    try {
        if (demo->parsed())
            return runDemo(args);
        if (farmLine.submit->parsed())
            return runSubmit(args, farmLine.request);
        if (farmLine.verify->parsed())
            return runVerify(farmLine.verifyPattern, args.frames, farmLine.verifySummary);
        if (args.listKnobs)
            return listKnobs(args);
        if (args.input.empty() || args.output.empty()) {
            std::cerr << "veilcast: give an input file and -o OUTPUT (see --help)\n";
            return kExitUsage;
        }
        return runKey(args);
    } catch (const Interrupted&) {
        std::cerr << "\nveilcast: interrupted; no partial output was left\n";
        return 128 + interruptSignal();
    } catch (const UsageError& e) {
        std::cerr << "veilcast: " << printable(e.what()) << "\n";
        return kExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "veilcast: " << printable(e.what()) << "\n";
        return kExitFailure;
    }
}
