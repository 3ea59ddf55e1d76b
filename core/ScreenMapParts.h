// SPDX-License-Identifier: Apache-2.0
#pragma once

// The parts the screen map, the clip choice and the shot's clean plate
// share: which sample pixels are surely backing, the fill under the subject,
// a map built on a backing found. Internal to the core.

#include "veilcast/core/ScreenMap.h"

#include "Backing.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zav::detail {

// Backing within this many sample pixels of anything else is not surely
// backing: edge pixels mix backing with the subject.
inline constexpr int kBackingMargin = 3;
// The subject's core lies at least this far from any backing.
inline constexpr int kCoreMargin = 4;

// Sets each pixel of `mask` (w x h) to 0 unless every pixel within `radius`
// (a square) is set; pixels beyond the edges count as set.
std::vector<std::uint8_t> erode(const std::vector<std::uint8_t>& mask, int w, int h, int radius);

// The pixels of `backing` at least `margin` sample pixels from any gap in
// it bigger than noise.
std::vector<std::uint8_t> surelyBacking(const Backing& backing, int margin);

// Fills the cells of weight 0 of a grid of `nx` x `ny` colours (3 floats a
// cell, row by row) smoothly from those set: first from the mean of their
// neighbourhood at ever coarser scales (pull-push), then relaxed towards the
// mean of their four neighbours (those inside the grid), the set cells held
// fixed.
void fillGrid(std::vector<float>& cells, const std::vector<std::uint8_t>& set, int nx, int ny);

// Throws std::invalid_argument unless `sample` is a frame of width x height
// sampled on every `step`-th pixel.
void checkGeometry(const RgbPlanes& sample, int step, int width, int height);

// A map following the backing of `backing` (found on `sample`, its pixels
// at least `margin` from anything else), scaled as the automatic pick is
// scaled. Throws std::invalid_argument when no cell is backing.
ScreenMap mapOfBacking(const Backing& backing, const RgbPlanes& sample, int step, int width, int height, int margin);

// Calls f(sampleIndex, colour) for every pixel of a sw x sh sample with the
// map's colour there (three floats).
template <class F>
void forEachMapped(const ScreenMap& map, int sw, int sh, int step, F&& f)
{
    std::vector<float> rgb[3];
    for (auto& v : rgb)
        v.resize(static_cast<std::size_t>(map.width()));
    for (int j = 0; j < sh; ++j) {
        map.sampleRow(j * step, 0, map.width(), rgb[0].data(), rgb[1].data(), rgb[2].data());
        for (int i = 0; i < sw; ++i) {
            const std::size_t x = static_cast<std::size_t>(i) * static_cast<std::size_t>(step);
            const float colour[3] = {rgb[0][x], rgb[1][x], rgb[2][x]};
            f(static_cast<std::size_t>(j) * static_cast<std::size_t>(sw) + static_cast<std::size_t>(i), colour);
        }
    }
}

}  // namespace zav::detail
