// SPDX-License-Identifier: Apache-2.0
#include "KeyOptions.h"

#include "veilcast/movie/MovieWriter.h"
#include "veilcast/session/CommandWords.h"
#include "veilcast/session/KeyPolicy.h"

namespace veilcast {

namespace {

// A choice's option, as every message names it.
std::string flag(UserChoice choice)
{
    return std::string(flagFor(choice));
}

// An option given once per value (--set A --set B), never "--set A B", so
// that the input after it is not taken for one of its values.
void repeatable(CLI::App& app, const std::string& name, std::vector<std::string>& values, const char* type,
                const char* help)
{
    app.add_option(name, values, help)->type_name(type)->allow_extra_args(false);
}

// The options by which a farm task keys with the settings submit froze.
void addFarmTaskOptions(CLI::App& app, Arguments& args)
{
    const char* const frozen = "A farm task's settings, frozen by veilcast submit: every value and the screen colour; "
                               "refused unless they hash to --settings-sha256";
    app.add_option(flag(UserChoice::FrozenSettings), args.request.frozenSettings, frozen)->type_name("FILE");
    app.add_option(flag(UserChoice::SettingsSha256), args.request.settingsSha256, "The SHA-256 the --frozen-settings file must have")->type_name("HEX");
}

}  // namespace

std::string_view flagFor(UserChoice choice)
{
    switch (choice) {
    case UserChoice::None: return "";
    case UserChoice::Frames: return option::kFrames;
    case UserChoice::ShotFrames: return option::kShotFrames;
    case UserChoice::SkipMissing: return "--skip-missing";
    case UserChoice::FrameRate: return "--fps";
    case UserChoice::MaxPixels: return option::kMaxPixels;
    case UserChoice::DateTime: return option::kDateTime;
    case UserChoice::ColourConfig: return "--ocio CONFIG";
    case UserChoice::InColourSpace: return option::kInColourSpace;
    case UserChoice::OutColourSpace: return option::kOutColourSpace;
    case UserChoice::Part: return option::kPart;
    case UserChoice::Layer: return option::kLayer;
    case UserChoice::Raw: return option::kRaw;
    case UserChoice::PickBox: return "; pick it with a box over clean backing, --pick-screen X0,Y0,X1,Y1";
    case UserChoice::PickScreen: return "--pick-screen";
    case UserChoice::Controls: return "--list-knobs";
    case UserChoice::ScreenMap: return option::kScreenMap;
    case UserChoice::Threads: return option::kThreads;
    case UserChoice::Codec: return "--codec";
    case UserChoice::Settings: return option::kSettings;
    case UserChoice::Set: return option::kSet;
    case UserChoice::FrozenSettings: return option::kFrozenSettings;
    case UserChoice::SettingsSha256: return option::kSettingsSha256;
    case UserChoice::Clip: return "--clip";
    case UserChoice::DataType: return option::kDataType;
    case UserChoice::Preview: return option::kPreview;
    }
    return "";
}

// The options of what to key and how, which the subcommands that key share.
void addKeyOptions(CLI::App& app, Arguments& args)
{
    app.add_option("input", args.request.input, "Image file or movie to key, or a sequence pattern (plate.####.exr, plate.%04d.exr)");
    app.add_option(std::string(option::kOutput) + ",--output", args.request.output, "Where to write the keyed image, movie or sequence pattern");
    repeatable(app, flag(UserChoice::Set), args.request.sets, "NAME=VALUE",
               "Set a control: NAME=VALUE (on/off, a number, r,g,b, or an item label); repeatable");
    app.add_option(flag(UserChoice::Settings), args.request.settingsFile, "Read NAME=VALUE lines from a file (# starts a comment)")
        ->type_name("FILE");
    addFarmTaskOptions(app, args);
    app.add_flag(flag(UserChoice::Controls), args.listKnobs, "List the controls with kinds, defaults, ranges and items");
    app.add_option(flag(UserChoice::PickScreen), args.request.pick,
                   "Set the screen colour from the image: X0,Y0,X1,Y1 averages that pixel box (inclusive), "
                   "\"auto\" finds the backing itself (the default when no Screen Color is set)")
        ->type_name("BOX|auto");
    app.add_option(flag(UserChoice::ScreenMap), args.request.screenMap,
                   "A screen colour per pixel, for uneven backing: \"auto\" builds it from each frame itself; \"shot\" "
                   "also from a clean plate gathered over the shot where the subject moves off the backing; "
                   "FILE is a clean plate (the backing shot without the subject) for every frame; PATTERN "
                   "(clean.####.exr) gives frame N's clean plate for frame N")
        ->type_name("auto|shot|FILE|PATTERN");
    app.add_option(flag(UserChoice::Clip), args.request.clip,
                   "\"auto\" chooses Clip Black, Clip White and Screen Balance from the first frame's own "
                   "matte (with --screen-map shot, once for the shot: the medians over frames spread across "
                   "it), over the settings, and prints them in --set form")
        ->type_name("auto");
    app.add_option(flag(UserChoice::Frames), args.request.frames, "Frames of a sequence or a movie (numbered from 1): 1001-1100, 1001-1100x2, or a list 1,5,9-12");
    app.add_option(flag(UserChoice::ShotFrames), args.request.shotFrames,
                   "With --screen-map shot: the frames the shot's plate and clips are gathered over, when they "
                   "are not the frames keyed (frames re-keyed, or a farm task's), so that these key as in a run "
                   "of the whole shot")
        ->type_name("FRAMES");
    app.add_flag(flag(UserChoice::SkipMissing), args.request.skipMissing,
                 "Key the frames that exist and report the missing ones (exit status 3) instead of refusing");
    app.add_option(flag(UserChoice::MaxPixels), args.request.read.maxPixels, "Refuse images larger than this many pixels")
        ->capture_default_str()
        ->check(CLI::Validator(
            [](std::string& value) {
                if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos || value.size() > 18)
                    return flag(UserChoice::MaxPixels) + " takes a count of pixels, such as 8847360 for 4096x2160, not " +
                           value;
                try {
                    checkMaxPixels(std::stoll(value), &flagFor);
                } catch (const UsageError& e) {
                    return commandLineText(e);
                }
                return std::string();
            },
            "PIXELS"));
    app.add_option(std::string(option::kDataType) + ",--data-type", args.request.dataType,
                   "Output data type; default: EXR keeps half or float, PNG, TIFF and DPX take 16 bits from a "
                   "float or half source, 8-bit-only formats 8")
        ->check(CLI::IsMember({"half", "float", "uint8", "uint16"}));
    app.add_flag(flag(UserChoice::Raw), args.request.read.raw,
                 "Use pixel values as stored: no conversion from or to the file's encoding (sRGB, gamma, log) "
                 "on read or write");
    app.add_option(option::kPreview, args.request.preview, "Write a contact sheet (source, matte, result over a checkerboard)")
        ->type_name("FILE.png");
    app.add_option(flag(UserChoice::Threads), args.request.threads, "Worker threads; default: all cores")
        ->check(CLI::Validator(
            [](std::string& value) {
                if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos || value.size() > 6)
                    return flag(UserChoice::Threads) + " takes a count of threads (0 for all cores), not " + value;
                try {
                    checkThreadCount(std::stol(value));
                } catch (const UsageError& e) {
                    return commandLineText(e);
                }
                return std::string();
            },
            "COUNT"));
}

