#pragma once

#include "PlanarImage.h"

#include <string>

namespace veilcast {

// Writes a contact sheet for looking at a key: the source, the matte, and the
// result composited over a checkerboard, side by side, each at most
// `panelWidth` pixels wide, sRGB-encoded 8-bit. When the result has no alpha
// (matte inspection), its red channel serves as the matte and the result
// panel shows the result as it is. Throws std::runtime_error naming the file.
void writePreviewSheet(const std::string& path, const PlanarImage& source, const PlanarImage& result,
                       int panelWidth = 640);

}  // namespace veilcast
