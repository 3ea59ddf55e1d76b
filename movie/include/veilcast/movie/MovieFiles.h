// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

namespace veilcast {

// True when the path's extension names a movie container (mov, mp4, m4v,
// mkv, webm, avi, mxf), whatever its case.
bool isMovieFile(const std::string& path);

}  // namespace veilcast
