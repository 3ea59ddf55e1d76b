// SPDX-License-Identifier: Apache-2.0
#pragma once

// The backing as the automatic pick, the automatic screen map and the
// automatic clips all see it: which pixels of a plate's sample are surely
// screen, and how strong the screen is there. Internal to the core.

#include "veilcast/core/ScreenPicking.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zav::detail {

// Measured on a grid of `width` x `height` sample pixels (index y * width + x).
struct Backing {
    int primary = 1;  // the screen's dominant channel, green (1) or blue (2)
    int width = 0;
    int height = 0;
    std::int64_t finite = 0;  // finite pixels examined
    // Per sample pixel: the dominant channel's lead over the mean of the
    // other two (the keyer's measure at the default balance), NaN where the
    // pixel is not a candidate at all.
    std::vector<float> strength;
    // Per sample pixel: 1 where it is backing, of the screen's hue and in one
    // of the large connected areas of it (isolated specks of screen hue on
    // the subject are not backing).
    std::vector<std::uint8_t> mask;
    float first = 0.0f;   // median of the other two channels as fractions
    float second = 0.0f;  // of the dominant one, over the backing
};

// Finds the backing on every `step`-th row and column of `image`. Throws
// std::invalid_argument saying why when there is none.
Backing findBacking(const RgbPlanes& image, int step);

// The single screen colour that keys the backing to zero but for its noise
// and its darkest tail. Throws std::invalid_argument when it is no plausible
// screen colour.
Colour pickFromBacking(const Backing& backing);

// The level a screen's strength is taken at from the strengths of its
// backing pixels: deep enough that the noise keys to zero, not so deep that
// a shadow or a dark corner sets it; reorders `strengths`, which must not be
// empty.
float screenLevel(std::vector<float>& strengths);

// For each pixel of `mask` (width x height) that is set, the number of
// pixels in its 4-connected area of set pixels; 0 elsewhere.
std::vector<std::size_t> areaSizes(const std::vector<std::uint8_t>& mask, int width, int height);

// `mask` with only the areas of at least `smallest` pixels left set.
std::vector<std::uint8_t> areasAtLeast(const std::vector<std::uint8_t>& mask, const std::vector<std::size_t>& sizes,
                                       std::size_t smallest);

// The value at rank `fraction` of `values` (0 the least, 1 the greatest);
// reorders `values`; `values` must not be empty.
float quantile(std::vector<float>& values, double fraction);

}  // namespace zav::detail
