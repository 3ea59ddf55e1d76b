// SPDX-License-Identifier: Apache-2.0
#include "Commands.h"

#include <cstdio>

namespace veilcast {

int listKnobs(const Arguments& args)
{
    KeySession keyer(pluginDirectories(args), KeyJobOptions{});
    std::fputs(describeControls(keyer.controls()).c_str(), stdout);
    return 0;
}

}  // namespace veilcast
