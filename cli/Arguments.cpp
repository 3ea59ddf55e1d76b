// SPDX-License-Identifier: Apache-2.0
#include "Arguments.h"

#include "veilcast/common/UsageError.h"

namespace veilcast {

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
    case UserChoice::Settings: return "--settings";
    case UserChoice::Set: return "--set";
    case UserChoice::FrozenSettings: return "--frozen-settings";
    case UserChoice::SettingsSha256: return "--settings-sha256";
    case UserChoice::Clip: return "--clip";
    case UserChoice::DataType: return "-d";
    }
    return "";
}

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

KeyJobOptions keyJob(const Arguments& args, const CancellationToken* cancellation)
{
    return checkRequest(args.request, flagFor, cancellation);
}

}  // namespace veilcast
