// SPDX-License-Identifier: Apache-2.0
#include "veilcast/media/DemoPlate.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace veilcast {

using namespace DD::Image;

namespace {

float clamp01(float v)
{
    return std::min(1.0f, std::max(0.0f, v));
}

// Deterministic per-pixel noise in -0.5..0.5.
float hashNoise(std::uint32_t x, std::uint32_t y, std::uint32_t c)
{
    std::uint32_t h = x * 0x8da6b343u ^ y * 0xd8163841u ^ c * 0xcb1ab31fu;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return static_cast<float>(h & 0xffffu) / 65535.0f - 0.5f;
}

// Signed distance in pixels, roughly, from an axis-aligned ellipse's outline (negative inside).
float ellipseDistance(float x, float y, float cx, float cy, float rx, float ry)
{
    const float dx = (x - cx) / rx, dy = (y - cy) / ry;
    return (std::sqrt(dx * dx + dy * dy) - 1.0f) * std::min(rx, ry);
}

float segmentDistance(float px, float py, float ax, float ay, float bx, float by)
{
    const float vx = bx - ax, vy = by - ay;
    const float t = clamp01(((px - ax) * vx + (py - ay) * vy) / (vx * vx + vy * vy));
    const float dx = px - (ax + t * vx), dy = py - (ay + t * vy);
    return std::sqrt(dx * dx + dy * dy);
}

struct Strand {
    float ax, ay, bx, by, width;
};

}  // namespace

PlanarImage makeDemoPlate(int width, int height)
{
    const Box box{0, 0, width, height};
    PlanarImage plate(box, box, {Chan_Red, Chan_Green, Chan_Blue});
    const float w = static_cast<float>(width), h = static_cast<float>(height);
    const float headX = 0.5f * w, headY = 0.42f * h, headRx = 0.1f * w, headRy = 0.19f * h;

    std::vector<Strand> strands;
    for (int i = 0; i < 90; ++i) {
        const float angle = 3.14159265f * (1.1f + 0.8f * static_cast<float>(i) / 89.0f);
        const float length = (0.25f + 0.5f * (hashNoise(static_cast<std::uint32_t>(i), 7, 1) + 0.5f)) * headRx;
        const float ax = headX + std::cos(angle) * headRx * 0.95f, ay = headY + std::sin(angle) * headRy * 0.95f;
        strands.push_back({ax, ay, ax + std::cos(angle) * length, ay + std::sin(angle) * length,
                           0.35f + 0.4f * (hashNoise(static_cast<std::uint32_t>(i), 3, 2) + 0.5f)});
    }

    const float backing[3] = {0.06f, 0.36f, 0.09f};
    const float skin[3] = {0.62f, 0.40f, 0.30f};
    const float shirt[3] = {0.22f, 0.10f, 0.42f};
    const float hair[3] = {0.16f, 0.09f, 0.05f};
    const float veil[3] = {0.55f, 0.55f, 0.6f};

    for (int y = 0; y < height; ++y) {
        float* out[3] = {plate.row(Chan_Red, y), plate.row(Chan_Green, y), plate.row(Chan_Blue, y)};
        for (int x = 0; x < width; ++x) {
            const float fx = static_cast<float>(x) + 0.5f, fy = static_cast<float>(y) + 0.5f;
            // Uneven light: a hotspot, a falloff towards the floor, a vignette.
            const float hx = (fx - 0.38f * w) / w, hy = (fy - 0.3f * h) / h;
            const float vx = (fx - 0.5f * w) / w, vy = (fy - 0.5f * h) / h;
            const float light = (0.85f + 0.25f * std::exp(-(hx * hx + hy * hy) * 9.0f)) * (1.0f - 0.12f * fy / h) *
                                (1.0f - 0.3f * (vx * vx + vy * vy));

            const float dHead = ellipseDistance(fx, fy, headX, headY, headRx, headRy);
            const float dBody = ellipseDistance(fx, fy, 0.5f * w, 1.02f * h, 0.34f * w, 0.3f * h);
            const float aHead = clamp01(0.5f - dHead);           // a crisp edge
            const float aBody = clamp01(0.5f - dBody / 6.0f);    // a soft, defocused edge
            float aHair = 0.0f;
            if (dHead < 0.6f * headRx)
                for (const Strand& s : strands)
                    aHair = std::max(aHair, 0.85f * clamp01(s.width - segmentDistance(fx, fy, s.ax, s.ay, s.bx, s.by)));
            const bool inVeil = fx > 0.08f * w && fx < 0.26f * w && fy > 0.15f * h && fy < 0.8f * h;
            const float aVeil = inVeil ? 0.35f : 0.0f;

            float colour[3], alpha = 0.0f;
            for (int c = 0; c < 3; ++c)
                colour[c] = 0.0f;
            // Layers front to back, premultiplied.
            const auto over = [&](const float* c, float a) {
                for (int i = 0; i < 3; ++i)
                    colour[i] += (1.0f - alpha) * a * c[i];
                alpha += (1.0f - alpha) * a;
            };
            over(hair, aHair);
            over(skin, aHead);
            over(shirt, aBody);
            over(veil, aVeil);

            const float edge = std::min(std::fabs(dHead), std::fabs(dBody));
            const float spill = 0.07f * std::exp(-edge / 10.0f) * alpha;
            for (int c = 0; c < 3; ++c) {
                const float plateValue = colour[c] + (1.0f - alpha) * backing[c] * light + (c == 1 ? spill : 0.0f);
                const float noise = 0.006f * (1.0f + static_cast<float>(c == 2)) *
                                    hashNoise(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y),
                                              static_cast<std::uint32_t>(c));
                out[c][x] = plateValue + noise;
            }
        }
    }
    return plate;
}

}  // namespace veilcast
