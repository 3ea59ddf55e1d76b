// SPDX-License-Identifier: Apache-2.0
#include "veilcast/core/ScreenMap.h"

#include "Backing.h"
#include "RowKernel.h"
#include "ScreenMapParts.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace zav {

namespace {

// A map cell spans this many sample pixels each way: coarse enough that a
// cell's median ignores noise and thin strands of the subject, fine enough
// to follow a hot spot or the subject's shadow.
constexpr int kCellSamples = 12;
constexpr int kMostCells = 96;
// A cell takes the backing's colour when at least this share of it is surely
// backing; the others are filled from around them.
constexpr float kLeastBackingShare = 0.25f;
// Smaller gaps in the backing are its noise (in its dark parts the hue
// wavers out of the tolerance pixel by pixel), not something else in front
// of it, and leave their surroundings surely backing.
constexpr std::size_t kSmallestGap = 2;
// Relaxation sweeps smoothing the fill under the subject.
constexpr int kFillSweeps = 200;

int cellsAlong(int samples)
{
    return std::clamp((samples + kCellSamples / 2) / kCellSamples, 1, kMostCells);
}

// Linear interpolation that gives `a` exactly when b == a.
inline float lerp(float a, float b, float t)
{
    return a + t * (b - a);
}

// Where pixel `p` of `pixels` falls between the centres of `cells` cells
// spread evenly over them: the cell at or before it and the fraction of the
// way to the next. Beyond the first and last centres the line through the
// two outermost carries on (a fraction below 0 or above 1), so a backing
// that keeps darkening towards the frame's edge is followed to it.
inline void between(int p, int pixels, int cells, int& cell, float& t)
{
    const double u = (static_cast<double>(p) + 0.5) * cells / pixels - 0.5;
    if (cells == 1) {
        cell = 0;
        t = 0.0f;
        return;
    }
    cell = std::clamp(static_cast<int>(std::floor(u)), 0, cells - 2);
    t = static_cast<float>(u - cell);
}

}  // namespace

namespace detail {

std::vector<std::uint8_t> erode(const std::vector<std::uint8_t>& mask, int w, int h, int radius)
{
    std::vector<std::uint8_t> across(mask.size()), out(mask.size());
    const auto at = [w](int x, int y) { return static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x); };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            bool all = true;
            for (int k = std::max(0, x - radius); all && k <= std::min(w - 1, x + radius); ++k)
                all = mask[at(k, y)] != 0;
            across[at(x, y)] = all;
        }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            bool all = true;
            for (int k = std::max(0, y - radius); all && k <= std::min(h - 1, y + radius); ++k)
                all = across[at(x, k)] != 0;
            out[at(x, y)] = all;
        }
    return out;
}

std::vector<std::uint8_t> surelyBacking(const Backing& backing, int margin)
{
    std::vector<std::uint8_t> gaps(backing.mask.size());
    for (std::size_t i = 0; i < gaps.size(); ++i)
        gaps[i] = !backing.mask[i];
    gaps = areasAtLeast(gaps, areaSizes(gaps, backing.width, backing.height), kSmallestGap);
    for (auto& g : gaps)
        g = !g;
    std::vector<std::uint8_t> sure = erode(gaps, backing.width, backing.height, margin);
    for (std::size_t i = 0; i < sure.size(); ++i)
        sure[i] = sure[i] && backing.mask[i];
    return sure;
}

