// SPDX-License-Identifier: Apache-2.0
#include "CommandLine.h"

#include "veilcast/media/FrameSequence.h"
#include "veilcast/movie/MovieFiles.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace veilcast::tune {

namespace fs = std::filesystem;

namespace {

// The name's first part and the rest from its first dot ("plate", ".####.exr").
std::pair<std::string, std::string> splitName(const std::string& name)
{
    const std::size_t dot = name.find('.', 1);
    if (dot == std::string::npos)
        return {name, ""};
    return {name.substr(0, dot), name.substr(dot)};
}

// A path as one word of a command: quoted for the shell, and a relative one
// that starts with '-' given as ./-name so it is not read as an option.
std::string commandWord(const std::string& path)
{
    return shellQuote(!path.empty() && path.front() == '-' ? "./" + path : path);
}

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

std::string defaultSettingsPath(const std::string& input)
{
    const fs::path path(input);
    return (path.parent_path() / (splitName(path.filename().string()).first + ".keyer")).string();
}

std::string defaultOutputPath(const std::string& input)
{
    const fs::path path(input);
    auto [stem, rest] = splitName(path.filename().string());
    // A movie is keyed to a movie with alpha.
    if (isMovieFile(input))
        return (path.parent_path() / (stem + "_keyed.mov")).string();
    // A keyed result has alpha: formats that cannot hold it are written as EXR.
    static const char* const withAlpha[] = {".exr", ".png", ".tif", ".tiff", ".dpx", ".tga", ".webp"};
    const std::string extension = lower(path.extension().string());
    if (std::none_of(std::begin(withAlpha), std::end(withAlpha), [&](const char* e) { return extension == e; }))
        rest = rest.substr(0, rest.size() - extension.size()) + ".exr";
    return (path.parent_path() / (stem + "_keyed" + rest)).string();
}

std::string keyCommandLine(const std::string& input, const std::string& settingsFile, bool sequence,
                           const std::vector<int>& frames, const ScreenMapChoice& screenMap)
{
    std::string line = "veilcast " + commandWord(input) + " -o " + commandWord(defaultOutputPath(input)) +
                       " --settings " + commandWord(settingsFile);
    if (screenMap.kind == ScreenMapChoice::Kind::Auto || screenMap.kind == ScreenMapChoice::Kind::Shot)
        line += screenMap.kind == ScreenMapChoice::Kind::Auto ? " --screen-map auto" : " --screen-map shot";
    else if (screenMap.kind == ScreenMapChoice::Kind::CleanPlate)  // a clean plate named "auto" is not auto
        line += " --screen-map " + commandWord(screenMap.cleanPlate == "auto" ? "./auto" : screenMap.cleanPlate);
    if (sequence) {
        FrameList list;
        for (const int f : frames)
            list.append(f);
        line += " --frames " + list.format();
    }
    return line;
}

}  // namespace veilcast::tune
