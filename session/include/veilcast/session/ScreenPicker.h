// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/host/PlanarImage.h"
#include "veilcast/core/ScreenPicking.h"

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

// Parses "X0,Y0,X1,Y1"; throws UsageError.
std::array<int, 4> parsePickBox(const std::string& text);

}  // namespace veilcast