void fillGrid(std::vector<float>& cells, const std::vector<std::uint8_t>& set, int nx, int ny)
{
    struct Level {
        int nx, ny;
        std::vector<float> sum;     // weighted colour sums, 3 per cell
        std::vector<float> weight;  // weights
    };
    std::vector<Level> levels;
    Level base{nx, ny, std::vector<float>(cells.size()), std::vector<float>(set.size())};
    for (std::size_t i = 0; i < set.size(); ++i) {
        base.weight[i] = set[i] ? 1.0f : 0.0f;
        for (int c = 0; c < 3; ++c)
            base.sum[3 * i + c] = set[i] ? cells[3 * i + c] : 0.0f;
    }
    levels.push_back(std::move(base));
    while (levels.back().nx > 1 || levels.back().ny > 1) {
        const Level& fine = levels.back();
        Level coarse{(fine.nx + 1) / 2, (fine.ny + 1) / 2, {}, {}};
        coarse.sum.assign(static_cast<std::size_t>(coarse.nx * coarse.ny * 3), 0.0f);
        coarse.weight.assign(static_cast<std::size_t>(coarse.nx * coarse.ny), 0.0f);
        for (int y = 0; y < fine.ny; ++y)
            for (int x = 0; x < fine.nx; ++x) {
                const std::size_t f = static_cast<std::size_t>(y * fine.nx + x);
                const std::size_t k = static_cast<std::size_t>((y / 2) * coarse.nx + x / 2);
                coarse.weight[k] += fine.weight[f];
                for (int c = 0; c < 3; ++c)
                    coarse.sum[3 * k + c] += fine.sum[3 * f + c];
            }
        levels.push_back(std::move(coarse));
    }
    // Push: every cell without weight of its own takes its parent's mean.
    for (std::size_t l = levels.size() - 1; l-- > 0;) {
        Level& fine = levels[l];
        const Level& coarse = levels[l + 1];
        for (int y = 0; y < fine.ny; ++y)
            for (int x = 0; x < fine.nx; ++x) {
                const std::size_t f = static_cast<std::size_t>(y * fine.nx + x);
                const std::size_t k = static_cast<std::size_t>((y / 2) * coarse.nx + x / 2);
                if (fine.weight[f] > 0.0f || !(coarse.weight[k] > 0.0f))
                    continue;
                fine.weight[f] = 1.0f;
                for (int c = 0; c < 3; ++c)
                    fine.sum[3 * f + c] = coarse.sum[3 * k + c] / coarse.weight[k];
            }
    }
    const Level& filled = levels.front();
    for (std::size_t i = 0; i < set.size(); ++i)
        if (!set[i])
            for (int c = 0; c < 3; ++c)
                cells[3 * i + c] = filled.sum[3 * i + c] / filled.weight[i];
    // Relax: the filled cells settle to the smooth surface the set ones span.
    for (int sweep = 0; sweep < kFillSweeps; ++sweep)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x) {
                const std::size_t i = static_cast<std::size_t>(y * nx + x);
                if (set[i])
                    continue;
                float sum[3] = {0, 0, 0};
                int n = 0;
                const auto add = [&](int ax, int ay) {
                    if (ax < 0 || ay < 0 || ax >= nx || ay >= ny)
                        return;
                    const std::size_t j = static_cast<std::size_t>(ay * nx + ax);
                    for (int c = 0; c < 3; ++c)
                        sum[c] += cells[3 * j + c];
                    ++n;
                };
                add(x - 1, y);
                add(x + 1, y);
                add(x, y - 1);
                add(x, y + 1);
                for (int c = 0; c < 3; ++c)
                    cells[3 * i + c] = sum[c] / static_cast<float>(n);
            }
}

}  // namespace detail

namespace {

// The keyer's strength of a colour as the screen: its channel `primary`
// above the mean of the other two.
inline float strengthOf(const float* c, int primary)
{
    return c[primary] - 0.5f * (c[(primary + 1) % 3] + c[(primary + 2) % 3]);
}

}  // namespace

