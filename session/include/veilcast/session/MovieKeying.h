// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/media/FrameSequence.h"
#include "veilcast/session/KeySession.h"

#include <functional>
#include <optional>
#include <string>

namespace veilcast {

// A keying run with a movie on at least one side: movie to movie, movie to
// an image sequence pattern, or an image sequence to a movie.
struct MovieJob {
    std::string input, output;
    // Movie input: the frames to key, numbered from 1, in increasing order;
    // empty: all. Sequence input: its frames (required).
    FrameList frames;
    // Rate of a movie made from an image sequence; 0: not given, so the
    // first frame's FramesPerSecond, else 24.
    int rateNum = 0, rateDen = 1;
};

// A notice for the user, as it goes.
using Notice = std::function<void(const Wording&)>;

struct KeyedMovie {
    long frames = 0;
    long pixels = 0;
    std::optional<Colour> pickedScreen;
    std::optional<zav::ClipLevels> chosenClips;
};

// Keys `job` through `session`, one frame at a time: each movie frame is
// decoded, keyed with KeySession::keyImage and encoded (or written as an
// image of the sequence). What the job asks to find on a frame is found
// before it is keyed (KeySession::prepareImage): the screen colour and clips
// on the first keyed frame, the screen map on each (a movie's frames are
// numbered from 1 for a sequence of clean plates). Notices for the
// user (audio left out, the stream's colour) go to `notice`. Throws
// UsageError or std::runtime_error naming the file, Cancelled when
// interrupted; a movie output is left untouched unless the whole run
// succeeds.
KeyedMovie keyMovie(KeySession& session, const KeyJobOptions& options, const MovieJob& job, KeyProgress& progress,
                    const Notice& notice);

// Checks what can be checked before keying: the output's container and
// folder (what the job may not write over is refuseClashes's, through
// planKey). Throws UsageError or std::runtime_error.
void checkMovieJob(const MovieJob& job, bool withAlpha);

// Parses a frame rate: "24", "25", "23.976" (24000/1001, as are 29.97 and
// 59.94), "30000/1001". Throws UsageError naming the value.
void parseFrameRate(const std::string& text, int& num, int& den);

}  // namespace veilcast
