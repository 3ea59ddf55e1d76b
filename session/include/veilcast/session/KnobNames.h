// SPDX-License-Identifier: Apache-2.0
#pragma once

// The names of the operator's controls that the front ends and the session
// read or set by name; Controls::find takes a label as well, for text a
// user wrote.

namespace veilcast::knob {

inline constexpr char kScreenColor[] = "ScreenColorKnob";
inline constexpr char kClipBlack[] = "ClipBlackKnob";
inline constexpr char kClipWhite[] = "ClipWhiteKnob";
inline constexpr char kScreenBalance[] = "ScreenBalanceKnob";
inline constexpr char kCheckAlpha[] = "CheckAlphaKnob";
inline constexpr char kUseScreenMap[] = "UseScreenMapKnob";  // the screen-map keyer's alone

}  // namespace veilcast::knob
