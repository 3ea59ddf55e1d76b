#include "ScreenPicker.h"

#include "UsageError.h"

#include <OpenImageIO/strutil.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

namespace veilcast {

using namespace DD::Image;

namespace {

struct Pixel {
    float c[3];
    bool finite() const { return std::isfinite(c[0]) && std::isfinite(c[1]) && std::isfinite(c[2]); }
};

Pixel pixelAt(const PlanarImage& image, int x, int y)
{
    return {{image.row(Chan_Red, y)[x], image.row(Chan_Green, y)[x], image.row(Chan_Blue, y)[x]}};
}

float median(std::vector<float>& values)
{
    const auto mid = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), mid, values.end());
    return *mid;
}

}  // namespace

std::array<int, 4> parsePickBox(const std::string& text)
{
    const auto parts = OIIO::Strutil::splits(text, ",");
    std::array<int, 4> box{};
    bool ok = parts.size() == 4;
    for (std::size_t i = 0; ok && i < 4; ++i) {
        const std::string part(OIIO::Strutil::strip(parts[i]));
        ok = OIIO::Strutil::string_is_int(part);
        if (ok)
            box[i] = OIIO::Strutil::stoi(part);
    }
    if (!ok)
        throw UsageError("--pick-screen takes X0,Y0,X1,Y1 in pixels or \"auto\", not \"" + text + "\"");
    return box;
}

Colour pickScreenInBox(const PlanarImage& image, int x0, int y0, int x1, int y1)
{
    const Box& b = image.box();
    const int left = std::max(std::min(x0, x1), b.x), right = std::min(std::max(x0, x1) + 1, b.r);
    const int top = std::max(std::min(y0, y1), b.y), bottom = std::min(std::max(y0, y1) + 1, b.t);
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
        throw std::invalid_argument("the pick box " + std::to_string(x0) + "," + std::to_string(y0) + "," +
                                    std::to_string(x1) + "," + std::to_string(y1) +
                                    " holds no usable pixel of the image (data window " + std::to_string(b.x) +
                                    "," + std::to_string(b.y) + " to " + std::to_string(b.r - 1) + "," +
                                    std::to_string(b.t - 1) + ")");
    return {static_cast<float>(sum[0] / count), static_cast<float>(sum[1] / count),
            static_cast<float>(sum[2] / count)};
}

Colour pickScreenAuto(const PlanarImage& image)
{
    const Box& b = image.box();
    long dominated[3] = {0, 0, 0};
    for (int y = b.y; y < b.t; ++y)
        for (int x = b.x; x < b.r; ++x) {
            const Pixel p = pixelAt(image, x, y);
            if (!p.finite())
                continue;
            if (p.c[1] > std::max(p.c[0], p.c[2]))
                ++dominated[1];
            else if (p.c[2] > std::max(p.c[0], p.c[1]))
                ++dominated[2];
        }
    if (dominated[1] == 0 && dominated[2] == 0)
        throw std::invalid_argument("no green or blue backing found: no pixel has green or blue above its other channels");
    const int primary = dominated[1] >= dominated[2] ? 1 : 2;
    const int o1 = (primary + 1) % 3, o2 = (primary + 2) % 3;

    std::vector<Pixel> candidates;
    std::vector<float> dominance;
    for (int y = b.y; y < b.t; ++y)
        for (int x = b.x; x < b.r; ++x) {
            const Pixel p = pixelAt(image, x, y);
            const float d = p.c[primary] - std::max(p.c[o1], p.c[o2]);
            if (p.finite() && d > 0.0f) {
                candidates.push_back(p);
                dominance.push_back(d);
            }
        }
    std::vector<float> sorted = dominance;
    const float clean = median(sorted);
    std::vector<Pixel> backing;
    std::vector<float> brightness;
    for (std::size_t i = 0; i < candidates.size(); ++i)
        if (dominance[i] >= clean) {
            backing.push_back(candidates[i]);
            brightness.push_back(candidates[i].c[primary]);
        }
    std::vector<float> byBrightness = brightness;
    const auto quarter = byBrightness.begin() + static_cast<std::ptrdiff_t>(byBrightness.size() / 4);
    std::nth_element(byBrightness.begin(), quarter, byBrightness.end());
    std::vector<float> channel[3];
    for (std::size_t i = 0; i < backing.size(); ++i)
        if (brightness[i] <= *quarter)
            for (int c = 0; c < 3; ++c)
                channel[c].push_back(backing[i].c[c]);
    return {median(channel[0]), median(channel[1]), median(channel[2])};
}

}  // namespace veilcast
