// SPDX-License-Identifier: Apache-2.0
#pragma once

// Constants and small helpers shared by the reference keyer and the row kernels.
// Internal to the core.

#include "veilcast/core/ScreenKeyer.h"

namespace zav {

constexpr float kOneThird = 0.33333334f;  // 0x3EAAAAAB: the average multiplies, never divides by 3
constexpr float kLumRed = 0.2125f;        // 0x3E59999A
constexpr float kLumGreen = 0.7154f;      // 0x3F372474
constexpr float kLumBlue = 0.0721f;       // 0x3D93A92A
constexpr double kDegenerateThreshold = 1e-8;

template <class T>
inline T luminance(const T t[3])
{
    return ((t[0] * kLumRed) + (t[1] * kLumGreen)) + (t[2] * kLumBlue);
}

// True when the screen colour has no usable dominant channel: every pixel then
// passes through unchanged with alpha 1.
bool isDegenerateScreen(const ScreenAnalysis& screen);

}  // namespace zav
