// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/host/PlanarImage.h"

#include <string>

namespace veilcast {

// The size of one panel of a preview sheet for an image of `width` x
// `height`: it fits in `maxSide` x `maxSide` keeping the aspect, but no side
// is shorter than `minSide`, so that extreme shapes stay visible.
struct PanelSize {
    int width, height;
};
PanelSize previewPanelSize(int width, int height, int maxSide = 640, int minSide = 32);

// Writes a contact sheet for looking at a key: the source, the matte, and the
// result composited over a checkerboard, side by side, sRGB-encoded 8-bit.
// Each panel is an area average of the full image, computed straight from the
// planes on all cores. When the result has no alpha (matte inspection), its
// red channel serves as the matte and the result panel shows the result as
// it is. Throws std::runtime_error naming the file.
void writePreviewSheet(const std::string& path, const PlanarImage& source, const PlanarImage& result);

}  // namespace veilcast
