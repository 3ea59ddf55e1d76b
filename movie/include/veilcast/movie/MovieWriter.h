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
    // A movie whose audio and subtitle streams, container metadata and
    // chapters are copied (see StreamCopy), from the first frame's time (its
    // FrameTime, in the same time base) to their end, or, unless
    // `audioToEnd`, to the end of the last frame written (and without
    // chapters); empty: none. What the container cannot hold is left out
    // with a notice.
    std::string audioSource;
    bool audioToEnd = true;
    // The settings keyed with, recorded under the container's
    // "veilcast:settings", beside (never over) the source's own metadata.
    std::string settings;
    // The container's creation time, as --date-time takes it: empty keeps
    // the source's (copied with its metadata); "now"; "source", which also
    // makes a repeated run write the same bytes, as a given
    // "YYYY:MM:DD HH:MM:SS" does.
    std::string dateTime;
    // By its --codec name (movieCodecNames); empty: the container's own.
    std::string codec;
    // The source's FFmpeg pixel format; a lossless codec keeps its YUV
    // sampling, depth and range. -1: none (an image sequence).
    int sourcePixelFormat = -1;
    std::function<void(const std::string&)> notice;       // one line for the user
    std::function<bool()> cancelled;                      // asked before the file is moved into place
};

// The codecs --codec takes, each with its container, as one line for help.
std::string movieCodecNames();

// Refuses, before any work, a movie output that cannot be written: a
// container this tool does not write, one without alpha (mp4) for a result
// with alpha (UsageError naming those that hold it), a codec it does not
// write or into another container; a folder that is missing or not
// writable (std::runtime_error). A codec asked for by name that holds no
// alpha is taken: false says the matte will not be stored.
bool checkMovieOutput(const std::string& path, bool withAlpha, const std::string& codec = {});

// Refuses (UsageError naming the size) a picture the output's codec cannot
// store: an odd width or height where colour is stored at half size.
void checkMovieFrameSize(const std::string& path, int width, int height, bool withAlpha, const std::string& codec = {});

// Writes frames (linear float R, G, B, and A when `withAlpha`) into a movie
// by the codec asked for, else by its extension: .mov ProRes 4444
// (yuva444p10le), .webm VP9 (yuva420p), .mkv FFV1 lossless (the source's
// YUV sampling and depth, else RGBA at 16 bits), .mp4/.m4v H.264 without
// alpha, in
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
    // The same a strip at a time, so that no whole frame need be held: the
    // rows of `rows` (its data window's, at the movie's width) are the
    // frame's from `firstRow` on (counting from 0), every row written once,
    // then endFrame() sends the frame. Where colour is stored at half height
    // a strip starts on an even row and holds an even number of them, but
    // for the last.
    void writeRows(const PlanarImage& rows, int firstRow);
    void endFrame(const std::optional<FrameTime>& time = std::nullopt);
    // Flushes the encoder, writes the container's index and moves the file
    // into place; Cancelled when `cancelled` says so (nothing is left).
    void finish();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace veilcast
