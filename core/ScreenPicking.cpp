// SPDX-License-Identifier: Apache-2.0
#include "veilcast/core/ScreenPicking.h"

#include "Backing.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace zav {

namespace {

constexpr std::int64_t kMaxSamples = std::int64_t{1} << 18;
constexpr float kDeviationsAccepted = 6.0f;
constexpr float kSmallestTolerance = 0.01f;
constexpr double kLevelReached = 0.99;
constexpr double kSmallestBackingShare = 0.01;
constexpr float kSmallestDominance = 1.5f;
// A median absolute deviation of normal noise, in standard deviations.
constexpr float kNormalDeviationsPerMad = 1.4826f;
// How far below the backing's typical strength the screen colour may sit:
// deep enough that noise keys to zero, not so deep that a shadow or a dark
// corner sets the level for the whole screen.
constexpr float kDeviationsBelow = 4.0f;
// A connected area of screen hue counts as backing when it is at least this
// share of the largest one (the subject may cut the screen in two).
constexpr std::size_t kAreaShareOfLargest = 4;

using detail::quantile;

struct Pixel {
    float c[3];
    bool finite() const { return std::isfinite(c[0]) && std::isfinite(c[1]) && std::isfinite(c[2]); }
};

// A backing candidate as the picker sees it: the two other channels as
// fractions of the dominant one, and the dominant channel's lead over their mean.
struct Sample {
    float first;
    float second;
    float strength;
};

Pixel pixelAt(const RgbPlanes& image, int x, int y)
{
    const std::ptrdiff_t i = static_cast<std::ptrdiff_t>(y) * image.stride + x;
    return {{image.red[i], image.green[i], image.blue[i]}};
}

// Calls f on every pixel of a regular grid over the image, every `step`-th row
// and column.
template <class F>
void forEachSampled(const RgbPlanes& image, int step, F&& f)
{
    for (int y = 0; y < image.height; y += step)
        for (int x = 0; x < image.width; x += step)
            f(pixelAt(image, x, y));
}


template <class Select, class Keep>
std::vector<float> gather(const std::vector<Sample>& samples, Select&& select, Keep&& keep)
{
    std::vector<float> out;
    for (const Sample& s : samples)
        if (keep(s))
            out.push_back(select(s));
    return out;
}

std::string describe(const Colour& c)
{
    std::ostringstream out;
    out.precision(4);
    out << c[0] << "," << c[1] << "," << c[2];
    return out.str();
}

[[noreturn]] void refuse(const std::string& reason)
{
    throw std::invalid_argument("cannot pick the screen colour automatically: " + reason);
}

// Said as the caller's own failure: a pick, a map or clip levels.
[[noreturn]] void noBacking(const std::string& reason)
{
    throw std::invalid_argument(reason);
}

}  // namespace

bool boxAverage(const RgbPlanes& image, int x0, int y0, int x1, int y1, Colour& mean)
{
    const int left = std::max(std::min(x0, x1), 0), right = std::min(std::max(x0, x1) + 1, image.width);
    const int top = std::max(std::min(y0, y1), 0), bottom = std::min(std::max(y0, y1) + 1, image.height);
    double sum[3] = {0, 0, 0};
    double count = 0;
    for (int y = top; y < bottom; ++y)
        for (int x = left; x < right; ++x) {
            const Pixel p = pixelAt(image, x, y);
            if (!p.finite())
                continue;
            for (int c = 0; c < 3; ++c)
                sum[c] += p.c[c];
            ++count;
        }
    if (count == 0)
        return false;
    mean = {static_cast<float>(sum[0] / count), static_cast<float>(sum[1] / count), static_cast<float>(sum[2] / count)};
    return true;
}

int autoPickStep(int width, int height)
{
    int step = 1;
    const auto along = [&step](int n) { return (static_cast<std::int64_t>(std::max(n, 0)) + step - 1) / step; };
    while (along(width) * along(height) > kMaxSamples)
        ++step;
    return step;
}

