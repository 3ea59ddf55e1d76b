// SPDX-License-Identifier: Apache-2.0
#include "veilcast/core/ClipChoice.h"

#include "veilcast/core/ScreenMap.h"

#include "Backing.h"
#include "ScreenMapParts.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

namespace zav {

namespace {

// Clip levels stay in ranges that never empty the matte: a plate whose
// backing keys this grey or whose subject keys this thin is better left to
// the user's eye than forced.
constexpr float kMostClipBlack = 0.3f;
constexpr float kLeastClipWhite = 0.4f;
// Shares of the surely-backing and subject-core pixels left to the noise.
constexpr double kBackingCleared = 0.995;
constexpr double kCoreFilled = 0.01;
// The subject's solid core is where the key already sees it mostly opaque:
// glass, smoke and motion blur are no core, whatever their distance from
// the backing.
constexpr float kSolidMatte = 0.5f;
// The levels are read off the matte averaged over this many sample pixels
// around each: what the clips must remove is the backing's uneven lighting,
// which the average keeps, more than its grain, which it mostly averages
// away and which is better left than cut into the edges.
constexpr int kLevelRadius = 2;
// The subject's colours that edges mix with the backing are those of its
// rim: the core pixels within this many sample pixels of its boundary.
constexpr int kRimWidth = 3;
// Screen Balance is chosen among 0, 1/kBalanceSteps, ..., 1.
constexpr int kBalanceSteps = 20;

// The Screen Balance at which the subject's rim leans least towards the
// screen. Where the subject thins into the backing (hair, smoke, glass,
// motion blur) the key's matte is the true coverage times one minus the
// subject colour's lean over the screen's: a subject colour with no lean
// keys exactly, one leaning the screen's way keys thin and one leaning away
// keys thick. The balance weighs the two lesser channels in that lean, so
// the one whose lean over the rim, against the screen's, is least on
// average serves the edges best. `screenAt(s)` gives the screen colour at
// sample pixel s; ties keep the balance nearest the default; with no rim to
// read, `given` stays.
template <class ScreenAt>
float balanceForRim(const RgbPlanes& sample, const detail::Backing& backing, const std::vector<std::uint8_t>& core,
                    float given, ScreenAt&& screenAt)
{
    const int sw = backing.width, sh = backing.height;
    const std::vector<std::uint8_t> inner = detail::erode(core, sw, sh, kRimWidth);
    const int p = backing.primary, o1 = (p + 1) % 3, o2 = (p + 2) % 3;
    std::vector<double> cost(kBalanceSteps + 1, 0.0);
    std::size_t used = 0;
    for (int j = 0; j < sh; ++j)
        for (int i = 0; i < sw; ++i) {
            const std::size_t s = static_cast<std::size_t>(j) * static_cast<std::size_t>(sw) + static_cast<std::size_t>(i);
            if (!core[s] || inner[s])
                continue;
            const std::ptrdiff_t q = static_cast<std::ptrdiff_t>(j) * sample.stride + i;
            const float pixel[3] = {sample.red[q], sample.green[q], sample.blue[q]};
            const float* const screen = screenAt(s);
            if (!std::isfinite(pixel[0] + pixel[1] + pixel[2]))
                continue;
            // Lesser and greater as the keyer orders them, from the screen.
            const int lesser = screen[o2] > screen[o1] ? o1 : o2, greater = lesser == o1 ? o2 : o1;
            bool usable = true;
            double lean[kBalanceSteps + 1];
            for (int k = 0; usable && k <= kBalanceSteps; ++k) {
                const double b = static_cast<double>(k) / kBalanceSteps;
                const double own = screen[p] - ((1.0 - b) * screen[lesser] + b * screen[greater]);
                const double v = pixel[p] - ((1.0 - b) * pixel[lesser] + b * pixel[greater]);
                usable = own > 0.0;
                lean[k] = std::fabs(v) / own;
            }
            if (!usable)
                continue;
            for (int k = 0; k <= kBalanceSteps; ++k)
                cost[static_cast<std::size_t>(k)] += lean[k];
            ++used;
        }
    const int middle = kBalanceSteps / 2;
    if (used == 0)
        return given;
    int best = middle;
    for (int k = 0; k <= kBalanceSteps; ++k)
        if (cost[static_cast<std::size_t>(k)] < cost[static_cast<std::size_t>(best)] ||
            (cost[static_cast<std::size_t>(k)] == cost[static_cast<std::size_t>(best)] &&
             std::abs(k - middle) < std::abs(best - middle)))
            best = k;
    return static_cast<float>(best) / kBalanceSteps;
}

}  // namespace

ClipLevels chooseClips(const RgbPlanes& sample, int step, const KeyParams& params, const ScreenMap* map,
                       const RgbPlanes* rim)
{
    if (rim && (rim->width != sample.width || rim->height != sample.height))
        throw std::invalid_argument("chooseClips: the rim's sample is not the plate's size");
    const RgbPlanes& rimSample = rim ? *rim : sample;
    if (map && !map->empty())
        detail::checkGeometry(sample, step, map->width(), map->height());
    ClipLevels clips;
    clips.screenBalance = params.screenBalance;
    std::optional<detail::Backing> found;
    try {
        found = detail::findBacking(sample, 1);
    } catch (const std::invalid_argument&) {
        return clips;  // no backing to read levels off
    }
    const detail::Backing& backing = *found;
    const int sw = backing.width, sh = backing.height;
    const std::vector<std::uint8_t> sure = detail::surelyBacking(backing, detail::kBackingMargin);
    std::vector<std::uint8_t> notBacking(backing.mask.size());
    for (std::size_t s = 0; s < notBacking.size(); ++s)
        notBacking[s] = !backing.mask[s];
    const std::vector<std::uint8_t> core = detail::erode(notBacking, sw, sh, detail::kCoreMargin);

    if (map && !map->empty()) {
        std::vector<float> screens(static_cast<std::size_t>(sw) * static_cast<std::size_t>(sh) * 3);
        detail::forEachMapped(*map, sw, sh, step, [&](std::size_t s, const float* colour) { std::copy(colour, colour + 3, &screens[3 * s]); });
        clips.screenBalance = balanceForRim(rimSample, backing, core, params.screenBalance, [&](std::size_t s) { return &screens[3 * s]; });
    } else {
        clips.screenBalance = balanceForRim(rimSample, backing, core, params.screenBalance, [&](std::size_t) { return params.screenColor; });
    }
    KeyParams raw = params;
    raw.screenBalance = clips.screenBalance;
    raw.clipBlack = 0.0f;
    raw.clipWhite = 1.0f;
    raw.sourceAlpha = static_cast<std::int32_t>(SourceAlphaMode::Ignore);
    std::vector<float> matte(static_cast<std::size_t>(sw) * static_cast<std::size_t>(sh));
    const auto keyAt = [&](std::size_t s, const float* screen) {
        const int i = static_cast<int>(s % static_cast<std::size_t>(sw)), j = static_cast<int>(s / static_cast<std::size_t>(sw));
        const std::ptrdiff_t p = static_cast<std::ptrdiff_t>(j) * sample.stride + i;
        const float pixel[3] = {sample.red[p], sample.green[p], sample.blue[p]};
        KeyParams k = raw;
        if (screen)
            std::copy(screen, screen + 3, k.screenColor);
        matte[s] = keyPixel(k, analyseScreen(k), pixel, std::nullopt).alpha;
    };
    if (map && !map->empty())
        detail::forEachMapped(*map, sw, sh, step, keyAt);
    else
        for (std::size_t s = 0; s < matte.size(); ++s)
            keyAt(s, nullptr);

    const int radius = kLevelRadius;
    std::vector<float> backingMatte, coreMatte;
    for (int j = 0; j < sh; ++j)
        for (int i = 0; i < sw; ++i) {
            const std::size_t s = static_cast<std::size_t>(j) * static_cast<std::size_t>(sw) + static_cast<std::size_t>(i);
            const bool inBacking = sure[s] != 0;
            if (!inBacking && !core[s])
                continue;
            float sum = 0.0f;
            int n = 0;
            for (int y = std::max(0, j - radius); y <= std::min(sh - 1, j + radius); ++y)
                for (int x = std::max(0, i - radius); x <= std::min(sw - 1, i + radius); ++x) {
                    const float m = matte[static_cast<std::size_t>(y) * static_cast<std::size_t>(sw) + static_cast<std::size_t>(x)];
                    if (std::isfinite(m)) {
                        sum += m;
                        ++n;
                    }
                }
            if (n == 0)
                continue;
            (inBacking ? backingMatte : coreMatte).push_back(sum / static_cast<float>(n));
        }
    if (!backingMatte.empty())
        clips.clipBlack = std::clamp(detail::quantile(backingMatte, kBackingCleared), 0.0f, kMostClipBlack);
    if (!coreMatte.empty()) {
        std::vector<float> solid;
        for (const float m : coreMatte)
            if (m >= kSolidMatte)
                solid.push_back(m);
        const float level = detail::quantile(solid.empty() ? coreMatte : solid, kCoreFilled);
        const float stretched = clips.clipBlack < level ? (level - clips.clipBlack) / (1.0f - clips.clipBlack) : 0.0f;
        clips.clipWhite = std::clamp(stretched, kLeastClipWhite, 1.0f);
    }
    return clips;
}

}  // namespace zav
