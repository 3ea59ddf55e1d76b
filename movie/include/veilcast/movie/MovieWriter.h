// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/host/PlanarImage.h"
#include "veilcast/movie/FrameTime.h"
#include "veilcast/movie/VideoColour.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace veilcast {

struct MovieWriteOptions {
    int rateNum = 24, rateDen = 1;
    int timeBaseNum = 0, timeBaseDen = 0;  // 0/0: one tick per frame; FrameTime counts in it
    std::string timecode;                  // of the first frame written; empty: none
    // The output stream's coding and tags; the transfer also encodes the
    // linear frames unless `raw`.
    VideoColour colour{1, 1, 1, 1};  // BT.709 limited range
    bool raw = false;
    // The frames are a matte (Check Alpha): coverage, stored linearly as
    // data, never through the transfer.
    bool matte = false;
    int aspectNum = 1, aspectDen = 1;  // pixel aspect ratio
    int rotation = 0;                  // degrees clockwise for display, kept as a tag
    int fieldOrder = 0;                // FFmpeg's AVFieldOrder; 0: unknown
    int threads = 0;  // for converting and encoding frames; 0: every core
    // A movie whose first audio stream is copied from the first frame's time
    // (its FrameTime, in the same time base) to the end of the audio, or,
    // unless `audioToEnd`, to the end of the last frame written; empty: no
    // audio. Audio the container cannot hold is left out with a notice.
    std::string audioSource;
    bool audioToEnd = true;
    std::string comment;                                  // stored in the container's comment
    std::function<void(const std::string&)> notice;       // one line for the user
    std::function<bool()> cancelled;                      // asked before the file is moved into place
};

// Refuses, before any work, a movie output that cannot be written: a
// container this tool does not write, or one without alpha (mp4) for a
// result with alpha (UsageError naming those that hold it); a folder that
// is missing or not writable (std::runtime_error).
void checkMovieOutput(const std::string& path, bool withAlpha);

// Refuses (UsageError naming the size) a picture the output's codec cannot
// store: an odd width or height where colour is stored at half size (4:2:0).
void checkMovieFrameSize(const std::string& path, int width, int height, bool withAlpha);

// Writes frames (linear float R, G, B, and A when `withAlpha`) into a movie
// by its extension: .mov ProRes 4444 (yuva444p10le), .webm VP9 (yuva420p),
// .mkv FFV1 lossless (RGBA, 16 bits), .mp4/.m4v H.264 without alpha, in
// the colour it tags: ProRes holds limited range only, so full-range
// colour is converted to it. Frames are encoded on a thread of their own,
// one frame behind the caller; its errors surface on the next write() or
// finish(). The file is built as a PendingOutput and replaces `path` only
// in finish(); a writer destroyed before that leaves nothing behind.
class MovieWriter {
public:
    MovieWriter(const std::string& path, int width, int height, bool withAlpha, const MovieWriteOptions& options);
    ~MovieWriter();
    MovieWriter(const MovieWriter&) = delete;
    MovieWriter& operator=(const MovieWriter&) = delete;

    // Throws std::runtime_error naming the file. A frame with no time is
    // shown one frame at the rate after the last; the first frame's time is
    // the movie's start.
    void write(const PlanarImage& frame, const std::optional<FrameTime>& time = std::nullopt);
    // Flushes the encoder, writes the container's index and moves the file
    // into place; Cancelled when `cancelled` says so (nothing is left).
    void finish();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace veilcast
