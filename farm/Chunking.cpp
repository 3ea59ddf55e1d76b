// SPDX-License-Identifier: Apache-2.0
#include "veilcast/farm/Chunking.h"

#include "veilcast/common/UsageError.h"

namespace veilcast::farm {

std::uint64_t defaultChunkSize(std::uint64_t frameCount)
{
    return frameCount <= kMaxChunks ? 1 : (frameCount + kMaxChunks - 1) / kMaxChunks;
}

std::vector<FrameList> chunkFrames(const FrameList& frames, std::uint64_t chunkSize)
{
    if (chunkSize == 0)
        throw UsageError("--chunk: a chunk holds at least one frame");
    const std::uint64_t count = frames.size();
    const std::uint64_t chunks = count / chunkSize + (count % chunkSize != 0);
    if (chunks > kMaxChunks)
        throw UsageError("--chunk " + std::to_string(chunkSize) + " makes " + std::to_string(chunks) +
                         " tasks of the " + std::to_string(count) + " frames; at most " +
                         std::to_string(kMaxChunks) + " are submitted (--chunk " +
                         std::to_string(defaultChunkSize(count)) + " or more)");
    std::vector<FrameList> result;
    std::uint64_t room = 0;
    for (const FrameList::Run& run : frames.runs()) {
        std::int64_t first = run.first;
        std::uint64_t left = run.count();
        while (left > 0) {
            if (room == 0) {
                result.emplace_back();
                room = chunkSize;
            }
            const std::uint64_t take = left < room ? left : room;
            const std::int64_t last = first + static_cast<std::int64_t>(take - 1) * run.step;
            result.back().add({first, last, take == 1 ? 1 : run.step});
            room -= take;
            left -= take;
            if (left > 0)
                first = last + run.step;
        }
    }
    return result;
}

}  // namespace veilcast::farm
