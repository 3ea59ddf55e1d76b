// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/session/KeyPolicy.h"
#include "veilcast/session/KeySession.h"
#include "veilcast/session/MovieKeying.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace veilcast {

// What a run tells its front end as it goes, besides progress: the screen
// colour once it is picked, notices about the input (possibly repeated; the
// front end decides what to show), and the clip levels once they are chosen
// (the session's controls hold them; see describeChosenClips). Any may be empty.
struct KeyRunEvents {
    std::function<void(const Colour&)> pickedScreen;
    Notice notice;
    std::function<void(const zav::ClipLevels&)> chosenClips;
    std::function<void(const std::string&)> warning;  // about a frame written
};

// A sequence interrupted after some of its frames were written: each of
// those is whole and stays; the frame being keyed left nothing.
struct SequenceInterrupted : Cancelled {
    SequenceInterrupted(std::vector<std::string> writtenFrames, std::size_t frameCount)
        : written(std::move(writtenFrames)), count(frameCount)
    {
    }
    std::vector<std::string> written;  // the outputs written, in order
    std::size_t count = 0;             // the frames asked for
    // One line for the user: how many and which frames were written.
    std::string describe() const;
};

// Keys what `plan` (made by planKey for `job`) holds through `session`: each
// file of a still or a sequence in turn, reading the next one ahead, or a
// movie. The same for every front end that keys files. Throws as
// KeySession::keyFile and keyMovie do; what was written before stays
// (SequenceInterrupted says what, when a sequence is interrupted).
RunTotals runKeyJob(KeySession& session, const KeyJobOptions& job, const KeyPlan& plan, KeyProgress& progress,
                    const KeyRunEvents& events);

}  // namespace veilcast
