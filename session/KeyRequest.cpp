// SPDX-License-Identifier: Apache-2.0
#include "veilcast/session/KeyRequest.h"

#include "veilcast/media/ColourSpaces.h"
#include "veilcast/media/FramePattern.h"
#include "veilcast/media/Metadata.h"
#include "veilcast/movie/MovieFiles.h"
#include "veilcast/session/FrozenSettings.h"
#include "veilcast/session/KeyPolicy.h"
#include "veilcast/session/MovieKeying.h"

namespace veilcast {

namespace {

constexpr char kAuto[] = "auto";
constexpr char kShot[] = "shot";

// The settings a request gives, in the order they apply. A farm task's come
// from the file submit froze, byte for byte as it was then, and nothing else.
std::vector<Setting> requestedSettings(const KeyRequest& request, ChoiceWords words)
{
    const auto w = [&](UserChoice c) { return std::string(words(c)); };
    std::vector<Setting> settings;
    if (!request.frozenSettings.empty() || !request.settingsSha256.empty()) {
        if (request.frozenSettings.empty() || request.settingsSha256.empty())
            throw UsageError(w(UserChoice::FrozenSettings) + " and " + w(UserChoice::SettingsSha256) +
                             " go together (the farm's job script gives both)");
        if (!request.settingsFile.empty() || !request.sets.empty() || !request.settings.empty() ||
            !request.pick.empty())
            throw UsageError(w(UserChoice::FrozenSettings) + " holds every value and the screen colour; it does not "
                             "go with " + w(UserChoice::Settings) + ", " + w(UserChoice::Set) + " or " +
                             w(UserChoice::PickScreen));
        const std::string& sha = request.settingsSha256;
        if (sha.size() != 64 || sha.find_first_not_of("0123456789abcdef") != std::string::npos)
            throw UsageError(w(UserChoice::SettingsSha256) + " takes 64 lowercase hex digits, not \"" + sha + "\"");
        if (!request.clip.empty())
            throw UsageError(w(UserChoice::FrozenSettings) + " holds the clip levels chosen when the job was "
                             "submitted; it does not go with " + w(UserChoice::Clip));
        settings = readFrozenFile(request.frozenSettings, sha).settings.values;
    }
    if (!request.settingsFile.empty())
        settings = readSettingsFile(request.settingsFile);
    for (const std::string& s : request.sets)
        settings.push_back(parseSetting(s, w(UserChoice::Set)));
    settings.insert(settings.end(), request.settings.begin(), request.settings.end());
    return settings;
}

// The options that only a movie, or only images, take.
void checkMovieChoices(const KeyRequest& request, KeyJobOptions& job, ChoiceWords words)
{
    const auto w = [&](UserChoice c) { return std::string(words(c)); };
    const bool movieIn = isMovieFile(request.input);
    const bool movieOut = isMovieName(request.output);
    if (!request.fps.empty()) {
        if (movieIn)
            throw UsageError(w(UserChoice::FrameRate) +
                             " is for a movie made from an image sequence; a movie keeps its own rate");
        parseFrameRate(request.fps, job.rateNum, job.rateDen);
    }
    if (!request.codec.empty() && !movieOut)
        throw UsageError(w(UserChoice::Codec) + " is for a movie output (.mov, .mkv, .webm), and " + request.output +
                         " is not one");
    job.codec = request.codec;
    if (movieIn && !request.inColourSpace.empty())
        throw UsageError(w(UserChoice::InColourSpace) + " is for images; a movie's colour comes from its stream's tags");
    if (movieOut && !request.outColourSpace.empty())
        throw UsageError(w(UserChoice::OutColourSpace) +
                         " is for images; a movie is written with its source's colour tags, or BT.709");
    if (movieIn && !request.read.layer.empty())
        throw UsageError(w(UserChoice::Layer) + " is for images with layers; a movie is keyed from its video stream");
    if (movieOut && !request.dataType.empty())
        throw UsageError(w(UserChoice::DataType) + " is for images; a movie is written at its codec's depth");
}

}  // namespace

ScreenPick pickFromWords(const std::string& text)
{
    ScreenPick pick;
    if (text == kAuto)
        pick.kind = ScreenPick::Kind::Auto;
    else if (!text.empty())
        pick = {ScreenPick::Kind::Box, parsePickBox(text)};
    return pick;
}

std::string pickWords(const ScreenPick& pick)
{
    const auto& b = pick.box;
    switch (pick.kind) {
    case ScreenPick::Kind::None: return {};
    case ScreenPick::Kind::Auto: return kAuto;
    case ScreenPick::Kind::Box: break;
    }
    return std::to_string(b[0]) + "," + std::to_string(b[1]) + "," + std::to_string(b[2]) + "," + std::to_string(b[3]);
}

ScreenMapChoice screenMapFromWords(const std::string& text)
{
    if (text == kAuto)
        return {ScreenMapChoice::Kind::Auto, {}};
    if (text == kShot)
        return {ScreenMapChoice::Kind::Shot, {}};
    if (!text.empty())
        return {ScreenMapChoice::Kind::CleanPlate, text};
    return {};
}

std::string screenMapWords(const ScreenMapChoice& choice)
{
    switch (choice.kind) {
    case ScreenMapChoice::Kind::None: return {};
    case ScreenMapChoice::Kind::Auto: return kAuto;
    case ScreenMapChoice::Kind::Shot: return kShot;
    case ScreenMapChoice::Kind::Given: return {};  // a map in memory has no words
    case ScreenMapChoice::Kind::CleanPlate:
        return screenMapFromWords(choice.cleanPlate).kind == choice.kind ? choice.cleanPlate : "./" + choice.cleanPlate;
    }
    return {};
}

void checkMaxPixels(long long pixels, ChoiceWords words)
{
    if (pixels <= 0)
        throw UsageError(std::string(words(UserChoice::MaxPixels)) + " takes a positive number of pixels, not " +
                         std::to_string(pixels));
}

std::shared_ptr<const ColourSpaces> requestedColourSpaces(const KeyRequest& request, ChoiceWords words)
{
    const auto w = [&](UserChoice c) { return std::string(words(c)); };
    const bool named = !request.inColourSpace.empty() || !request.outColourSpace.empty();
    if (!ColourSpaces::configured(request.ocio)) {
        if (named)
            throw UsageError(w(UserChoice::InColourSpace) + " and " + w(UserChoice::OutColourSpace) +
                             " need a colour configuration: " + w(UserChoice::ColourConfig) + " or $OCIO");
        return nullptr;
    }
    if (request.read.raw && named)
        throw UsageError(w(UserChoice::Raw) + " keeps values as stored; it does not go with " +
                         w(UserChoice::InColourSpace) + " or " + w(UserChoice::OutColourSpace));
    return std::make_shared<const ColourSpaces>(request.ocio, request.inColourSpace, request.outColourSpace);
}

KeyJobOptions checkRequest(const KeyRequest& request, ChoiceWords words, const CancellationToken* cancellation)
{
    KeyJobOptions job;
    job.input = request.input;
    job.output = request.output;
    job.frames = request.frames;
    job.skipMissing = request.skipMissing;
    job.cancellation = cancellation;
    job.settings = requestedSettings(request, words);
    job.frozen = !request.frozenSettings.empty();
    job.settingsFile = job.frozen ? request.frozenSettings : request.settingsFile;
    job.pick = pickFromWords(request.pick);
    job.screenMap = screenMapFromWords(request.screenMap);
    if (!request.shotFrames.empty()) {
        if (job.screenMap.kind != ScreenMapChoice::Kind::Shot)
            throw UsageError(std::string(words(UserChoice::ShotFrames)) + " names the frames a shot's plate is "
                             "gathered over: it goes with " + std::string(words(UserChoice::ScreenMap)) + " shot");
        if (!isSequencePattern(request.input) || isMovieFile(request.input))
            throw UsageError(std::string(words(UserChoice::ShotFrames)) + " is for a sequence such as "
                             "plate.####.exr (a movie's plate is gathered from the frames keyed)");
        parseFrameRange(request.shotFrames, UserChoice::ShotFrames);
        job.shotFrames = request.shotFrames;
    }
    if (!request.clip.empty() && request.clip != kAuto)
        throw UsageError(std::string(words(UserChoice::Clip)) + " takes \"auto\", not \"" + request.clip +
                         "\"; clip levels of your own are " + std::string(words(UserChoice::Set)) +
                         " \"Clip Black=V\" " + std::string(words(UserChoice::Set)) + " \"Clip White=V\"");
    job.autoClips = !request.clip.empty();
    if (!request.dataType.empty())
        job.write.dataType = parseDataType(request.dataType);
    checkDateTime(request.dateTime);
    job.write.dateTime = request.dateTime;
    checkThreadCount(request.threads);
    job.threads = static_cast<int>(request.threads);
    job.previewPath = request.preview;
    // The colour configuration is checked before the movie options: a named
    // space without one is refused in the same words for images and movies.
    job.read = request.read;
    job.read.colour = requestedColourSpaces(request, words);
    checkMovieChoices(request, job, words);
    return job;
}

}  // namespace veilcast