namespace detail {

void checkGeometry(const RgbPlanes& sample, int step, int width, int height)
{
    if (step < 1 || width < 1 || height < 1 || sample.width != (width + step - 1) / step ||
        sample.height != (height + step - 1) / step)
        throw std::invalid_argument("a screen map's sample of " + std::to_string(sample.width) + "x" +
                                    std::to_string(sample.height) + " does not cover a frame of " +
                                    std::to_string(width) + "x" + std::to_string(height) + " on every " +
                                    std::to_string(step) + "th pixel");
}

ScreenMap mapOfBacking(const Backing& backing, const RgbPlanes& sample, int step, int width, int height,
                       int margin)
{
    const int sw = backing.width, sh = backing.height;
    const std::vector<std::uint8_t> sure = surelyBacking(backing, margin);
    const int nx = cellsAlong(sw), ny = cellsAlong(sh);
    std::vector<std::vector<float>> members(static_cast<std::size_t>(nx * ny) * 3);
    std::vector<int> area(static_cast<std::size_t>(nx * ny), 0);
    for (int j = 0; j < sh; ++j)
        for (int i = 0; i < sw; ++i) {
            // The cell whose span of the frame holds this pixel.
            const int cx = static_cast<int>(static_cast<std::int64_t>(i) * step * nx / width);
            const int cy = static_cast<int>(static_cast<std::int64_t>(j) * step * ny / height);
            const std::size_t k = static_cast<std::size_t>(cy * nx + cx);
            ++area[k];
            const std::size_t s = static_cast<std::size_t>(j) * static_cast<std::size_t>(sw) + static_cast<std::size_t>(i);
            if (!sure[s])
                continue;
            const std::ptrdiff_t p = static_cast<std::ptrdiff_t>(j) * sample.stride + i;
            members[3 * k + 0].push_back(sample.red[p]);
            members[3 * k + 1].push_back(sample.green[p]);
            members[3 * k + 2].push_back(sample.blue[p]);
        }
    std::vector<float> cells(static_cast<std::size_t>(nx * ny) * 3, 0.0f);
    std::vector<std::uint8_t> set(static_cast<std::size_t>(nx * ny), 0);
    bool any = false;
    for (std::size_t k = 0; k < set.size(); ++k) {
        const auto n = members[3 * k].size();
        if (n == 0 || static_cast<float>(n) < kLeastBackingShare * static_cast<float>(area[k]))
            continue;
        for (int c = 0; c < 3; ++c)
            cells[3 * k + static_cast<std::size_t>(c)] = quantile(members[3 * k + static_cast<std::size_t>(c)], 0.5);
        set[k] = 1;
        any = true;
    }
    if (!any)
        throw std::invalid_argument("cannot build a screen map: no part of the frame is clearly backing");
    fillGrid(cells, set, nx, ny);
    ScreenMap shape(width, height, nx, ny, cells);

    // Scale as the pick scales: the backing's strength measured against the
    // map's, at the level pickScreenAuto takes.
    std::vector<float> ratios;
    forEachMapped(shape, sw, sh, step, [&](std::size_t s, const float* colour) {
        if (!sure[s])
            return;
        const float own = strengthOf(colour, backing.primary);
        const float ratio = backing.strength[s] / own;
        if (own > 0.0f && std::isfinite(ratio))
            ratios.push_back(ratio);
    });
    if (ratios.empty())
        throw std::invalid_argument("cannot build a screen map: the backing found has no usable strength");
    const float scale = screenLevel(ratios);
    for (float& c : cells)
        c *= scale;
    return ScreenMap(width, height, nx, ny, std::move(cells));
}

}  // namespace detail

ScreenMap::ScreenMap(int width, int height, int cellsX, int cellsY, std::vector<float> cells)
    : width_(width), height_(height), cellsX_(cellsX), cellsY_(cellsY), cells_(std::move(cells))
{
    if (width < 1 || height < 1 || cellsX < 1 || cellsY < 1)
        throw std::invalid_argument("a screen map needs a positive size and number of cells, not " +
                                    std::to_string(width) + "x" + std::to_string(height) + " pixels in " +
                                    std::to_string(cellsX) + "x" + std::to_string(cellsY) + " cells");
    if (cells_.size() != static_cast<std::size_t>(cellsX) * static_cast<std::size_t>(cellsY) * 3)
        throw std::invalid_argument("a screen map of " + std::to_string(cellsX) + "x" + std::to_string(cellsY) +
                                    " cells needs " + std::to_string(cellsX * cellsY * 3) + " values, not " +
                                    std::to_string(cells_.size()));
    if (cellsX_ > 1 && !perPixel()) {
        columnCell_.resize(static_cast<std::size_t>(width_));
        columnFraction_.resize(static_cast<std::size_t>(width_));
        for (int i = 0; i < width_; ++i) {
            int cell;
            between(i, width_, cellsX_, cell, columnFraction_[static_cast<std::size_t>(i)]);
            columnCell_[static_cast<std::size_t>(i)] = cell;
        }
    }
}

ScreenMap ScreenMap::uniform(int width, int height, const Colour& colour)
{
    return ScreenMap(width, height, 1, 1, {colour[0], colour[1], colour[2]});
}

