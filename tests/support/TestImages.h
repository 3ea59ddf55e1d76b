// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "AdversarialValues.h"
#include "veilcast/host/PlanarImage.h"

#include <random>

namespace zavtest {

// A plausible green-screen image: backing, foreground and edges, with alpha
// in 0..1 when asked for.
inline veilcast::PlanarImage greenScreenImage(DD::Image::Box box, std::vector<DD::Image::Channel> channels,
                                              std::uint64_t seed = 7)
{
    veilcast::PlanarImage img(box, box, std::move(channels));
    std::mt19937 rng(static_cast<std::uint32_t>(seed));
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (int y = box.y; y < box.t; ++y) {
        for (const DD::Image::Channel z : img.channels()) {
            float* row = img.row(z, y);
            for (int x = box.x; x < box.r; ++x) {
                const bool backing = u(rng) < 0.5f;
                const float base = z == DD::Image::Chan_Green ? (backing ? 0.7f : 0.3f) : 0.2f;
                row[x] = z == DD::Image::Chan_Alpha ? u(rng) : base + 0.2f * u(rng);
            }
        }
    }
    return img;
}

}  // namespace zavtest
