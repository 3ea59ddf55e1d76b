// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/session/ScreenMapping.h"
#include "veilcast/session/ShellQuote.h"

#include <string>
#include <vector>

namespace veilcast::tune {

// The settings file used when none is given: beside the input, named after
// it up to its first dot ("shots/plate.####.exr" -> "shots/plate.keyer").
std::string defaultSettingsPath(const std::string& input);

// Where the command line shown on Save writes: beside the input, "_keyed"
// after the name's first part, in EXR unless the input's format holds alpha
// ("plate.####.exr" -> "plate_keyed.####.exr", "clip.jpg" -> "clip_keyed.exr");
// a movie becomes a QuickTime movie with alpha ("clip.mp4" -> "clip_keyed.mov").
std::string defaultOutputPath(const std::string& input);

// The `veilcast` command that keys the whole input with the saved settings
// and the screen map in use, if any; a sequence's frames (ascending) in runs,
// as --frames takes them.
std::string keyCommandLine(const std::string& input, const std::string& settingsFile, bool sequence,
                           const std::vector<int>& frames, const ScreenMapChoice& screenMap = {});

}  // namespace veilcast::tune
