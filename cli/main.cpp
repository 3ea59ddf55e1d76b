// SPDX-License-Identifier: Apache-2.0
// veilcast: keys image files shot against a green or blue screen with the
// ZAVVeilcast operator, loaded as a plugin into a small host.

#include "Commands.h"
#include "ExitStatus.h"
#include "Interrupt.h"
#include "SubmitCommand.h"
#include "Text.h"
#include "TuneCommand.h"
#include "veilcast/common/UsageError.h"
#include "veilcast/common/Version.h"
#include "veilcast/movie/MovieWriter.h"
#include "veilcast/session/KeyPolicy.h"
#include "veilcast/session/KeyRun.h"

#include <CLI/CLI.hpp>

#include <OpenImageIO/imageio.h>

#include <iostream>

namespace {

using namespace veilcast;

// An option given once per value (--set A --set B), never "--set A B", so
// that the input after it is not taken for one of its values.
void repeatable(CLI::App& app, const char* flag, std::vector<std::string>& values, const char* type, const char* help)
{
    app.add_option(flag, values, help)->type_name(type)->allow_extra_args(false);
}

const char* const kDescription = R"(Keys footage shot against a green or blue backing screen: subtracts the
screen colour from the foreground and writes the matte into alpha.

Examples:
  veilcast plate.exr -o keyed.exr --pick-screen auto
  veilcast plate.exr -o keyed.exr --screen-map auto --clip auto
  veilcast plate.exr -o keyed.exr --set "Screen Color=0.05,0.33,0.08" --set "Clip Black=0.02"
  veilcast plate.####.exr -o keyed.####.exr --frames 1001-1100 --pick-screen 40,40,120,90
  veilcast plate.exr -o matte.exr --set CheckAlphaKnob=on --preview sheet.png
  veilcast clip.mp4 -o keyed.mov             (ProRes 4444 with alpha; .webm VP9, .mkv FFV1)
  veilcast clip.mov -o keyed.####.exr --frames 1-48
  veilcast --list-knobs
  veilcast submit --farm slurm plate.####.exr -o keyed.####.exr --frames 1001-1100 --chunk 10
  veilcast demo out/        (generate, key and preview a synthetic plate)
  veilcast tune plate.exr   (tune the key by eye in a browser page, then save the settings)
)";

