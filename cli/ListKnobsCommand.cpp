// SPDX-License-Identifier: Apache-2.0
#include "Commands.h"

#include <cstdio>

namespace veilcast {

int listKnobs(const Arguments& args)
{
    // With --screen-map, the keyer that takes one, and its own control.
    KeyJobOptions job;
    if (!args.request.screenMap.empty())
        job.screenMap.kind = ScreenMapChoice::Kind::Auto;
    KeySession keyer(pluginDirectories(args), job);
    std::fputs(describeControls(keyer.controls()).c_str(), stdout);
    return 0;
}

}  // namespace veilcast
