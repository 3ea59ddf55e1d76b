// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

namespace veilcast {

// True when the path's extension names a movie container (mov, mp4, m4v,
// mkv, webm, avi, mxf, MPEG transport and program streams: ts, mts, m2ts,
// mpg, mpeg), whatever its case. Outputs are decided by this alone.
bool isMovieName(const std::string& path);

// True when the path is a movie to read: its extension names a movie
// container, or the file exists and holds one by its content (an MPEG
// stream or a movie without an extension, an animated GIF or PNG). A
// single-frame image is not a movie; a path that does not exist is judged
// by its extension.
bool isMovieFile(const std::string& path);

}  // namespace veilcast
