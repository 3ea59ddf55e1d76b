// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>

namespace veilcast {

// When a movie frame is shown and for how long, in ticks of its stream's
// time base, counted from the first frame the movie shows. Frames of a
// variable-rate movie are not evenly spaced, so each carries its own.
struct FrameTime {
    std::int64_t start = 0;
    std::int64_t duration = 0;  // 0: unknown (the writer assumes one frame at the rate)
};

}  // namespace veilcast
