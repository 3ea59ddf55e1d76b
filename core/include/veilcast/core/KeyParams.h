// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>

namespace zav {

// Both enumerations are stored in KeyParams as plain 32-bit integers because the
// host binds enumeration controls to integer storage; the values are the item
// positions of the controls. Any value outside the list behaves as the first item.
enum class SourceAlphaMode : std::int32_t {
    Ignore = 0,
    AddToInsideMask = 1,
    Normal = 2,  // identical to AddToInsideMask, kept for scripts that store 2
};

enum class InsideReplaceMode : std::int32_t {
    None = 0,
    Source = 1,
    HardColor = 2,
    SoftColor = 3,
};

// The nine user settings of the keyer. A plain value record: no pointers, no
// heap, copied freely. Nothing clamps the fields; out-of-range values reach the
// keyer as they are. It must not change while a row is being keyed.
struct KeyParams {
    bool checkAlpha = false;                              // output the matte in R, G, B; no alpha
    float screenColor[3] = {0.0f, 0.0f, 0.0f};            // backing colour, red, green, blue
    float inMaskReplacementColor[3] = {0.5f, 0.5f, 0.5f}; // used by Hard Color and Soft Color
    float clipBlack = 0.0f;
    float clipWhite = 1.0f;
    float screenGain = 1.0f;     // the control's slider runs 0..2, but any value is used
    float screenBalance = 0.5f;  // 0 weighs only the lesser non-dominant channel, 1 only the greater
    std::int32_t inMaskReplacementMode = static_cast<std::int32_t>(InsideReplaceMode::SoftColor);
    std::int32_t sourceAlpha = static_cast<std::int32_t>(SourceAlphaMode::Ignore);
};

// True when the input's alpha serves as the inside mask (and so must be requested).
inline bool usesSourceAlpha(const KeyParams& params)
{
    return params.sourceAlpha == static_cast<std::int32_t>(SourceAlphaMode::AddToInsideMask) ||
           params.sourceAlpha == static_cast<std::int32_t>(SourceAlphaMode::Normal);
}

}  // namespace zav
