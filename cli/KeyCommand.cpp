// SPDX-License-Identifier: Apache-2.0
#include "Commands.h"

#include "ExitStatus.h"
#include "veilcast/media/FrameSequence.h"
#include "Progress.h"
#include "Text.h"
#include "veilcast/common/UsageError.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>

namespace veilcast {

namespace {

void warn(const std::string& message)
{
    std::cerr << "veilcast: warning: " << printable(message) << "\n";
}

// Input and output file of each frame to key, checked before anything is
// keyed: missing inputs, outputs that would overwrite an input, outputs that
// cannot be written, and a preview that would overwrite any of them.
struct KeyPlan {
    std::vector<std::pair<std::string, std::string>> files;
    FrameList skipped;
};

KeyPlan planKey(const Arguments& args, const KeyJobOptions& job, bool withAlpha)
{
    KeyPlan plan;
    const bool sequence = isSequencePattern(args.input);
    if (sequence != isSequencePattern(args.output))
        throw UsageError("input and output must both be sequences (plate.####.exr) or both single files");
    if (sequence) {
        if (args.frames.empty())
            throw UsageError(args.input + " is a sequence: give the frames with --frames, e.g. 1001-1100");
        const FrameList frames = parseFrameRange(args.frames);
        const FrameCheck check = checkFrames(args.input, frames);
        if (!check.missing.empty()) {
            const std::string what = std::to_string(check.missing.size()) + " of " + std::to_string(frames.size()) +
                                     " frames of " + args.input + " missing: " + check.missing.describe();
            if (!args.skipMissing)
                throw std::runtime_error(what + " (nothing was keyed; --skip-missing keys the rest)");
            if (check.present.empty())
                throw std::runtime_error(what + ": nothing to key");
            plan.skipped = check.missing;
        }
        check.present.forEach([&](int f) {
            plan.files.emplace_back(framePath(args.input, f), framePath(args.output, f));
            return true;
        });
    } else {
        if (!args.frames.empty())
            throw UsageError("--frames needs a sequence pattern such as plate.####.exr");
        // framePath of a single file only undoes its escapes (\#, \@, \%).
        plan.files.emplace_back(framePath(args.input, 0), framePath(args.output, 0));
    }

    if (!args.preview.empty())
        checkOutputPath(args.preview);
    for (const auto& [in, out] : plan.files) {
        if (samePath(in, out))
            throw UsageError(out + ": the output would overwrite the input");
        checkOutputPath(out, job.write.dataType, withAlpha);
        if (!args.preview.empty() && (samePath(args.preview, in) || samePath(args.preview, out)))
            throw UsageError(args.preview + ": the preview would overwrite " + (samePath(args.preview, in) ? in : out));
    }
    return plan;
}

}  // namespace

int runKey(const Arguments& args, const CancellationToken& cancellation, std::string* settingsUsed)
{
    if (involvesMovie(args))
        return runKeyMovie(args, cancellation, settingsUsed);
    const KeyJobOptions job = jobOptions(args, &cancellation);
    KeySession keyer(pluginDirectories(args), job);
    const KeyPlan plan = planKey(args, job, keyer.keysAlpha());
    for (const std::string& w : settingWarnings(keyer.controls()))
        warn(w);
    Progress progress(args.quiet                   ? Progress::Style::None
                      : isatty(STDERR_FILENO) != 0 ? Progress::Style::Bar
                                                   : Progress::Style::Log);
    std::string notice;
    const auto start = std::chrono::steady_clock::now();
    long pixels = 0;
    const auto& files = plan.files;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const auto& [in, out] = files[i];
        const KeyedFrame frame = keyer.keyFile(in, out, progress, static_cast<int>(i), static_cast<int>(files.size()),
                                               i + 1 < files.size() ? files[i + 1].first : std::string());
        pixels += frame.pixels;
        if (frame.pickedScreen) {
            // Also with --quiet: a script reads the colour from this one line.
            progress.finish();
            const std::string colour =
                formatControlValue(*keyer.controls().find("ScreenColorKnob"), ControlValue(*frame.pickedScreen));
            std::printf("picked screen colour %s (--set \"Screen Color=%s\")\n", colour.c_str(), colour.c_str());
            std::fflush(stdout);
        }
        if (!frame.notice.empty() && frame.notice != notice && !args.quiet) {
            progress.finish();
            std::cerr << "veilcast: note: " << printable(frame.notice) << "\n";
        }
        notice = frame.notice.empty() ? notice : frame.notice;
    }
    progress.finish();
    if (settingsUsed)
        *settingsUsed = settingsAsOptions(keyer.controls());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!args.quiet)
        std::printf("keyed %zu frame%s, %.2f Mpixel in %.2f s (%.1f Mpixel/s)\n", files.size(),
                    files.size() == 1 ? "" : "s", static_cast<double>(pixels) / 1e6, seconds,
                    seconds > 0 ? static_cast<double>(pixels) / 1e6 / seconds : 0.0);
    if (!plan.skipped.empty()) {
        std::fflush(stdout);
        warn("skipped " + std::to_string(plan.skipped.size()) + " missing frame" +
             (plan.skipped.size() == 1 ? "" : "s") + ": " + plan.skipped.describe());
        return kExitFramesSkipped;
    }
    return kExitSuccess;
}

}  // namespace veilcast
