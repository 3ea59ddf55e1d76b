#pragma once

#include "PlanarImage.h"

#include <array>
#include <string>

namespace veilcast {

using Colour = std::array<float, 3>;

// The mean colour of the pixels in the rectangle x0..x1, y0..y1 (inclusive,
// either corner first), as an eyedropper box dragged over the backing.
// Non-finite pixels are skipped. Throws std::invalid_argument when the
// rectangle holds no usable pixel of the image.
Colour pickScreenInBox(const PlanarImage& image, int x0, int y0, int x1, int y1);

// Finds the backing colour unaided:
//  1. the screen hue is the channel, green or blue, that dominates the
//     other two (exceeds their maximum) in more pixels;
//  2. of the pixels it dominates, the half where it dominates most strongly
//     are taken as clean backing (spill, edges and dim areas drop out);
//  3. the screen colour is the per-channel median of the darker quarter of
//     that backing: the keyer clears everything at least as bright as the
//     screen colour, so a colour from the dim end keys out an unevenly lit
//     screen whole, and a median is not moved by stray pixels.
// Throws std::invalid_argument when no pixel is dominated by green or blue.
Colour pickScreenAuto(const PlanarImage& image);

// Parses "X0,Y0,X1,Y1"; throws std::invalid_argument.
std::array<int, 4> parsePickBox(const std::string& text);

}  // namespace veilcast
