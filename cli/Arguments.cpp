// SPDX-License-Identifier: Apache-2.0
#include "Arguments.h"
#include "KeyOptions.h"

#include "veilcast/common/UsageError.h"

namespace veilcast {

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
