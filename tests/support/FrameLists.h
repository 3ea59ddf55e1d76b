// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/media/FrameSequence.h"

#include <vector>

namespace zavtest {

// Every frame of the list, in its order: for comparing with frames worked out by hand.
inline std::vector<int> expand(const veilcast::FrameList& frames)
{
    std::vector<int> all;
    frames.forEach([&](int f) {
        all.push_back(f);
        return true;
    });
    return all;
}

}  // namespace zavtest
