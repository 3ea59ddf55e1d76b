// SPDX-License-Identifier: Apache-2.0
#include "veilcast/core/ShotPlate.h"

#include "Backing.h"
#include "ScreenMapParts.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>

namespace zav {

namespace {

std::ptrdiff_t at(const RgbPlanes& p, std::size_t s, int sw)
{
    const int i = static_cast<int>(s % static_cast<std::size_t>(sw)), j = static_cast<int>(s / static_cast<std::size_t>(sw));
    return static_cast<std::ptrdiff_t>(j) * p.stride + i;
}

std::optional<detail::Backing> backingOf(const RgbPlanes& sample)
{
    try {
        detail::Backing backing = detail::findBacking(sample, 1);
        detail::pickFromBacking(backing);  // refuses what the pick refuses
        return backing;
    } catch (const std::invalid_argument&) {
        return std::nullopt;
    }
}

float median(std::vector<float>& v)
{
    std::sort(v.begin(), v.end());
    return v[(v.size() - 1) / 2];
}

}  // namespace

bool ShotPlate::fits(int step, int width, int height) const
{
    return frames_ > 0 && step == step_ && width == width_ && height == height_;
}

bool ShotPlate::add(const RgbPlanes& sample, int step, int width, int height)
{
    detail::checkGeometry(sample, step, width, height);
    if (frames_ > 0 && !fits(step, width, height))
        return false;
    const std::optional<detail::Backing> backing = backingOf(sample);
    if (!backing || (frames_ > 0 && backing->primary != primary_))
        return false;
    if (frames_ == 0) {
        step_ = step, width_ = width, height_ = height, sw_ = sample.width, sh_ = sample.height;
        primary_ = backing->primary;
        sum_.assign(static_cast<std::size_t>(sw_) * static_cast<std::size_t>(sh_) * 3, 0.0);
        count_.assign(static_cast<std::size_t>(sw_) * static_cast<std::size_t>(sh_), 0);
    }
    const std::vector<std::uint8_t> sure = detail::surelyBacking(*backing, detail::kBackingMargin);
    for (std::size_t s = 0; s < sure.size(); ++s) {
        if (!sure[s])
            continue;
        const std::ptrdiff_t p = at(sample, s, sw_);
        sum_[3 * s] += sample.red[p];
        sum_[3 * s + 1] += sample.green[p];
        sum_[3 * s + 2] += sample.blue[p];
        ++count_[s];
    }
    ++frames_;
    return true;
}

double ShotPlate::seenShare() const
{
    if (count_.empty())
        return 0.0;
    const auto seen = std::count_if(count_.begin(), count_.end(), [](std::uint32_t n) { return n > 0; });
    return static_cast<double>(seen) / static_cast<double>(count_.size());
}

bool ShotPlate::seen(std::size_t s, float* colour) const
{
    if (s >= count_.size() || count_[s] == 0)
        return false;
    for (int c = 0; c < 3; ++c)
        colour[c] = static_cast<float>(sum_[3 * s + static_cast<std::size_t>(c)] / count_[s]);
    return true;
}

ScreenMap screenMapShot(const RgbPlanes& sample, int step, int width, int height, const ShotPlate* shot)
{
    detail::checkGeometry(sample, step, width, height);
    if (shot && !shot->fits(step, width, height))
        shot = nullptr;
    const std::optional<detail::Backing> own = backingOf(sample);
    if (!own && !shot)
        throw std::invalid_argument("cannot build a screen map: no part of the frame is clearly backing");
    const int sw = sample.width, sh = sample.height;
    const std::size_t n = static_cast<std::size_t>(sw) * static_cast<std::size_t>(sh);
    std::vector<std::uint8_t> sure;
    if (own)
        sure = detail::surelyBacking(*own, detail::kBackingMargin);
    // The frame's own backing where it is sure, the shot's where it was seen.
    std::vector<float> planes(3 * n);
    detail::Backing combined;
    combined.primary = own ? own->primary : shot->primary();
    combined.width = sw;
    combined.height = sh;
    combined.mask.assign(n, 0);
    combined.strength.assign(n, std::nanf(""));
    const int p = combined.primary;
    for (std::size_t s = 0; s < n; ++s) {
        float colour[3];
        bool set = false;
        if (!sure.empty() && sure[s]) {
            const std::ptrdiff_t q = at(sample, s, sw);
            colour[0] = sample.red[q], colour[1] = sample.green[q], colour[2] = sample.blue[q];
            set = true;
        } else if (shot && (own ? own->primary == shot->primary() : true)) {
            set = shot->seen(s, colour);
        }
        if (!set)
            continue;
        for (int c = 0; c < 3; ++c)
            planes[static_cast<std::size_t>(c) * n + s] = colour[c];
        combined.mask[s] = 1;
        combined.strength[s] = colour[p] - 0.5f * (colour[(p + 1) % 3] + colour[(p + 2) % 3]);
        ++combined.finite;
    }
    const RgbPlanes view{planes.data(), planes.data() + n, planes.data() + 2 * n, sw, sh, sw};
    return detail::mapOfBacking(combined, view, step, width, height, 0);
}

ClipLevels chooseShotClips(const std::vector<RgbPlanes>& samples, int step, const KeyParams& params,
                           const std::vector<const ScreenMap*>& maps, const std::vector<RgbPlanes>& rims)
{
    std::vector<float> black, white, balance;
    for (std::size_t k = 0; k < samples.size(); ++k) {
        if (!backingOf(samples[k]))
            continue;  // nothing to read levels off
        const ClipLevels c =
            chooseClips(samples[k], step, params, maps.empty() ? nullptr : maps[k], rims.empty() ? nullptr : &rims[k]);
        black.push_back(c.clipBlack);
        white.push_back(c.clipWhite);
        balance.push_back(c.screenBalance);
    }
    ClipLevels clips;
    clips.screenBalance = params.screenBalance;
    if (black.empty())
        return clips;
    clips.clipBlack = median(black);
    clips.clipWhite = median(white);
    clips.screenBalance = median(balance);
    return clips;
}

}  // namespace zav
