// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/host/PlanarImage.h"
#include "veilcast/core/ScreenPicking.h"
#include "veilcast/media/ImageReader.h"

#include <array>
#include <string>

namespace veilcast {

using zav::Colour;

// The mean colour of the pixels in the rectangle x0..x1, y0..y1 (inclusive,
// either corner first, in the image's pixel coordinates), as an eyedropper
// box dragged over the backing. Non-finite pixels are skipped. Throws
// std::invalid_argument when the rectangle holds no usable pixel.
Colour pickScreenInBox(const PlanarImage& image, int x0, int y0, int x1, int y1);

// The backing colour found unaided: zav::pickScreenAuto over the image's
// planes. Throws std::invalid_argument, suggesting a box, when there is no
// plausible backing.
Colour pickScreenAuto(const PlanarImage& image);

// Where the screen colour comes from.
struct ScreenPick {
    enum class Kind { None, Box, Auto } kind = Kind::None;
    std::array<int, 4> box{};
};

// The pick made on an image file, reading only what it needs: the rows of a
// box; for Auto, the grid of rows and columns zav::pickScreenAuto examines,
// gathered a strip at a time, so the colour equals the one picked on the
// whole frame. Throws std::runtime_error naming the file (the reasons of
// the in-memory picks included).
Colour pickScreenInFile(const std::string& path, const ScreenPick& pick, const ReadOptions& read);

// Parses "X0,Y0,X1,Y1"; throws UsageError.
std::array<int, 4> parsePickBox(const std::string& text);

}  // namespace veilcast
