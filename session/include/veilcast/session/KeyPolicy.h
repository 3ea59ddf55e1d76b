// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/media/FrameSequence.h"
#include "veilcast/session/KeyJob.h"
#include "veilcast/session/MovieKeying.h"

#include <string>
#include <utility>
#include <vector>

namespace veilcast {

// The rules every front end keys by, so that none can disagree with another.

// True when a setting gives the screen colour. A value given is honoured
// whatever it is, black included (which keys nothing, with a warning);
// only its absence lets the colour be picked.
bool screenColourGiven(const Controls& controls, const std::vector<Setting>& settings);

// How the screen colour of `job` is picked, with its settings applied to
// `controls`: as asked; automatically when nothing gives a colour; never
// for frozen settings, which must then give every control a value
// (UsageError naming the first they miss).
ScreenPick screenPickFor(const Controls& controls, const KeyJobOptions& job);

// What a job keys, checked before anything is keyed: a movie on either side
// (see checkMovieJob), or each frame's input and output file (one for a
// still image), with missing inputs, outputs that would overwrite an input
// or cannot be written, and a preview that would overwrite any of them
// refused. Throws UsageError, or Failure for missing frames.
struct KeyPlan {
    enum class Kind { Still, Sequence, Movie } kind = Kind::Still;
    std::vector<std::pair<std::string, std::string>> files;  // Still and Sequence
    FrameList skipped;                                       // frames left out as missing (skipMissing)
    MovieJob movie;                                          // Movie
};
KeyPlan planKey(const KeyJobOptions& job, bool withAlpha);

// What a finished run did, for its report.
struct RunTotals {
    long frames = 0;
    long pixels = 0;
    double seconds = 0;
    bool movie = false;  // the rate is told in frames per second rather than pixels
};
// "keyed 3 frames, 1.20 Mpixel in 0.50 s (2.4 Mpixel/s)"
std::string describeRun(const RunTotals& totals);
// "skipped 2 missing frames: 1002, 1004"; empty when none were.
std::string describeSkipped(const FrameList& skipped);

}  // namespace veilcast