// An empty value is most often a shell variable that was never set: taken as
// absent it would key without the clean plate, settings or preview the user
// meant, so every option that takes a value refuses one.
void refuseEmptyValues(CLI::App& app)
{
    for (CLI::Option* option : app.get_options())
        if (option->get_type_size_max() > 0)
            option->check(CLI::Validator(
                [](std::string& value) {
                    return value.empty() ? std::string("takes a value, not an empty one (is a shell variable unset?)")
                                         : std::string();
                },
                ""));
    for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; }))
        refuseEmptyValues(*sub);
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app(kDescription, "veilcast");
    app.footer("Controls are set by name or label, ignoring case; --list-knobs shows them with their defaults.\n"
               "Interrupting (Ctrl-C) stops cleanly and leaves no partial output (a sequence's finished frames stay,\n"
               "and are named); a second Ctrl-C stops at once.\n\n"
               "Exit status: 0 success; 1 a failure while reading, keying or writing; 2 a usage error (options,\n"
               "settings, output paths); 3 --skip-missing left out missing frames; 130 or 143 interrupted.");
    Arguments args;
    app.add_option("input", args.input, "Image file or movie to key, or a sequence pattern (plate.####.exr, plate.%04d.exr)");
    app.add_option("-o,--output", args.output, "Where to write the keyed image, movie or sequence pattern");
    repeatable(app, "--set", args.sets, "NAME=VALUE",
               "Set a control: NAME=VALUE (on/off, a number, r,g,b, or an item label); repeatable");
    app.add_option("--settings", args.settingsFile, "Read NAME=VALUE lines from a file (# starts a comment)")
        ->type_name("FILE");
    addFarmTaskOptions(app, args);
    app.add_flag("--list-knobs", args.listKnobs, "List the controls with kinds, defaults, ranges and items");
    app.add_option("--pick-screen", args.pick,
                   "Set the screen colour from the image: X0,Y0,X1,Y1 averages that pixel box (inclusive), "
                   "\"auto\" finds the backing itself (the default when no Screen Color is set)")
        ->type_name("BOX|auto");
    app.add_option("--screen-map", args.screenMap,
                   "A screen colour per pixel, for uneven backing: \"auto\" builds it from each frame itself; \"shot\" "
                   "also from a clean plate gathered over the shot where the subject moves off the backing; "
                   "FILE is a clean plate (the backing shot without the subject) for every frame; PATTERN "
                   "(clean.####.exr) gives frame N's clean plate for frame N")
        ->type_name("auto|shot|FILE|PATTERN");
    app.add_option("--clip", args.clip,
                   "\"auto\" chooses Clip Black, Clip White and Screen Balance from the first frame's own "
                   "matte, over the settings, and prints them in --set form")
        ->type_name("auto");
    app.add_option("--frames", args.frames, "Frames of a sequence or a movie (numbered from 1): 1001-1100, 1001-1100x2, or a list 1,5,9-12");
    app.add_flag("--skip-missing", args.skipMissing,
                 "Key the frames that exist and report the missing ones (exit status 3) instead of refusing");
    app.add_option("--max-pixels", args.read.maxPixels, "Refuse images larger than this many pixels")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("-d,--data-type", args.dataType,
                   "Output data type; default: EXR keeps half or float, PNG, TIFF and DPX take 16 bits from a "
                   "float or half source, 8-bit-only formats 8")
        ->check(CLI::IsMember({"half", "float", "uint8", "uint16"}));
    app.add_flag("--raw", args.read.raw,
                 "Use pixel values as stored: no conversion from or to the file's encoding (sRGB, gamma, log) "
                 "on read or write");
    app.add_option("--preview", args.preview, "Write a contact sheet (source, matte, result over a checkerboard)")
        ->type_name("FILE.png");
    app.add_option("--threads", args.threads, "Worker threads; default: all cores")
        ->check(CLI::Validator(
            [](std::string& value) {
                if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos || value.size() > 6)
                    return "--threads takes a count of threads (0 for all cores), not " + value;
                try {
                    checkThreadCount(std::stol(value));
                } catch (const UsageError& e) {
                    return commandLineText(e);
                }
                return std::string();
            },
            "COUNT"));
    app.add_flag("-q,--quiet", args.quiet, "Print nothing but warnings and errors");
    repeatable(app, "--plugin-path", args.pluginPaths, "DIR",
               "Extra directory to search for the ZAVVeilcast module; repeatable");
    app.add_option("--part", args.read.part, "Part of a multi-part file to key, by name or index; default: the first with R, G, B")
        ->type_name("NAME|INDEX");
    app.add_option("--layer", args.read.layer, "Key the channels LAYER.R, LAYER.G, LAYER.B (and LAYER.A)")->type_name("LAYER");
    app.add_option("--date-time", args.dateTime,
                   "DateTime written into outputs: now (default), source (the input's), or \"YYYY:MM:DD HH:MM:SS\"; "
                   "the last two make a run that is repeated write the same bytes")
        ->type_name("WHEN");
    app.add_option("--fps", args.fps, "Frame rate of a movie made from an image sequence (25, 23.976, 30000/1001); default: the first frame's own, else 24")
        ->type_name("RATE");
    app.add_option("--codec", args.codec, "Codec of a movie output, with its container: " + veilcast::movieCodecNames() +
                                              "; default: the container's own")
        ->type_name("NAME");
    app.add_option("--ocio", args.ocio, "OpenColorIO configuration (default: $OCIO); keys are pulled in its scene_linear role")
        ->type_name("CONFIG");
    app.add_option("--in-colorspace", args.inColourSpace,
                   "Colour space of the input in the configuration; default: the file's own tag, else the usual rules")
        ->type_name("NAME");
    app.add_option("--out-colorspace", args.outColourSpace, "Colour space to write; default: the input's")
        ->type_name("NAME");
    app.add_flag("--list-colorspaces", args.listColourSpaces, "List the colour spaces of the configuration");
    app.set_version_flag("--version", std::string("veilcast ") + kVersion);
    CLI::App* demo = app.add_subcommand("demo", "Generate a synthetic green-screen plate, key it, write a preview");
    demo->add_option("dir", args.demoDir, "Output directory")->capture_default_str();
    demo->fallthrough();
    FarmCommandLine farmLine;
    addFarmCommands(app, farmLine);
    TuneCommandLine tuneLine;
    addTuneCommand(app, tuneLine);

    refuseEmptyValues(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? kExitSuccess : kExitUsage;
    }

    CancellationToken cancellation;
    installInterruptHandlers(cancellation);
    OIIO::attribute("threads", args.threads);
    try {
        if (demo->parsed())
            return runDemo(args, cancellation);
        if (farmLine.submit->parsed())
            return runSubmit(args, farmLine);
        if (tuneLine.tune->parsed())
            return runTune(args, tuneLine, cancellation);
        if (farmLine.verify->parsed())
            return runVerify(farmLine.verifyPattern, args.frames, farmLine.verifySummary);
        if (args.listKnobs)
            return listKnobs(args);
        if (args.listColourSpaces)
            return listColourSpaces(args);
        if (args.input.empty() || args.output.empty()) {
            std::cerr << "veilcast: give an input file and -o OUTPUT (see --help)\n";
            return kExitUsage;
        }
        return runKey(args, cancellation);
    } catch (const SequenceInterrupted& e) {
        std::cerr << "\nveilcast: " << printable(e.describe()) << "\n";
        return 128 + interruptSignal();
    } catch (const Cancelled&) {
        std::cerr << "\nveilcast: interrupted; no partial output was left\n";
        return 128 + interruptSignal();
    } catch (const UsageError& e) {
        std::cerr << "veilcast: " << printable(commandLineText(e)) << "\n";
        return kExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "veilcast: " << printable(commandLineText(e)) << "\n";
        return kExitFailure;
    }
}
