// SPDX-License-Identifier: Apache-2.0
#include "veilcast/session/KeyPolicy.h"

#include "veilcast/common/UsageError.h"
#include "veilcast/media/Preview.h"
#include "veilcast/movie/MovieFiles.h"
#include "veilcast/session/CommandWords.h"
#include "veilcast/session/FileClashes.h"
#include "veilcast/session/KeySession.h"
#include "veilcast/session/ShellQuote.h"
#include "veilcast/common/KnobNames.h"

#include <OpenImageIO/strutil.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace veilcast {

namespace {

bool gives(const Controls& controls, const std::vector<Setting>& settings, const Controls::Control* control)
{
    return std::any_of(settings.begin(), settings.end(),
                       [&](const Setting& s) { return controls.find(s.name) == control; });
}

// Refused before anything is keyed, rather than at the frame that lacks one.
void checkCleanPlate(const ScreenMapChoice& choice, const std::string& clean)
{
    std::error_code ec;
    if (std::filesystem::is_regular_file(clean, ec))
        return;
    const bool there = std::filesystem::exists(clean, ec);
    throw UsageError(Wording{clean + (there ? ": not a clean plate file (" : ": no such clean plate ("),
                             UserChoice::ScreenMap, " " + choice.cleanPlate + ")"});
}

// A value as the option that gives it back, quoted for a shell as a user
// would type it: --set "Clip Black=0.0123".
std::string setOption(const Controls::Control& control, const ControlValue& value)
{
    return std::string(option::kSet) + " \"" + control.label() + "=" + formatControlValue(control, value) + "\"";
}

// The preview and the settings file are opened by the name given, which a
// pattern's characters would otherwise turn into frames of other files.
std::string literalName(const std::string& path)
{
    std::string escaped;
    for (const char c : path) {
        if (c == '#' || c == '@' || c == '%')
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

}  // namespace

std::vector<JobFile> jobFiles(const KeyJobOptions& job)
{
    using Role = JobFile::Role;
    std::vector<JobFile> files{{job.input, Role::Input}};
    if (job.screenMap.kind == ScreenMapChoice::Kind::CleanPlate)
        files.push_back({job.screenMap.cleanPlate, Role::CleanPlate});
    if (!job.settingsFile.empty())
        files.push_back({literalName(job.settingsFile), Role::Settings});
    files.push_back({job.output, Role::Output});
    if (!job.previewPath.empty())
        files.push_back({literalName(job.previewPath), Role::Preview});
    return files;
}

bool screenColourGiven(const Controls& controls, const std::vector<Setting>& settings)
{
    return controlGiven(controls, settings, knob::kScreenColor);
}

bool controlGiven(const Controls& controls, const std::vector<Setting>& settings, const char* name)
{
    return gives(controls, settings, controls.find(name));
}

void checkThreadCount(long threads)
{
    if (threads < 0 || threads > kMaxThreads)
        throw UsageError(Wording{"", UserChoice::Threads,
                                 " takes a count of threads from 0 (every core) to " + std::to_string(kMaxThreads) +
                                     ", not " + std::to_string(threads)});
}

const char* keyerClassFor(const KeyJobOptions& job)
{
    const bool mapControlSet = std::any_of(job.settings.begin(), job.settings.end(), [](const Setting& s) {
        return OIIO::Strutil::iequals(s.name, "Use Screen Map") || OIIO::Strutil::iequals(s.name, knob::kUseScreenMap);
    });
    return job.screenMap.kind != ScreenMapChoice::Kind::None || mapControlSet ? "ZAVVeilcastScreenMap"
                                                                                : "ZAVVeilcast";
}

std::string describePickedScreen(const Controls& controls, const Colour& colour, bool asOption)
{
    const Controls::Control& screen = *controls.find(knob::kScreenColor);
    const std::string words = "picked screen colour " + formatControlValue(screen, ControlValue(colour));
    return asOption ? words + " (" + setOption(screen, ControlValue(colour)) + ")" : words;
}

std::string describeChosenClips(const Controls& controls)
{
    std::string options;
    for (const char* name : kChosenClipControls) {
        const Controls::Control& c = *controls.find(name);
        options += std::string(options.empty() ? "" : " ") + setOption(c, c.value());
    }
    return "chose clips (" + options + ")";
}

std::string settingsAsOptions(const std::vector<Setting>& settings)
{
    std::string options;
    for (const Setting& s : settings)
        options += (options.empty() ? "" : " ") + std::string(option::kSet) + " " + shellQuote(s.name + "=" + s.value);
    return options;
}

ScreenPick screenPickFor(const Controls& controls, const KeyJobOptions& job)
{
    if (job.frozen) {
        // A task picking its own colour would key its chunk unlike the others.
        for (const Controls::Control& c : controls.all())
            if (c.hasValue() && !gives(controls, job.settings, &c))
                throw UsageError("the frozen settings give no value for " + c.label() + "; nothing was keyed");
        return {};
    }
    if (job.pick.kind == ScreenPick::Kind::None && !screenColourGiven(controls, job.settings))
        return {ScreenPick::Kind::Auto, {}};
    return job.pick;
}

KeyPlan planKey(const KeyJobOptions& job, bool withAlpha)
{
    KeyPlan plan;
    if (isMovieFile(job.input) || isMovieName(job.output)) {
        plan.kind = KeyPlan::Kind::Movie;
        plan.movie.input = job.input;
        plan.movie.output = job.output;
        if (!job.frames.empty())
            plan.movie.frames = parseFrameRange(job.frames);
        plan.movie.rateNum = job.rateNum;
        plan.movie.rateDen = job.rateDen;
        // One file serves every frame; a pattern's frames are read as the movie's come.
        if (job.screenMap.kind == ScreenMapChoice::Kind::CleanPlate && !isSequencePattern(job.screenMap.cleanPlate))
            checkCleanPlate(job.screenMap, cleanPlateFor(job.screenMap, 0));
        refuseClashes(jobFiles(job), plan.movie.frames.empty() ? nullptr : &plan.movie.frames);
        checkMovieJob(plan.movie, withAlpha);
        if (!job.previewPath.empty())
            checkPreviewPath(job.previewPath);
        return plan;
    }
    const bool sequence = isSequencePattern(job.input);
    std::vector<int> numbers;  // of the files' frames
    if (sequence != isSequencePattern(job.output))
        throw UsageError("input and output must both be sequences (plate.####.exr) or both single files");
    if (sequence) {
        plan.kind = KeyPlan::Kind::Sequence;
        if (job.frames.empty())
            throw UsageError(Wording{job.input + " is a sequence: give the frames with ", UserChoice::Frames,
                                     ", e.g. 1001-1100"});
        const FrameList frames = parseFrameRange(job.frames);
        const FrameCheck check = checkFrames(job.input, frames);
        if (!check.missing.empty()) {
            const std::string what = std::to_string(check.missing.size()) + " of " + std::to_string(frames.size()) +
                                     " frames of " + job.input + " missing: " + check.missing.describe();
            if (!job.skipMissing)
                throw Failure(Wording{what + " (nothing was keyed; ", UserChoice::SkipMissing, " keys the rest)"});
            if (check.present.empty())
                throw Failure(what + ": nothing to key");
            plan.skipped = check.missing;
        }
        check.present.forEach([&](int f) {
            plan.files.emplace_back(framePath(job.input, f), framePath(job.output, f));
            numbers.push_back(f);
            return true;
        });
    } else {
        if (!job.frames.empty())
            throw UsageError(Wording{"", UserChoice::Frames, " needs a sequence pattern such as plate.####.exr"});
        if (job.screenMap.kind == ScreenMapChoice::Kind::CleanPlate && isSequencePattern(job.screenMap.cleanPlate))
            throw UsageError(Wording{"", UserChoice::ScreenMap, " " + job.screenMap.cleanPlate +
                                         " is a sequence of clean plates, one per frame; a single image takes "
                                         "one clean plate file"});
        // framePath of a single file only undoes its escapes (\#, \@, \%).
        plan.files.emplace_back(framePath(job.input, 0), framePath(job.output, 0));
        numbers.push_back(0);
    }
    if (job.screenMap.kind == ScreenMapChoice::Kind::CleanPlate) {
        for (const int f : numbers) {
            const std::string clean = cleanPlateFor(job.screenMap, f);
            checkCleanPlate(job.screenMap, clean);
            plan.cleanPlates.push_back(clean);
        }
    }

    FrameList keyedFrames;
    for (const int f : numbers)
        keyedFrames.append(f);
    refuseClashes(jobFiles(job), sequence ? &keyedFrames : nullptr);
    if (!job.previewPath.empty())
        checkPreviewPath(job.previewPath);
    for (const auto& [in, out] : plan.files)
        checkOutputPath(out, job.write.dataType, withAlpha);
    return plan;
}

std::string describeRun(const RunTotals& totals)
{
    const double megapixels = static_cast<double>(totals.pixels) / 1e6;
    const double rate = totals.seconds <= 0 ? 0.0
                        : totals.movie      ? static_cast<double>(totals.frames) / totals.seconds
                                            : megapixels / totals.seconds;
    char text[160];
    std::snprintf(text, sizeof text, "keyed %ld frame%s, %.2f Mpixel in %.2f s (%.1f %s/s)", totals.frames,
                  totals.frames == 1 ? "" : "s", megapixels, totals.seconds, rate, totals.movie ? "frames" : "Mpixel");
    return text;
}

std::string describeSkipped(const FrameList& skipped)
{
    if (skipped.empty())
        return {};
    return "skipped " + std::to_string(skipped.size()) + " missing frame" + (skipped.size() == 1 ? "" : "s") + ": " +
           skipped.describe();
}

}  // namespace veilcast