// The options of where the operator, the pixels and their colours come from
// and how results are written and told.
void addFileOptions(CLI::App& app, Arguments& args)
{
    app.add_flag("-q,--quiet", args.quiet, "Print nothing but warnings and errors");
    repeatable(app, option::kPluginPath, args.pluginPaths, "DIR",
               "Extra directory to search for the ZAVVeilcast module; repeatable");
    app.add_option(flag(UserChoice::Part), args.request.read.part, "Part of a multi-part file to key, by name or index; default: the first with R, G, B")
        ->type_name("NAME|INDEX");
    app.add_option(flag(UserChoice::Layer), args.request.read.layer, "Key the channels LAYER.R, LAYER.G, LAYER.B (and LAYER.A)")->type_name("LAYER");
    app.add_option(flag(UserChoice::DateTime), args.request.dateTime,
                   "DateTime written into outputs: now (default), source (the input's), or \"YYYY:MM:DD HH:MM:SS\"; "
                   "the last two make a run that is repeated write the same bytes; a movie keeps its source's "
                   "creation time unless one is given")
        ->type_name("WHEN");
    app.add_option(flag(UserChoice::FrameRate), args.request.fps, "Frame rate of a movie made from an image sequence (25, 23.976, 30000/1001); default: the first frame's own, else 24")
        ->type_name("RATE");
    app.add_option(flag(UserChoice::Codec), args.request.codec, "Codec of a movie output, with its container: " + veilcast::movieCodecNames() +
                                              "; default: the container's own")
        ->type_name("NAME");
    app.add_option(option::kColourConfig, args.request.ocio, "OpenColorIO configuration (default: $OCIO); keys are pulled in its scene_linear role")
        ->type_name("CONFIG");
    app.add_option(flag(UserChoice::InColourSpace), args.request.inColourSpace,
                   "Colour space of the input in the configuration; default: the file's own tag, else the usual rules")
        ->type_name("NAME");
    app.add_option(flag(UserChoice::OutColourSpace), args.request.outColourSpace, "Colour space to write; default: the input's")
        ->type_name("NAME");
    app.add_flag("--list-colorspaces", args.listColourSpaces, "List the colour spaces of the configuration");
}

}  // namespace veilcast
