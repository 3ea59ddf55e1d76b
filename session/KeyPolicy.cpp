// SPDX-License-Identifier: Apache-2.0
#include "veilcast/session/KeyPolicy.h"

#include "veilcast/common/UsageError.h"
#include "veilcast/movie/MovieFiles.h"
#include "veilcast/session/KeySession.h"

#include <algorithm>
#include <cstdio>

namespace veilcast {

namespace {

bool gives(const Controls& controls, const std::vector<Setting>& settings, const Controls::Control* control)
{
    return std::any_of(settings.begin(), settings.end(),
                       [&](const Setting& s) { return controls.find(s.name) == control; });
}

}  // namespace

bool screenColourGiven(const Controls& controls, const std::vector<Setting>& settings)
{
    return gives(controls, settings, controls.find("ScreenColorKnob"));
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
    if (isMovieFile(job.input) || isMovieFile(job.output)) {
        plan.kind = KeyPlan::Kind::Movie;
        plan.movie.input = job.input;
        plan.movie.output = job.output;
        if (!job.frames.empty())
            plan.movie.frames = parseFrameRange(job.frames);
        plan.movie.rateNum = job.rateNum;
        plan.movie.rateDen = job.rateDen;
        checkMovieJob(plan.movie, withAlpha);
        return plan;
    }
    const bool sequence = isSequencePattern(job.input);
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
            return true;
        });
    } else {
        if (!job.frames.empty())
            throw UsageError(Wording{"", UserChoice::Frames, " needs a sequence pattern such as plate.####.exr"});
        // framePath of a single file only undoes its escapes (\#, \@, \%).
        plan.files.emplace_back(framePath(job.input, 0), framePath(job.output, 0));
    }

    const std::string& preview = job.previewPath;
    if (!preview.empty())
        checkOutputPath(preview);
    for (const auto& [in, out] : plan.files) {
        if (samePath(in, out))
            throw UsageError(out + ": the output would overwrite the input");
        checkOutputPath(out, job.write.dataType, withAlpha);
        if (!preview.empty() && (samePath(preview, in) || samePath(preview, out)))
            throw UsageError(preview + ": the preview would overwrite " + (samePath(preview, in) ? in : out));
    }
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
