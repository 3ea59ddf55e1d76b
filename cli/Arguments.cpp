// SPDX-License-Identifier: Apache-2.0
#include "Arguments.h"

#include "veilcast/common/UsageError.h"
#include "veilcast/farm/FrozenSettings.h"
#include "veilcast/media/ColourSpaces.h"
#include "veilcast/media/Metadata.h"
#include "veilcast/movie/MovieFiles.h"
#include "veilcast/session/KeyPolicy.h"
#include "veilcast/session/MovieKeying.h"
#include "veilcast/session/ShellQuote.h"

namespace veilcast {

namespace {

// How the command line names each choice a library message points at.
std::string_view flagFor(UserChoice choice)
{
    switch (choice) {
    case UserChoice::None: return "";
    case UserChoice::Frames: return "--frames";
    case UserChoice::SkipMissing: return "--skip-missing";
    case UserChoice::FrameRate: return "--fps";
    case UserChoice::MaxPixels: return "--max-pixels";
    case UserChoice::DateTime: return "--date-time";
    case UserChoice::ColourConfig: return "--ocio CONFIG";
    case UserChoice::InColourSpace: return "--in-colorspace";
    case UserChoice::OutColourSpace: return "--out-colorspace";
    case UserChoice::Part: return "--part";
    case UserChoice::Layer: return "--layer";
    case UserChoice::Raw: return "--raw";
    case UserChoice::PickBox: return "; pick it with a box over clean backing, --pick-screen X0,Y0,X1,Y1";
    case UserChoice::PickScreen: return "--pick-screen";
    case UserChoice::Controls: return "--list-knobs";
    case UserChoice::ScreenMap: return "--screen-map";
    case UserChoice::Threads: return "--threads";
    case UserChoice::Codec: return "--codec";
    }
    return "";
}

}  // namespace

std::string commandLineText(const Wording& wording)
{
    return wording.with(flagFor(wording.choice));
}

std::string commandLineText(const std::exception& e)
{
    return commandLineText(wordingOf(e));
}

std::vector<std::string> pluginDirectories(const Arguments& args)
{
    std::vector<std::string> dirs = args.pluginPaths;
    for (const std::string& d : defaultPluginDirectories())
        dirs.push_back(d);
    return dirs;
}

std::shared_ptr<const ColourSpaces> colourSpaces(const Arguments& args)
{
    const bool named = !args.inColourSpace.empty() || !args.outColourSpace.empty();
    if (!ColourSpaces::configured(args.ocio)) {
        if (named)
            throw UsageError("--in-colorspace and --out-colorspace need a colour configuration: --ocio CONFIG or $OCIO");
        return nullptr;
    }
    if (args.read.raw && named)
        throw UsageError("--raw keeps values as stored; it does not go with --in-colorspace or --out-colorspace");
    return std::make_shared<const ColourSpaces>(args.ocio, args.inColourSpace, args.outColourSpace);
}

KeyJobOptions keyJob(const Arguments& args, const CancellationToken* cancellation)
{
    KeyJobOptions job;
    job.input = args.input;
    job.output = args.output;
    job.frames = args.frames;
    job.skipMissing = args.skipMissing;
    job.cancellation = cancellation;
    if (!args.frozenSettings.empty() || !args.settingsSha256.empty()) {
        // A farm task: every value and the screen colour come from the file
        // submit froze, byte for byte as it was then, and nothing else.
        if (args.frozenSettings.empty() || args.settingsSha256.empty())
            throw UsageError("--frozen-settings and --settings-sha256 go together (the farm's job script gives both)");
        if (!args.settingsFile.empty() || !args.sets.empty() || !args.pick.empty())
            throw UsageError("--frozen-settings holds every value and the screen colour; it does not go with "
                             "--settings, --set or --pick-screen");
        if (args.settingsSha256.size() != 64 ||
            args.settingsSha256.find_first_not_of("0123456789abcdef") != std::string::npos)
            throw UsageError("--settings-sha256 takes 64 lowercase hex digits, not \"" + args.settingsSha256 + "\"");
        if (!args.clip.empty())
            throw UsageError("--frozen-settings holds the clip levels chosen when the job was submitted; it does "
                             "not go with --clip");
        job.settings = farm::readFrozenFile(args.frozenSettings, args.settingsSha256).settings.values;
        job.settingsFile = args.frozenSettings;
        job.frozen = true;
    }
    if (!args.settingsFile.empty()) {
        job.settings = readSettingsFile(args.settingsFile);
        job.settingsFile = args.settingsFile;
    }
    for (const std::string& s : args.sets)
        job.settings.push_back(parseSetting(s, "--set"));
    if (args.pick == "auto")
        job.pick.kind = ScreenPick::Kind::Auto;
    else if (!args.pick.empty()) {
        job.pick.kind = ScreenPick::Kind::Box;
        job.pick.box = parsePickBox(args.pick);
    }
    if (args.screenMap == "auto" || args.screenMap == "shot") {
        job.screenMap.kind = args.screenMap == "auto" ? ScreenMapChoice::Kind::Auto : ScreenMapChoice::Kind::Shot;
    } else if (!args.screenMap.empty()) {
        job.screenMap.kind = ScreenMapChoice::Kind::CleanPlate;
        job.screenMap.cleanPlate = args.screenMap;
    }
    if (!args.clip.empty() && args.clip != "auto")
        throw UsageError("--clip takes \"auto\", not \"" + args.clip +
                         "\"; clip levels of your own are --set \"Clip Black=V\" --set \"Clip White=V\"");
    job.autoClips = !args.clip.empty();
    if (!args.dataType.empty())
        job.write.dataType = parseDataType(args.dataType);
    checkDateTime(args.dateTime);
    job.write.dateTime = args.dateTime;
    checkThreadCount(args.threads);
    job.threads = args.threads;
    job.previewPath = args.preview;
    // The colour configuration is checked before the movie options, as it always was: a named
    // space without one is refused in the same words for images and movies.
    job.read = args.read;
    job.read.colour = colourSpaces(args);
    const bool movieIn = isMovieFile(args.input);
    if (!args.fps.empty()) {
        if (movieIn)
            throw UsageError("--fps is for a movie made from an image sequence; a movie keeps its own rate");
        parseFrameRate(args.fps, job.rateNum, job.rateDen);
    }
    if (!args.codec.empty() && !isMovieName(args.output))
        throw UsageError("--codec is for a movie output (.mov, .mkv, .webm), and " + args.output + " is not one");
    job.codec = args.codec;
    if (movieIn && !args.inColourSpace.empty())
        throw UsageError("--in-colorspace is for images; a movie's colour comes from its stream's tags");
    if (isMovieName(args.output) && !args.outColourSpace.empty())
        throw UsageError("--out-colorspace is for images; a movie is written with its source's colour tags, or BT.709");
    return job;
}

std::string settingsAsOptions(const Controls& controls)
{
    return settingsAsOptions(currentSettings(controls));
}

std::string settingsAsOptions(const std::vector<Setting>& settings)
{
    std::string options;
    for (const Setting& s : settings)
        options += (options.empty() ? "--set " : " --set ") + shellQuote(s.name + "=" + s.value);
    return options;
}

}  // namespace veilcast
