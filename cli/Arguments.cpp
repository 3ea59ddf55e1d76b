// SPDX-License-Identifier: Apache-2.0
#include "Arguments.h"

#include "veilcast/farm/FrozenSettings.h"
#include "veilcast/common/UsageError.h"
#include "veilcast/media/ColourSpaces.h"
#include "veilcast/media/Metadata.h"

namespace veilcast {

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
    if (args.raw && named)
        throw UsageError("--raw keeps values as stored; it does not go with --in-colorspace or --out-colorspace");
    return std::make_shared<const ColourSpaces>(args.ocio, args.inColourSpace, args.outColourSpace);
}

KeyJobOptions jobOptions(const Arguments& args, const CancellationToken* cancellation)
{
    KeyJobOptions job;
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
        job.settings = farm::readFrozenFile(args.frozenSettings, args.settingsSha256).settings.values;
        job.frozen = true;
    }
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
    job.colour = colourSpaces(args);
    return job;
}

}  // namespace veilcast
