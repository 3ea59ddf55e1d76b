// SPDX-License-Identifier: Apache-2.0
#pragma once

// The names of the operators' controls: the operators declare them by these,
// and the host, the session and the front ends read or set them by these.
// Controls::find takes a label as well, for text a user wrote.

namespace veilcast::knob {

inline constexpr char kCheckAlpha[] = "CheckAlphaKnob";
inline constexpr char kScreenColor[] = "ScreenColorKnob";
inline constexpr char kScreenGain[] = "ScreenGainKnob";
inline constexpr char kScreenBalance[] = "ScreenBalanceKnob";
inline constexpr char kClipBlack[] = "ClipBlackKnob";
inline constexpr char kClipWhite[] = "ClipWhiteKnob";
inline constexpr char kSourceAlpha[] = "SourceAlphaKnob";
inline constexpr char kInsideReplace[] = "inMaskReplacementModeKnob";
inline constexpr char kInsideReplaceColor[] = "inMaskReplacementColorKnob";
inline constexpr char kUseScreenMap[] = "UseScreenMapKnob";  // the screen-map keyer's alone

}  // namespace veilcast::knob
