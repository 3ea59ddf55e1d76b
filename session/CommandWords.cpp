// SPDX-License-Identifier: Apache-2.0
#include "veilcast/session/CommandWords.h"

#include "veilcast/media/ColourSpaces.h"
#include "veilcast/session/KeyRequest.h"

namespace veilcast {

namespace {

// A relative path starting with '-' would read as an option: ./-name does not.
std::string pathWord(const std::string& path)
{
    return !path.empty() && path.front() == '-' ? "./" + path : path;
}

}  // namespace

std::vector<std::string> commandWords(const KeyJobOptions& job, const std::vector<std::string>& pluginDirectories)
{
    std::vector<std::string> words;
    const auto add = [&](const char* name, const std::string& value) {
        if (!value.empty())
            words.insert(words.end(), {name, value});
    };
    if (!job.input.empty())
        words.push_back(pathWord(job.input));
    add(option::kOutput, pathWord(job.output));
    add(option::kDateTime, job.write.dateTime);
    for (const std::string& d : pluginDirectories)
        add(option::kPluginPath, pathWord(d));
    if (job.read.raw)
        words.push_back(option::kRaw);
    add(option::kDataType, job.write.dataType == OIIO::TypeDesc::UNKNOWN ? "" : job.write.dataType.c_str());
    add(option::kPart, job.read.part);
    add(option::kLayer, job.read.layer);
    add(option::kSettings, pathWord(job.settingsFile));
    add(option::kScreenMap, pathWord(screenMapWords(job.screenMap)));
    add(option::kFrames, job.frames);
    add(option::kShotFrames, job.shotFrames);
    if (job.read.maxPixels != defaultMaxPixels())
        add(option::kMaxPixels, std::to_string(job.read.maxPixels));
    if (job.read.colour) {
        add(option::kColourConfig, job.read.colour->path());
        add(option::kInColourSpace, job.read.colour->askedInput());
        add(option::kOutColourSpace, job.read.colour->askedOutput());
    }
    return words;
}

}  // namespace veilcast
