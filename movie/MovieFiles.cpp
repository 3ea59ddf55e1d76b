// SPDX-License-Identifier: Apache-2.0
#include "veilcast/movie/MovieFiles.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace veilcast {

bool isMovieFile(const std::string& path)
{
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* movie : {".mov", ".mp4", ".m4v", ".mkv", ".webm", ".avi", ".mxf"})
        if (ext == movie)
            return true;
    return false;
}

}  // namespace veilcast