void ScreenMap::sampleRow(int y, int x, int r, float* red, float* green, float* blue) const
{
    float* const out[3] = {red, green, blue};
    if (perPixel()) {
        const float* const line = cells_.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) * 3;
        for (int i = x; i < r; ++i)
            for (int c = 0; c < 3; ++c)
                out[c][i] = line[static_cast<std::size_t>(i) * 3 + static_cast<std::size_t>(c)];
        return;
    }
    if (cellsX_ == 1 && cellsY_ == 1) {
        for (int c = 0; c < 3; ++c)
            std::fill(out[c] + x, out[c] + r, cells_[static_cast<std::size_t>(c)]);
        return;
    }
    // The row of cell colours at this height, then across.
    int cy;
    float ty;
    between(y, height_, cellsY_, cy, ty);
    const int cy1 = std::min(cy + 1, cellsY_ - 1);
    std::vector<float> line(static_cast<std::size_t>(cellsX_) * 3);
    for (int k = 0; k < cellsX_; ++k)
        for (int c = 0; c < 3; ++c) {
            const float a = cells_[static_cast<std::size_t>((cy * cellsX_ + k) * 3 + c)];
            const float b = cells_[static_cast<std::size_t>((cy1 * cellsX_ + k) * 3 + c)];
            line[static_cast<std::size_t>(k * 3 + c)] = ty == 0.0f ? a : lerp(a, b, ty);
        }
    if (cellsX_ == 1) {
        for (int c = 0; c < 3; ++c)
            std::fill(out[c] + x, out[c] + r, line[static_cast<std::size_t>(c)]);
        return;
    }
    // Run by run of columns between the same two cell centres.
    const std::int32_t* const cell = columnCell_.data();
    const float* const fraction = columnFraction_.data();
    for (int i = x; i < r;) {
        const int cx = cell[i], cx1 = std::min(cx + 1, cellsX_ - 1);
        int end = i + 1;
        while (end < r && cell[end] == cx)
            ++end;
        for (int c = 0; c < 3; ++c) {
            const float a = line[static_cast<std::size_t>(cx * 3 + c)];
            const float b = line[static_cast<std::size_t>(cx1 * 3 + c)];
            float* const o = out[c];
            for (int j = i; j < end; ++j)
                o[j] = fraction[j] == 0.0f ? a : lerp(a, b, fraction[j]);
        }
        i = end;
    }
}

ScreenMap screenMapAuto(const RgbPlanes& sample, int step, int width, int height)
{
    detail::checkGeometry(sample, step, width, height);
    const detail::Backing backing = detail::findBacking(sample, 1);
    detail::pickFromBacking(backing);  // refuses what the pick refuses
    return detail::mapOfBacking(backing, sample, step, width, height, detail::kBackingMargin);
}

ScreenMap screenMapFromCleanPlate(const RgbPlanes& sample, int step, int width, int height)
{
    detail::checkGeometry(sample, step, width, height);
    detail::Backing backing = detail::findBacking(sample, 1);
    detail::pickFromBacking(backing);  // refuses what the pick refuses
    // Every pixel of a clean plate is backing, whatever its hue drift.
    for (std::size_t i = 0; i < backing.mask.size(); ++i) {
        const int x = static_cast<int>(i % static_cast<std::size_t>(backing.width));
        const int y = static_cast<int>(i / static_cast<std::size_t>(backing.width));
        const std::ptrdiff_t p = static_cast<std::ptrdiff_t>(y) * sample.stride + x;
        backing.mask[i] = std::isfinite(sample.red[p]) && std::isfinite(sample.green[p]) && std::isfinite(sample.blue[p]);
    }
    return detail::mapOfBacking(backing, sample, step, width, height, 0);
}

void keyRowMappedWith(const KeyParams& params, std::int32_t x, std::int32_t r, const RowArrays& a,
                      const float* const screen[3], bool (*stop)(void*), void* stopContext)
{
    detail::keyRowMappedWithKernel(detail::dispatchedMappedKernel(), params, x, r, a, screen, stop, stopContext);
}

namespace detail {

void keyRowMappedWithKernel(MappedSpanKernel kernel, const KeyParams& params, std::int32_t x, std::int32_t r,
                            const RowArrays& a, const float* const screen[3], bool (*stop)(void*), void* stopContext)
{
    // As keyRowWith: a block computed ahead into a buffer, then written
    // pixel by pixel, each after its own question.
    alignas(64) float buf[4][kComputeBlock];
    for (std::int64_t i = x; i < r;) {
        const std::int32_t n = (r - i > kComputeBlock) ? kComputeBlock : static_cast<std::int32_t>(r - i);
        const RowArrays block{{a.in[0] + i, a.in[1] + i, a.in[2] + i},
                              a.alphaIn ? a.alphaIn + i : nullptr,
                              {buf[0], buf[1], buf[2]},
                              a.alphaOut ? buf[3] : nullptr};
        const float* const blockScreen[3] = {screen[0] + i, screen[1] + i, screen[2] + i};
        kernel(params, 0, n, block, blockScreen);
        for (std::int32_t j = 0; j < n; ++j, ++i) {
            if (stop(stopContext))
                return;
            if (a.alphaOut) {
                a.out[0][i] = buf[0][j];
                a.out[1][i] = buf[1][j];
                a.out[2][i] = buf[2][j];
                a.alphaOut[i] = buf[3][j];
            } else {
                a.out[0][i] = a.out[1][i] = a.out[2][i] = buf[0][j];
            }
        }
    }
}

}  // namespace detail

}  // namespace zav
