// SPDX-License-Identifier: Apache-2.0
#include "CommandLine.h"

#include "veilcast/media/FileExtensions.h"
#include "veilcast/media/FrameSequence.h"
#include "veilcast/movie/MovieFiles.h"
#include "veilcast/session/CommandWords.h"

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
    if (!namesFormatWithAlpha(input))
        rest = rest.substr(0, rest.size() - path.extension().string().size()) + ".exr";
    return (path.parent_path() / (stem + "_keyed" + rest)).string();
}

std::string keyCommandLine(const std::string& input, const std::string& settingsFile, bool sequence,
                           const std::vector<int>& frames, const ScreenMapChoice& screenMap)
{
    KeyJobOptions job;
    job.input = input;
    job.output = defaultOutputPath(input);
    job.settingsFile = settingsFile;
    job.screenMap = screenMap;
    if (sequence) {
        FrameList list;
        for (const int f : frames)
            list.append(f);
        job.frames = list.format();
    }
    std::vector<std::string> words = commandWords(job);
    words.insert(words.begin(), "veilcast");
    return commandText(words);
}

}  // namespace veilcast::tune
