// SPDX-License-Identifier: Apache-2.0
// The automatic pick as it was before it read only the backing's main
// areas, kept word for word for the quality benchmark's "before" column.

#include "PreviousPick.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace zavbench {

using zav::Colour;
using zav::RgbPlanes;
using zav::autoPickStep;

namespace {

constexpr std::int64_t kMaxSamples = std::int64_t{1} << 18;
constexpr float kDeviationsAccepted = 6.0f;
constexpr float kSmallestTolerance = 0.01f;
constexpr double kLevelReached = 0.99;
constexpr double kSmallestBackingShare = 0.01;
constexpr float kSmallestDominance = 1.5f;

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


// The value at rank `fraction` of `values` (0 the least, 1 the greatest);
// reorders `values`.
float quantile(std::vector<float>& values, double fraction)
{
    const auto rank = static_cast<std::ptrdiff_t>(fraction * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + rank, values.end());
    return values[static_cast<std::size_t>(rank)];
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

}  // namespace

Colour previousPickScreenAuto(const RgbPlanes& image)
{
    const int step = autoPickStep(image.width, image.height);
    std::int64_t finite = 0, dominated[3] = {0, 0, 0};
    forEachSampled(image, step, [&](const Pixel& p) {
        if (!p.finite())
            return;
        ++finite;
        if (p.c[1] > std::max(p.c[0], p.c[2]))
            ++dominated[1];
        else if (p.c[2] > std::max(p.c[0], p.c[1]))
            ++dominated[2];
    });
    if (dominated[1] == 0 && dominated[2] == 0)
        refuse("no pixel has green or blue above its other channels");
    const int primary = dominated[1] >= dominated[2] ? 1 : 2;
    const int o1 = (primary + 1) % 3, o2 = (primary + 2) % 3;

    std::vector<Sample> samples;
    samples.reserve(static_cast<std::size_t>(dominated[primary]));
    forEachSampled(image, step, [&](const Pixel& p) {
        const float lead = p.c[primary];
        if (!p.finite() || !(lead > 0.0f) || !(lead > std::max(p.c[o1], p.c[o2])))
            return;
        // Extreme values can overflow to infinities, which would leave the
        // sorting below without an order.
        const Sample s{p.c[o1] / lead, p.c[o2] / lead, lead - 0.5f * (p.c[o1] + p.c[o2])};
        if (std::isfinite(s.first) && std::isfinite(s.second) && std::isfinite(s.strength))
            samples.push_back(s);
    });
    if (samples.empty())
        refuse("no pixel has a positive green or blue of usable size above its other channels");

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
    const auto backing = [&](const Sample& s) { return deviation(s) <= tolerance; };

    std::vector<float> strengths = gather(samples, [](const Sample& s) { return s.strength; }, backing);
    const auto needed = static_cast<std::size_t>(std::ceil(kSmallestBackingShare * static_cast<double>(finite)));
    if (strengths.size() < std::max<std::size_t>(needed, 1))
        refuse("backing-coloured pixels cover only " + std::to_string(strengths.size()) + " of " +
               std::to_string(finite) + " pixels examined, too few to be a screen");
    const float level = quantile(strengths, 1.0 - kLevelReached);
    firsts = gather(samples, [](const Sample& s) { return s.first; }, backing);
    seconds = gather(samples, [](const Sample& s) { return s.second; }, backing);
    const float first = quantile(firsts, 0.5), second = quantile(seconds, 0.5);

    Colour screen{};
    screen[primary] = level / (1.0f - 0.5f * (first + second));
    screen[o1] = first * screen[primary];
    screen[o2] = second * screen[primary];
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

}  // namespace zavbench
