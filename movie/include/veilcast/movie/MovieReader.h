// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/host/PlanarImage.h"
#include "veilcast/movie/FrameTime.h"
#include "veilcast/movie/VideoColour.h"

#include <functional>
#include <memory>
#include <string>

namespace veilcast {

// What a movie's video stream says about itself.
struct MovieInfo {
    int width = 0, height = 0;
    int rateNum = 0, rateDen = 1;          // frames per second, as a fraction
    int timeBaseNum = 0, timeBaseDen = 1;  // the stream's time base
    long frameCount = 0;                   // from the container; 0 when it does not say
    std::string timecode;                  // start timecode, "HH:MM:SS:FF"; empty if none
    std::string codec;                     // decoder's name
    int bitsPerComponent = 8;
    int pixelFormat = -1;  // FFmpeg's AVPixelFormat, as decoded
    bool hasAlpha = false;
    VideoColour colour;  // resolved: untagged values get the defaults
    std::string audioCodec;  // of the first audio stream; empty if none
    // Geometry and scanning, for outputs that hold them.
    int aspectNum = 1, aspectDen = 1;  // pixel aspect ratio (a pixel's width over its height); 1/1 untagged
    int rotation = 0;                  // degrees clockwise the picture turns for display: 0, 90, 180 or 270
    int fieldOrder = 0;                // FFmpeg's AVFieldOrder; 0: unknown
    bool variableRate = false;         // frames are not evenly spaced in time
};

struct MovieReadOptions {
    bool raw = false;  // code values as stored, not converted to linear light
    int threads = 0;   // for decoding; 0: every core
    // The video stream to key, as its index among the movie's video streams
    // ("0", "1", ...); empty: the main one.
    std::string stream;
    std::function<void(const std::string&)> notice;  // one line for the user, e.g. streams left out
};

// Decodes a movie's video frames in order, each to linear float planes (R,
// G, B, and A when the stream has alpha) through 16-bit RGB, so 10- and
// 12-bit sources keep their precision. The YUV matrix and range come from
// the stream's tags, and code values become linear light by its transfer
// unless told to keep them raw.
class MovieReader {
public:
    // Throws std::runtime_error naming the file when it cannot be opened, has
    // no video stream, or its codec is unknown or cannot be decoded.
    explicit MovieReader(const std::string& path, const MovieReadOptions& options = {});
    ~MovieReader();
    MovieReader(const MovieReader&) = delete;
    MovieReader& operator=(const MovieReader&) = delete;

    const MovieInfo& info() const;

    // Decodes the next frame into `frame`; false at the end of the stream.
    // Frames are numbered from 1: frameNumber() is that of the last one
    // read. Throws std::runtime_error naming the file and frame for a
    // corrupt or truncated stream.
    bool read(PlanarImage& frame);
    // Decodes and drops the next frame; false at the end.
    bool skip();

    // Keying a strip at a time, for streams whose pixels convert that way
    // (planar YUV of a matrix coded here): hold() decodes the next frame and
    // keeps it as decoded, a few megabytes, in place of its linear planes;
    // readRows() then converts rows of it, as read() would, into `strip`
    // (rows strip.box().y..t-1 at the frame's full width; a frame's rows
    // count from 0). Between two holds the next frame decodes ahead.
    bool readsByStrip() const;
    bool hold();
    void readRows(PlanarImage& strip) const;
    int frameNumber() const;
    // When the last frame read or skipped is shown.
    FrameTime frameTime() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace veilcast
