// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cmath>

namespace veilcast {

// The sRGB transfer between linear light and its code, both 0..1 (the
// formulas go on past them, unclipped). One definition for the contact
// sheet, the tuner's views and movies tagged sRGB, so that all three agree
// to the bit.
inline double srgbFromLinear(double linear)
{
    return linear <= 0.0031308 ? linear * 12.92 : 1.055 * std::pow(linear, 1 / 2.4) - 0.055;
}

inline double linearFromSrgb(double code)
{
    return code <= 0.04045 ? code / 12.92 : std::pow((code + 0.055) / 1.055, 2.4);
}

}  // namespace veilcast
