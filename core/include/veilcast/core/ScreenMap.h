// SPDX-License-Identifier: Apache-2.0
#pragma once

// A screen colour for every pixel, for backing that no single colour fits
// (hot spots, wrinkles, vignetting, the subject's shadow), and the clip
// levels read off a plate's own matte. Standard library only.
//
// Everything here works from a plate's sample: the plate read on a regular
// grid of every `step`-th row and column from the first (see autoPickStep),
// so a file is gathered a strip at a time and working memory stays small
// whatever the frame's size. Sample pixel (i, j) is frame pixel
// (i * step, j * step), counted from the frame's first stored pixel.

#include "veilcast/core/ClipChoice.h"
#include "veilcast/core/KeyParams.h"
#include "veilcast/core/ScreenKeyer.h"
#include "veilcast/core/ScreenPicking.h"

#include <cstdint>
#include <type_traits>
#include <vector>

namespace zav {

// A smooth screen colour over a frame of width x height pixels, held as a
// coarse grid of cells (red, green, blue per cell, row by row) and read
// between cell centres by bilinear interpolation, and beyond the outermost
// centres along the line through the two outermost (one cell: its colour
// everywhere). A map with a cell per pixel (cellsX == width, cellsY ==
// height) is read as it is: each pixel's colour is its cell's, exactly.
// A map is a plain value: copied freely, read concurrently.
class ScreenMap {
public:
    ScreenMap() = default;
    // `cells` holds cellsX * cellsY * 3 floats; throws std::invalid_argument
    // when the sizes disagree or any is not positive.
    ScreenMap(int width, int height, int cellsX, int cellsY, std::vector<float> cells);
    // One colour everywhere: keys exactly as that screen colour does.
    static ScreenMap uniform(int width, int height, const Colour& colour);

    int width() const { return width_; }
    int height() const { return height_; }
    int cellsX() const { return cellsX_; }
    int cellsY() const { return cellsY_; }
    const std::vector<float>& cells() const { return cells_; }
    bool empty() const { return cells_.empty(); }
    // True when every pixel has a cell of its own.
    bool perPixel() const { return cellsX_ == width_ && cellsY_ == height_; }

    // The screen colour of pixels x..r-1 of row y (frame coordinates,
    // 0 <= y < height, 0 <= x <= r <= width) into three arrays indexed by
    // pixel (red[x] is pixel x's).
    void sampleRow(int y, int x, int r, float* red, float* green, float* blue) const;

private:
    int width_ = 0, height_ = 0, cellsX_ = 0, cellsY_ = 0;
    std::vector<float> cells_;
    // Per frame column: the cell at or before it and the fraction of the way
    // to the next cell's centre (worked out once, not for every row).
    std::vector<std::int32_t> columnCell_;
    std::vector<float> columnFraction_;
};

// The map of a plate found unaided: where the sample is surely backing, the
// backing's own colour; under the subject, filled smoothly from the backing
// around it; scaled as pickScreenAuto scales its colour, so clean backing
// keys to 0. Throws std::invalid_argument saying why when the plate shows no
// plausible backing (as pickScreenAuto does).
ScreenMap screenMapAuto(const RgbPlanes& sample, int step, int width, int height);

// The map of a clean plate (the backing shot without the subject), sampled
// on the same grid as the plate it serves: every finite pixel is backing,
// whatever its hue drift, smoothed against noise; it keys clear but for a
// matte of the order of a pixel's worth of the plate's gradient. Throws std::invalid_argument when it is no plausible backing.
ScreenMap screenMapFromCleanPlate(const RgbPlanes& sample, int step, int width, int height);

// keyRow with the screen colour, and so the per-row constants, taken per
// pixel: pixel i is keyed by keyPixel exactly as keyRow keys it with
// params.screenColor set to (screen[0][i], screen[1][i], screen[2][i]).
// The stop query and the outputs behave as keyRow's.
void keyRowMappedWith(const KeyParams& params, std::int32_t x, std::int32_t r, const RowArrays& arrays,
                      const float* const screen[3], bool (*stop)(void*), void* stopContext);

template <class StopQuery>
void keyRowMapped(const KeyParams& params, std::int32_t x, std::int32_t r, const RowArrays& arrays,
                  const float* const screen[3], StopQuery&& stop)
{
    keyRowMappedWith(params, x, r, arrays, screen,
                     [](void* context) { return (*static_cast<std::remove_reference_t<StopQuery>*>(context))(); },
                     const_cast<void*>(static_cast<const void*>(&stop)));
}

}  // namespace zav
