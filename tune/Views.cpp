// SPDX-License-Identifier: Apache-2.0
#include "Views.h"

#include "veilcast/host/ParallelRows.h"
#include "veilcast/media/SrgbCurve.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace veilcast::tune {

using namespace DD::Image;

namespace {

float finiteOrZero(float v)
{
    return std::isfinite(v) ? v : 0.0f;
}

// sRGB encoding through a table: a pow() per channel would cost more than
// the key itself at proxy size, and 14 bits of input are finer than 8 out.
class SrgbTable {
public:
    static constexpr int kSize = 1 << 14;
    SrgbTable()
    {
        for (int i = 0; i < kSize; ++i) {
            const double v = static_cast<double>(i) / (kSize - 1);
            table_[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(std::lround(srgbFromLinear(v) * 255));
        }
    }
    std::uint8_t operator()(float linear) const
    {
        if (!(linear > 0.0f))  // also NaN
            return 0;
        if (linear >= 1.0f)
            return 255;
        return table_[static_cast<std::size_t>(linear * (kSize - 1) + 0.5f)];
    }

private:
    std::array<std::uint8_t, kSize> table_{};
};

const SrgbTable& srgb()
{
    static const SrgbTable table;
    return table;
}

// The matte and Status show data, not light: 0.5 is mid grey in the bytes.
std::uint8_t linearByte(float v)
{
    if (!(v > 0.0f))
        return 0;
    return v >= 1.0f ? 255 : static_cast<std::uint8_t>(v * 255.0f + 0.5f);
}

const float* rowOrNull(const PlanarImage* image, Channel z, int y)
{
    return image && image->has(z) ? image->row(z, y) : nullptr;
}

}  // namespace

std::uint8_t srgbByte(float linear)
{
    return srgb()(linear);
}

// Needed for a few colours, not for images: no table.
float linearFromSrgbByte(std::uint8_t encoded)
{
    return static_cast<float>(linearFromSrgb(encoded / 255.0));
}

std::optional<View> parseView(const std::string& name)
{
    if (name == "source")
        return View::Source;
    if (name == "matte")
        return View::Matte;
    if (name == "checker")
        return View::Checker;
    if (name == "colour")
        return View::Colour;
    if (name == "status")
        return View::Status;
    if (name == "screenmap")
        return View::ScreenMap;
    return std::nullopt;
}

PlanarImage shrink(const PlanarImage& image, int factor)
{
    const Box& b = image.box();
    const int w = (b.w() + factor - 1) / factor, h = (b.h() + factor - 1) / factor;
    const Box out{0, 0, w, h};
    PlanarImage small(out, out, image.channels());
    std::vector<float> sum(static_cast<std::size_t>(w));
    for (const Channel z : image.channels()) {
        for (int oy = 0; oy < h; ++oy) {
            std::fill(sum.begin(), sum.end(), 0.0f);
            const int y0 = b.y + oy * factor, y1 = std::min(y0 + factor, b.t);
            for (int y = y0; y < y1; ++y) {
                const float* row = image.row(z, y);
                for (int x = b.x; x < b.r; ++x)
                    sum[static_cast<std::size_t>((x - b.x) / factor)] += finiteOrZero(row[x]);
            }
            float* dst = small.row(z, oy);
            for (int ox = 0; ox < w; ++ox) {
                const int covered = (std::min(b.x + (ox + 1) * factor, b.r) - (b.x + ox * factor)) * (y1 - y0);
                dst[ox] = sum[static_cast<std::size_t>(ox)] / static_cast<float>(covered);
            }
        }
    }
    return small;
}

PlanarImage crop(const PlanarImage& image, const Box& region)
{
    const Box& b = image.box();
    Box c{std::max(region.x, b.x), std::max(region.y, b.y), std::min(region.r, b.r), std::min(region.t, b.t)};
    if (c.r <= c.x || c.t <= c.y)
        c = Box{b.x, b.y, b.x, b.y};
    PlanarImage part(c, image.format(), image.channels());
    for (const Channel z : image.channels())
        for (int y = c.y; y < c.t; ++y)
            std::copy(image.row(z, y) + c.x, image.row(z, y) + c.r, part.row(z, y) + c.x);
    return part;
}

PlanarImage screenImage(const zav::ScreenMap* map, const zav::Colour& screen, const Box& mapBox, const Box& view)
{
    PlanarImage image(view, view, {Chan_Red, Chan_Green, Chan_Blue});
    float* rgb[3];
    for (int y = view.y; y < view.t; ++y) {
        for (int c = 0; c < 3; ++c)
            rgb[c] = image.row(static_cast<Channel>(Chan_Red + c), y) + mapBox.x;  // rgb[c][i]: map pixel i
        if (map)
            map->sampleRow(y - mapBox.y, view.x - mapBox.x, view.r - mapBox.x, rgb[0], rgb[1], rgb[2]);
        else
            for (int c = 0; c < 3; ++c)
                std::fill(rgb[c] + view.x - mapBox.x, rgb[c] + view.r - mapBox.x, screen[static_cast<std::size_t>(c)]);
    }
    return image;
}

namespace {

// One row of the view into `px` (the row's first byte).
void renderRow(View view, const ViewInputs& in, int y, std::uint8_t* px)
{
    const PlanarImage& src = *in.source;
    const PlanarImage& key = *in.keyed;
    const Box& b = key.box();
    const SrgbTable& enc = srgb();
    // Check Alpha: the result carries the matte in red and has no alpha.
    const bool matteInRed = !key.has(Chan_Alpha);
    const float* sr = src.row(Chan_Red, y);
    const float* sg = src.row(Chan_Green, y);
    const float* sb = src.row(Chan_Blue, y);
    const float* kr = key.row(Chan_Red, y);
    const float* kg = key.row(Chan_Green, y);
    const float* kb = key.row(Chan_Blue, y);
    const float* ka = matteInRed ? kr : key.row(Chan_Alpha, y);
    const float* screen[3] = {rowOrNull(in.screen, Chan_Red, y), rowOrNull(in.screen, Chan_Green, y),
                              rowOrNull(in.screen, Chan_Blue, y)};
    const float* ua = rowOrNull(in.unmasked, in.unmasked && !in.unmasked->has(Chan_Alpha) ? Chan_Red : Chan_Alpha, y);
    for (int x = b.x; x < b.r; ++x, px += 4) {
        const float a = ka[x];
        px[3] = 255;
        switch (view) {
        case View::Source:
            px[0] = enc(sr[x]), px[1] = enc(sg[x]), px[2] = enc(sb[x]);
            break;
        case View::Matte:
            px[0] = px[1] = px[2] = linearByte(a);
            break;
        case View::ScreenMap:
            px[0] = enc(screen[0][x]), px[1] = enc(screen[1][x]), px[2] = enc(screen[2][x]);
            break;
        case View::Checker:
        case View::Colour: {
            if (matteInRed) {  // nothing to composite: show the result as it is
                px[0] = px[1] = px[2] = linearByte(a);
                break;
            }
            std::array<float, 3> bg = in.background;
            if (view == View::Checker) {
                const float c = (((x - b.x) / 16 + (y - b.y) / 16) % 2) ? 0.18f : 0.05f;
                bg = {c, c, c};
            }
            const float under = 1.0f - finiteOrZero(a);
            px[0] = enc(finiteOrZero(kr[x]) + under * bg[0]);
            px[1] = enc(finiteOrZero(kg[x]) + under * bg[1]);
            px[2] = enc(finiteOrZero(kb[x]) + under * bg[2]);
            break;
        }
        case View::Status: {
            // Exactly 0 black, exactly 1 white, anything else (NaN too) grey:
            // clipping shows as solid areas, leftovers as grey specks.
            const std::uint8_t level = a == 0.0f ? 0 : a == 1.0f ? 255 : 128;
            px[0] = px[1] = px[2] = level;
            if (ua && a > ua[x]) {  // the inside mask filled in here: tint it
                px[0] = static_cast<std::uint8_t>(level / 2 + 100);
                px[1] = static_cast<std::uint8_t>(level / 2);
                px[2] = static_cast<std::uint8_t>(level / 2 + 110);
            }
            break;
        }
        }
    }
}

}  // namespace

std::string renderView(View view, const ViewInputs& in, int threads)
{
    const Box& b = in.keyed->box();
    const std::size_t rowBytes = static_cast<std::size_t>(b.w()) * 4;
    std::string out(rowBytes * static_cast<std::size_t>(b.h()), '\0');
    auto* bytes = reinterpret_cast<std::uint8_t*>(out.data());
    // As many threads as the key: at proxy size this is a good part of a redraw.
    parallelRows(b.y, b.t, 32, threads, [&](int first, int last) {
        for (int y = first; y < last; ++y)
            renderRow(view, in, y, bytes + static_cast<std::size_t>(y - b.y) * rowBytes);
    });
    return out;
}

}  // namespace veilcast::tune
