// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

namespace veilcast {

// True when the path's extension names a movie container (mov, mp4, m4v,
// mkv, webm, avi, mxf), whatever its case.
bool isMovieFile(const std::string& path);

// How a stream's pixel values are coded, as the stream's tags say (numbers
// are FFmpeg's: AVColorSpace, AVColorRange, AVColorTransferCharacteristic,
// AVColorPrimaries). Unspecified values stay 2 (0 for the range) until
// resolved by resolveVideoColour.
struct VideoColour {
    int matrix = 2;
    int range = 0;
    int transfer = 2;
    int primaries = 2;
};

// The usual defaults for what a stream leaves untagged: BT.709 matrix,
// transfer and primaries above standard definition (taller than 576 rows or
// wider than 1024 pixels), BT.601 at or below it; limited range for YUV
// (full for the JPEG "yuvj" formats); RGB streams are full range.
VideoColour resolveVideoColour(VideoColour tagged, int width, int height, bool rgb, bool fullRangeFormat);

// A human name for the colour, e.g. "bt709 limited, transfer bt709".
std::string describeVideoColour(const VideoColour& colour);

}  // namespace veilcast

namespace veilcast {

// `timecode` ("HH:MM:SS:FF", ';' for drop frame) moved on by `frames` at
// the given rate; empty when `timecode` is empty or not a timecode.
std::string advanceTimecode(const std::string& timecode, int rateNum, int rateDen, long frames);

}  // namespace veilcast
