// SPDX-License-Identifier: Apache-2.0
#include "veilcast/session/KeyRun.h"

#include <chrono>

namespace veilcast {

RunTotals runKeyJob(KeySession& session, const KeyJobOptions& job, const KeyPlan& plan, KeyProgress& progress,
                    const KeyRunEvents& events)
{
    const auto picked = [&](const std::optional<Colour>& colour, const std::optional<zav::ClipLevels>& clips) {
        if (colour && events.pickedScreen)
            events.pickedScreen(*colour);
        if (clips && events.chosenClips)
            events.chosenClips(*clips);
    };
    const auto start = std::chrono::steady_clock::now();
    RunTotals totals;
    if (plan.kind == KeyPlan::Kind::Movie) {
        const KeyedMovie keyed = keyMovie(session, job, plan.movie, progress, events.notice);
        picked(keyed.pickedScreen, keyed.chosenClips);
        totals.frames = keyed.frames;
        totals.pixels = keyed.pixels;
        totals.movie = true;
    } else {
        const auto& files = plan.files;
        if (job.screenMap.kind == ScreenMapChoice::Kind::Shot && (files.size() > 1 || !job.shotFrames.empty())) {
            // The shot's plate and clips, once, from several of its frames.
            std::vector<std::string> inputs;
            for (const auto& file : files)
                inputs.push_back(file.first);
            picked(std::nullopt, session.prepareShot(inputs));
        }
        for (std::size_t i = 0; i < files.size(); ++i) {
            const auto& [in, out] = files[i];
            KeyedFrame frame;
            try {
                frame = session.keyFile(in, out, progress, static_cast<int>(i), static_cast<int>(files.size()),
                                        i + 1 < files.size() ? files[i + 1].first : std::string(),
                                        plan.cleanPlates.empty() ? std::string() : plan.cleanPlates[i]);
            } catch (const Cancelled&) {
                if (files.size() < 2)
                    throw;
                std::vector<std::string> written;
                for (std::size_t k = 0; k < i; ++k)
                    written.push_back(files[k].second);
                throw SequenceInterrupted(std::move(written), files.size());
            }
            totals.pixels += frame.pixels;
            picked(frame.pickedScreen, frame.chosenClips);
            if (events.notice)
                events.notice(frame.notice);
            if (!frame.warning.empty() && events.warning)
                events.warning(frame.warning);
        }
        totals.frames = static_cast<long>(files.size());
    }
    totals.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return totals;
}

std::string SequenceInterrupted::describe() const
{
    const std::size_t n = written.size();
    std::string text = "interrupted; ";
    if (n == 0)
        text += "none of the " + std::to_string(count) + " frames was written";
    else
        text += std::to_string(n) + " of " + std::to_string(count) + (n == 1 ? " frames was written (" : " frames were written (") +
                written.front() + (n == 1 ? "" : (n == 2 ? " and " : " to ") + written.back()) + ")";
    return text + "; the frame being keyed left no partial output";
}

}  // namespace veilcast
