// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/media/FrameSequence.h"

#include <cstdint>
#include <string>
#include <vector>

namespace veilcast::farm {

// Slurm's default MaxArraySize is 1001 (indices 0-1000); a thousand tasks also
// keep the scheduler's queue and the job script small for any shot.
constexpr std::uint64_t kMaxChunks = 1000;

// Frames per chunk when none is asked for: one frame per task, unless that
// would make more than kMaxChunks tasks.
std::uint64_t defaultChunkSize(std::uint64_t frameCount);

// Splits `frames`, in order, into chunks of `chunkSize` frames (the last may be
// shorter), without expanding the runs: a chunk costs its runs, not its frames.
// Throws UsageError when `chunkSize` is zero or makes more than kMaxChunks chunks.
std::vector<FrameList> chunkFrames(const FrameList& frames, std::uint64_t chunkSize);

}  // namespace veilcast::farm
