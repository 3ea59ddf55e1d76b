// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

namespace veilcast {

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

// The image library's name for the stream's transfer ("Rec709", "sRGB",
// "linear", "Gamma2.2"), so that frames written as decoded are tagged with
// the curve their values are in; empty for a transfer it has no name for.
std::string stillTransferName(const VideoColour& colour);

// The luma weights of red and blue for the YUV matrices this tool codes
// itself; false for the others.
bool lumaWeights(int matrix, double& kr, double& kb);

// Where a stream's YUV codes of `bits` bits put black, white and neutral
// chroma: luma = offset + scale * Y' (0..1), chroma = offset + scale * C
// (-0.5..0.5); the top code is what the bits hold.
struct CodeLevels {
    double yOffset, yScale, cOffset, cScale, top;
};
CodeLevels codeLevels(int bits, bool fullRange);

// A human name for the colour, e.g. "bt709 limited, transfer bt709".
std::string describeVideoColour(const VideoColour& colour);

}  // namespace veilcast
