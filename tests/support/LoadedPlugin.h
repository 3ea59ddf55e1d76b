// SPDX-License-Identifier: Apache-2.0
#pragma once

// Loads the built operator module once per test process, as a host would.

#include "veilcast/host/PluginLibrary.h"

namespace zavtest {

inline const veilcast::PluginLibrary& loadedPlugin()
{
    static const veilcast::PluginLibrary library(VEILCAST_PLUGIN_FILE);
    return library;
}

}  // namespace zavtest
