// SPDX-License-Identifier: Apache-2.0
#include "Commands.h"

#include "ExitStatus.h"
#include "Progress.h"
#include "Text.h"
#include "veilcast/session/KeyRun.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace veilcast {

namespace {

void warn(const std::string& message)
{
    std::cerr << "veilcast: warning: " << printable(message) << "\n";
}

// What keying a still, a sequence or a movie tells the user once it is done.
int reportRun(KeySession& keyer, const Arguments& args, const KeyPlan& plan, const RunTotals& totals,
              std::string* settingsUsed)
{
    if (settingsUsed)
        *settingsUsed = settingsAsOptions(currentSettings(keyer.controls()));
    if (!args.quiet)
        std::printf("%s\n", describeRun(totals).c_str());
    if (plan.skipped.empty())
        return kExitSuccess;
    std::fflush(stdout);
    warn(describeSkipped(plan.skipped));
    return kExitFramesSkipped;
}

}  // namespace

int runKey(const Arguments& args, const CancellationToken& cancellation, std::string* settingsUsed)
{
    const KeyJobOptions job = keyJob(args, &cancellation);
    KeySession keyer(pluginDirectories(args), job);
    const KeyPlan plan = planKey(job, keyer.keysAlpha());
    for (const std::string& w : keyer.warnings())
        warn(w);
    Progress progress(args.quiet                   ? Progress::Style::None
                      : isatty(STDERR_FILENO) != 0 ? Progress::Style::Bar
                                                   : Progress::Style::Log);
    // Also with --quiet: a script reads the colour from this one line.
    const auto pickedScreen = [&](const Colour& picked) {
        progress.finish();
        std::printf("%s\n", describePickedScreen(keyer.controls(), picked, true).c_str());
        std::fflush(stdout);
    };
    // As the colour: the values that, given back, key the same.
    const auto chosenClips = [&](const zav::ClipLevels&) {
        progress.finish();
        std::printf("%s\n", describeChosenClips(keyer.controls()).c_str());
        std::fflush(stdout);
    };
    std::string lastNotice;
    const auto notice = [&](const Wording& wording) {
        const std::string text = commandLineText(wording);
        if (text.empty() || text == lastNotice || args.quiet)
            return;
        lastNotice = text;
        progress.finish();
        std::cerr << "veilcast: note: " << printable(text) << "\n";
    };
    const auto frameWarning = [&](const std::string& text) {
        progress.finish();
        warn(text);
    };
    const RunTotals totals = runKeyJob(keyer, job, plan, progress, {pickedScreen, notice, chosenClips, frameWarning});
    progress.finish();
    return reportRun(keyer, args, plan, totals, settingsUsed);
}

}  // namespace veilcast