namespace detail {

std::vector<std::size_t> areaSizes(const std::vector<std::uint8_t>& mask, int width, int height)
{
    std::vector<std::size_t> sizes(mask.size(), 0);
    std::vector<std::size_t> members;
    std::vector<std::uint8_t> seen(mask.size(), 0);
    for (std::size_t start = 0; start < mask.size(); ++start) {
        if (!mask[start] || seen[start])
            continue;
        members.clear();
        members.push_back(start);
        seen[start] = 1;
        for (std::size_t next = 0; next < members.size(); ++next) {
            const std::size_t i = members[next];
            const int x = static_cast<int>(i % static_cast<std::size_t>(width));
            const int y = static_cast<int>(i / static_cast<std::size_t>(width));
            const auto visit = [&](int nx, int ny) {
                if (nx < 0 || ny < 0 || nx >= width || ny >= height)
                    return;
                const std::size_t j = static_cast<std::size_t>(ny) * static_cast<std::size_t>(width) +
                                      static_cast<std::size_t>(nx);
                if (mask[j] && !seen[j]) {
                    seen[j] = 1;
                    members.push_back(j);
                }
            };
            visit(x - 1, y);
            visit(x + 1, y);
            visit(x, y - 1);
            visit(x, y + 1);
        }
        for (const std::size_t i : members)
            sizes[i] = members.size();
    }
    return sizes;
}

std::vector<std::uint8_t> areasAtLeast(const std::vector<std::uint8_t>& mask, const std::vector<std::size_t>& sizes,
                                       std::size_t smallest)
{
    std::vector<std::uint8_t> kept(mask.size(), 0);
    for (std::size_t i = 0; i < mask.size(); ++i)
        kept[i] = mask[i] && sizes[i] >= smallest;
    return kept;
}

float quantile(std::vector<float>& values, double fraction)
{
    const auto rank = static_cast<std::ptrdiff_t>(fraction * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + rank, values.end());
    return values[static_cast<std::size_t>(rank)];
}

Backing findBacking(const RgbPlanes& image, int step)
{
    Backing b;
    b.width = static_cast<int>((static_cast<std::int64_t>(std::max(image.width, 0)) + step - 1) / step);
    b.height = static_cast<int>((static_cast<std::int64_t>(std::max(image.height, 0)) + step - 1) / step);
    const std::size_t n = static_cast<std::size_t>(b.width) * static_cast<std::size_t>(b.height);
    std::int64_t dominated[3] = {0, 0, 0};
    forEachSampled(image, step, [&](const Pixel& p) {
        if (!p.finite())
            return;
        ++b.finite;
        if (p.c[1] > std::max(p.c[0], p.c[2]))
            ++dominated[1];
        else if (p.c[2] > std::max(p.c[0], p.c[1]))
            ++dominated[2];
    });
    if (dominated[1] == 0 && dominated[2] == 0)
        noBacking("no pixel has green or blue above its other channels");
    const int primary = dominated[1] >= dominated[2] ? 1 : 2;
    b.primary = primary;
    const int o1 = (primary + 1) % 3, o2 = (primary + 2) % 3;

    std::vector<Sample> samples;
    std::vector<std::uint32_t> where;
    samples.reserve(static_cast<std::size_t>(dominated[primary]));
    where.reserve(static_cast<std::size_t>(dominated[primary]));
    b.strength.assign(n, std::numeric_limits<float>::quiet_NaN());
    std::uint32_t index = 0;
    forEachSampled(image, step, [&](const Pixel& p) {
        const std::uint32_t i = index++;
        const float lead = p.c[primary];
        if (!p.finite() || !(lead > 0.0f) || !(lead > std::max(p.c[o1], p.c[o2])))
            return;
        // Extreme values can overflow to infinities, which would leave the
        // sorting below without an order.
        const Sample s{p.c[o1] / lead, p.c[o2] / lead, lead - 0.5f * (p.c[o1] + p.c[o2])};
        if (std::isfinite(s.first) && std::isfinite(s.second) && std::isfinite(s.strength)) {
            samples.push_back(s);
            where.push_back(i);
            b.strength[i] = s.strength;
        }
    });
    if (samples.empty())
        noBacking("no pixel has a positive green or blue of usable size above its other channels");

    const auto washOut = [](const Sample& s) { return s.first + s.second; };
    const auto all = [](const Sample&) { return true; };
    std::vector<float> washOuts = gather(samples, washOut, all);
    const float saturatedHalf = quantile(washOuts, 0.5);
    const auto saturated = [&](const Sample& s) { return washOut(s) <= saturatedHalf; };
    std::vector<float> firsts = gather(samples, [](const Sample& s) { return s.first; }, saturated);
    std::vector<float> seconds = gather(samples, [](const Sample& s) { return s.second; }, saturated);
    const float refFirst = quantile(firsts, 0.5), refSecond = quantile(seconds, 0.5);
    const auto deviation = [&](const Sample& s) {
        return std::max(std::fabs(s.first - refFirst), std::fabs(s.second - refSecond));
    };
    std::vector<float> deviations = gather(samples, deviation, saturated);
    const float tolerance = std::max(kDeviationsAccepted * quantile(deviations, 0.5), kSmallestTolerance);

    b.mask.assign(n, 0);
    std::size_t hued = 0;
    for (std::size_t k = 0; k < samples.size(); ++k)
        if (deviation(samples[k]) <= tolerance) {
            b.mask[where[k]] = 1;
            ++hued;
        }
    const auto needed = static_cast<std::size_t>(std::ceil(kSmallestBackingShare * static_cast<double>(b.finite)));
    if (hued < std::max<std::size_t>(needed, 1))
        noBacking("backing-coloured pixels cover only " + std::to_string(hued) + " of " + std::to_string(b.finite) +
               " pixels examined, too few to be a screen");
    // A hot spot washes the screen's hue out towards white where its
    // dominant channel saturates; it is still backing, as strong as the
    // typical backing pixel, which no mix with the subject is.
    std::vector<float> hueStrengths;
    for (std::size_t k = 0; k < samples.size(); ++k)
        if (b.mask[where[k]])
            hueStrengths.push_back(samples[k].strength);
    const float typical = quantile(hueStrengths, 0.5);
    for (std::size_t k = 0; k < samples.size(); ++k) {
        const Sample& s = samples[k];
        if (s.strength >= typical && kSmallestDominance * std::max(s.first, s.second) <= 1.0f)
            b.mask[where[k]] = 1;
    }
    // Specks of screen hue on the subject or the set are no backing.
    const std::vector<std::size_t> sizes = areaSizes(b.mask, b.width, b.height);
    const std::size_t largest = *std::max_element(sizes.begin(), sizes.end());
    b.mask = areasAtLeast(b.mask, sizes, (largest + kAreaShareOfLargest - 1) / kAreaShareOfLargest);

    firsts.clear();
    seconds.clear();
    for (std::size_t k = 0; k < samples.size(); ++k)
        if (b.mask[where[k]]) {
            firsts.push_back(samples[k].first);
            seconds.push_back(samples[k].second);
        }
    b.first = quantile(firsts, 0.5);
    b.second = quantile(seconds, 0.5);
    return b;
}

float screenLevel(std::vector<float>& strengths)
{
    const float median = quantile(strengths, 0.5);
    std::vector<float> spread;
    spread.reserve(strengths.size());
    for (const float s : strengths)
        spread.push_back(std::fabs(s - median));
    const float deviation = kNormalDeviationsPerMad * quantile(spread, 0.5);
    return std::max(quantile(strengths, 1.0 - kLevelReached), median - kDeviationsBelow * deviation);
}

Colour pickFromBacking(const Backing& b)
{
    std::vector<float> strengths;
    for (std::size_t i = 0; i < b.mask.size(); ++i)
        if (b.mask[i])
            strengths.push_back(b.strength[i]);
    const float level = screenLevel(strengths);

    const int primary = b.primary, o1 = (primary + 1) % 3, o2 = (primary + 2) % 3;
    Colour screen{};
    screen[primary] = level / (1.0f - 0.5f * (b.first + b.second));
    screen[o1] = b.first * screen[primary];
    screen[o2] = b.second * screen[primary];
    const char* name = primary == 1 ? "green" : "blue";
    if (!(std::isfinite(screen[0]) && std::isfinite(screen[1]) && std::isfinite(screen[2]) && screen[primary] > 0.0f))
        refuse("the backing found, " + describe(screen) + ", is not a usable colour");
    if (!(screen[primary] <= 1.0f))
        refuse("the backing found, " + describe(screen) + ", is brighter than 1 in " + name +
               ": super-white highlights, not a screen");
    if (!(screen[primary] >= kSmallestDominance * std::max(screen[o1], screen[o2])))
        refuse("the backing found, " + describe(screen) + ", is not clearly " + name +
               ": its " + name + " is not 1.5 times each other channel");
    return screen;
}

}  // namespace detail

Colour pickScreenAuto(const RgbPlanes& image)
{
    std::optional<detail::Backing> backing;
    try {
        backing = detail::findBacking(image, autoPickStep(image.width, image.height));
    } catch (const std::invalid_argument& e) {
        refuse(e.what());
    }
    return detail::pickFromBacking(*backing);
}

}  // namespace zav
