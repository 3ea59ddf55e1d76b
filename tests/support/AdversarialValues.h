// SPDX-License-Identifier: Apache-2.0
#pragma once

// Random and adversarial inputs for the keyer: ordinary pixel values mixed with
// NaN, infinities, signed zeros, subnormals, huge values and out-of-range modes.

#include "FloatBits.h"
#include "veilcast/core/KeyParams.h"

#include <cstdint>
#include <limits>
#include <random>

namespace zavtest {

class AdversarialValues {
public:
    explicit AdversarialValues(std::uint64_t seed) : rng_(seed) {}

    // A pixel or setting value: mostly plausible, often hostile.
    float value()
    {
        static const float kSpecial[] = {
            std::numeric_limits<float>::quiet_NaN(),
            -std::numeric_limits<float>::quiet_NaN(),
            std::numeric_limits<float>::infinity(),
            -std::numeric_limits<float>::infinity(),
            0.0f,
            -0.0f,
            std::numeric_limits<float>::denorm_min(),
            -std::numeric_limits<float>::denorm_min(),
            1e-39f,
            std::numeric_limits<float>::min(),
            std::numeric_limits<float>::max(),
            -std::numeric_limits<float>::max(),
            1e30f,
            1.0f,
            0.5f,
            1e-8f,
        };
        const int kind = pick(10);
        if (kind == 0)
            return kSpecial[pick(sizeof kSpecial / sizeof kSpecial[0])];
        if (kind == 1)
            return std::uniform_real_distribution<float>(-4.0f, 4.0f)(rng_);
        if (kind == 2)  // any bit pattern at all
            return fromBits(static_cast<std::uint32_t>(rng_()));
        return std::uniform_real_distribution<float>(0.0f, 1.2f)(rng_);
    }

    zav::KeyParams params()
    {
        zav::KeyParams p;
        p.checkAlpha = pick(2) == 0;
        const bool plausibleScreen = pick(3) != 0;
        for (float& s : p.screenColor)
            s = plausibleScreen ? std::uniform_real_distribution<float>(0.0f, 1.0f)(rng_) : value();
        for (float& c : p.inMaskReplacementColor)
            c = pick(4) == 0 ? value() : std::uniform_real_distribution<float>(0.0f, 1.0f)(rng_);
        if (pick(8) == 0)
            p.inMaskReplacementColor[0] = p.inMaskReplacementColor[1] = p.inMaskReplacementColor[2] =
                pick(2) ? 0.0f : -0.0f;
        p.clipBlack = pick(3) == 0 ? value() : std::uniform_real_distribution<float>(-0.2f, 0.5f)(rng_);
        p.clipWhite = pick(3) == 0 ? value() : std::uniform_real_distribution<float>(0.0f, 1.2f)(rng_);
        p.screenGain = pick(3) == 0 ? value() : std::uniform_real_distribution<float>(-1.0f, 3.0f)(rng_);
        p.screenBalance = pick(3) == 0 ? value() : std::uniform_real_distribution<float>(-0.5f, 1.5f)(rng_);
        p.inMaskReplacementMode = static_cast<std::int32_t>(pick(7)) - 1;  // -1..5
        p.sourceAlpha = static_cast<std::int32_t>(pick(5)) - 1;           // -1..3
        return p;
    }

    std::uint32_t pick(std::uint32_t n) { return static_cast<std::uint32_t>(rng_() % n); }

private:
    std::mt19937_64 rng_;
};

}  // namespace zavtest
