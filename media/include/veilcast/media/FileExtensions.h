// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

namespace veilcast {

// What a file's name says of its format, for choosing a name before any
// file exists; once one is opened, the image library's own answer counts.

// The extension of `path`, from its last dot, in lowercase (".exr"); empty
// when it has none.
std::string lowerExtension(const std::string& path);

// True when `path` names a format that holds alpha, one of formatsWithAlpha.
bool namesFormatWithAlpha(const std::string& path);

// The formats that hold alpha, as messages name them: "EXR, PNG, ... or WebP".
std::string formatsWithAlpha();

}  // namespace veilcast
