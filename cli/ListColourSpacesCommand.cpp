// SPDX-License-Identifier: Apache-2.0
#include "Commands.h"

#include "ExitStatus.h"
#include "veilcast/common/UsageError.h"
#include "veilcast/media/ColourSpaces.h"

#include <cstdio>

namespace veilcast {

int listColourSpaces(const Arguments& args)
{
    if (!ColourSpaces::configured(args.request.ocio))
        throw UsageError("--list-colorspaces needs a colour configuration: --ocio CONFIG or $OCIO");
    const ColourSpaces spaces(args.request.ocio, "", "");
    std::printf("colour spaces of %s:\n", spaces.path().c_str());
    for (const std::string& name : spaces.names())
        std::printf("  %s%s\n", name.c_str(), name == spaces.sceneLinear() ? "  (scene_linear: keys are pulled here)" : "");
    return kExitSuccess;
}

}  // namespace veilcast
