// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

namespace veilcast {

// `path` with every control character (bytes below 0x20, and 0x7f) written as
// a C escape (\n, \r, \t, \xNN), so a message shows a hostile name on one line.
std::string escapedPath(const std::string& path);

// Paths that end up in a line of a script or of a settings file (the farm's
// job script and frozen settings, the tuner's saved settings) may not hold a
// control character: one newline would start a line of its own. Throws
// UsageError naming `what` and the path, escaped.
void refuseControlCharacters(const std::string& path, const std::string& what);

}  // namespace veilcast
