// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/media/FrameSequence.h"
#include "veilcast/session/FileClashes.h"
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
// True when a setting gives the control `name` (by its name or label).
bool controlGiven(const Controls& controls, const std::vector<Setting>& settings, const char* name);

// The most worker threads a job may ask for. The thread pool fails on counts
// not far above this, and no machine a job runs on has more cores.
constexpr int kMaxThreads = 1024;
// Refuses a thread count outside 0 (every core) to kMaxThreads: UsageError
// naming UserChoice::Threads.
void checkThreadCount(long threads);

// The operator a job keys with: the screen-map keyer when a screen map is
// asked for, or when the settings set its own control (Use Screen Map, as a
// file saved with it holds); else the plain one, so that a job asking for
// neither keys exactly as it always has.
const char* keyerClassFor(const KeyJobOptions& job);

// What a front end reports of the values found on a frame, each in its
// shortest round-trip form so that keying with them reproduces the key bit
// for bit. The screen colour picked: "picked screen colour 0.1,0.6,0.1", and
// with `asOption` the option that gives it back, in parentheses.
std::string describePickedScreen(const Controls& controls, const Colour& colour, bool asOption);
// The chosen clip levels and the Screen Balance chosen with them: "chose clips
// (--set "Clip Black=0.0123" --set "Clip White=0.876" --set "Screen Balance=0.95")".
std::string describeChosenClips(const Controls& controls);
// "--set 'Screen Color=0.1,0.6,0.1' --set ...": the options that reproduce
// the settings, each quoted for the shell.
std::string settingsAsOptions(const std::vector<Setting>& settings);

// How the screen colour of `job` is picked, with its settings applied to
// `controls`: as asked; automatically when nothing gives a colour; never
// for frozen settings, which must then give every control a value
// (UsageError naming the first they miss).
ScreenPick screenPickFor(const Controls& controls, const KeyJobOptions& job);

// Every file `job` reads or writes, for refuseClashes.
std::vector<JobFile> jobFiles(const KeyJobOptions& job);

// What a job keys, checked before anything is keyed: a movie on either side
// (see checkMovieJob), or each frame's input and output file (one for a
// still image), with missing inputs, outputs that would overwrite an input
// or cannot be written, and a preview that would overwrite any of them
// refused, and so are missing clean plates and a sequence of them for a
// still. Throws UsageError, or Failure for missing frames.
struct KeyPlan {
    enum class Kind { Still, Sequence, Movie } kind = Kind::Still;
    std::vector<std::pair<std::string, std::string>> files;  // Still and Sequence
    std::vector<std::string> cleanPlates;                    // each file's, when the screen map is a clean plate
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
