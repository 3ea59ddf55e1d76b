// SPDX-License-Identifier: Apache-2.0
#pragma once

// The settings a node holds, read back through its controls alone, as a host
// sees them: the tests key with these to compare against the operator.

#include "veilcast/host/Controls.h"
#include "veilcast/core/KeyParams.h"

#include <algorithm>

namespace zavtest {

inline zav::KeyParams paramsFromControls(const veilcast::Controls& c)
{
    zav::KeyParams p;
    const auto colour = [&](const char* name, float* out) {
        const auto v = std::get<std::array<float, 3>>(c.get(name));
        std::copy(v.begin(), v.end(), out);
    };
    p.checkAlpha = std::get<bool>(c.get("CheckAlphaKnob"));
    colour("ScreenColorKnob", p.screenColor);
    colour("inMaskReplacementColorKnob", p.inMaskReplacementColor);
    p.clipBlack = std::get<float>(c.get("ClipBlackKnob"));
    p.clipWhite = std::get<float>(c.get("ClipWhiteKnob"));
    p.screenGain = std::get<float>(c.get("ScreenGainKnob"));
    p.screenBalance = std::get<float>(c.get("ScreenBalanceKnob"));
    p.inMaskReplacementMode = std::get<int>(c.get("inMaskReplacementModeKnob"));
    p.sourceAlpha = std::get<int>(c.get("SourceAlphaKnob"));
    return p;
}

}  // namespace zavtest
