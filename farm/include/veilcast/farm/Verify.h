// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/media/FrameSequence.h"

#include <string>

namespace veilcast::farm {

// Which frames of a keyed sequence are there and open as images.
struct FrameReport {
    FrameList good, missing, unreadable;
    bool complete() const { return missing.empty() && unreadable.empty(); }
};

// Opens every frame's header: outputs are renamed into place only once
// written whole and read back, so a frame that opens is a finished frame.
FrameReport verifyFrames(const std::string& pattern, const FrameList& frames);

// One line: "complete: 24 of 24 frames of out/keyed.####.exr (1-24)", or
// "INCOMPLETE: ..." naming the missing and unreadable frames.
std::string summaryLine(const FrameReport& report, const std::string& pattern);

}  // namespace veilcast::farm
