// SPDX-License-Identifier: Apache-2.0
#pragma once

// Finding the screen colour in an image: the mean of an eyedropper box, or
// the backing found unaided. Standard library only; the image is three plain
// float planes.

#include <array>
#include <cstddef>

namespace zav {

using Colour = std::array<float, 3>;

// Three colour planes of one image: pixel (x, y) of a channel is
// plane[y * stride + x], for 0 <= x < width and 0 <= y < height.
struct RgbPlanes {
    const float* red = nullptr;
    const float* green = nullptr;
    const float* blue = nullptr;
    int width = 0;
    int height = 0;
    std::ptrdiff_t stride = 0;
};

// The mean colour of the pixels in columns x0..x1 and rows y0..y1
// (inclusive, clipped to the planes). Non-finite pixels are skipped. Returns
// false when no usable pixel is left.
bool boxAverage(const RgbPlanes& image, int x0, int y0, int x1, int y1, Colour& mean);

// Finds the backing colour unaided.
//
// The keyer clears a backing pixel whole only where the screen's dominant
// channel stands at least as far above the other two as it does in the screen
// colour; a dimmer backing pixel keeps a faint matte of one minus that ratio,
// while in a semi-transparent pixel the matte errs by its uncovered part times
// the ratio's distance from one. An uneven screen is therefore keyed best by a
// colour from the dim end of its backing, not by its average: with most of a
// frame pure backing, leaving the backing uncleared costs more than thinning
// the edges. So:
//  1. The screen hue is the channel, green or blue, that dominates the other
//     two (exceeds their maximum) in more pixels.
//  2. Backing is told apart from the subject by chromaticity, the other two
//     channels as fractions of the dominant one, which lighting and shadow do
//     not change but mixing with the subject does. The reference is the
//     median chromaticity of the more saturated half of the dominated pixels;
//     backing is every dominated pixel within six median deviations of it
//     (at least 0.01), room for hue drift across the screen and for noise,
//     and every clearly dominated pixel (1.5 times each other channel) at
//     least as strong as the median backing pixel: a hot spot washes the hue
//     out towards white, a mix with the subject would weaken it. Of that,
//     only the connected areas at least a quarter the size of the largest
//     count: specks of screen hue on the subject or the set are not backing.
//  3. Of the backing's strengths (dominant channel minus the mean of the
//     other two, as the keyer measures it at the default balance), the screen
//     colour takes the typical one less four deviations of its noise (the
//     median less four times 1.4826 median absolute deviations), or, where
//     the backing is so uneven that this is lower, the one 99% of the backing
//     reaches. A shadow or a dark corner on part of the screen so no longer
//     sets the level for all of it; noise keys to zero. Its hue is the
//     backing's median chromaticity.
// Frames above 2^18 pixels are read on a regular grid of every n-th row and
// column, which these statistics do not notice; working memory stays under
// 10 MB whatever the frame size.
//
// Throws std::invalid_argument saying why when the result is not
// a plausible backing: no pixel dominated by green or blue, backing on less
// than 1% of the frame, a colour whose dominant channel is not at least 1.5
// times each other channel, or one brighter than 1 (highlights, not a screen).
Colour pickScreenAuto(const RgbPlanes& image);

// The grid pickScreenAuto reads on a frame of width x height: every n-th row
// and column from the first. A caller that gathers just those pixels into a
// frame of their own gets the same colour from it as from the whole frame.
int autoPickStep(int width, int height);

}  // namespace zav
