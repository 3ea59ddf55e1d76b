// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/common/UsageError.h"
#include "veilcast/media/FramePattern.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veilcast {

// Frames as written on a command line, kept as runs rather than expanded, so
// that a range of two billion frames costs nothing until it is walked. The
// order is the order written; a frame may be named twice.
class FrameList {
public:
    struct Run {
        std::int64_t first, last, step;  // first <= last, step > 0
        std::uint64_t count() const { return static_cast<std::uint64_t>((last - first) / step + 1); }
    };

    void add(Run run) { runs_.push_back(run); }
    // Adds `frame` after the others, continuing the last run when it is that
    // run's next frame. A lone frame and a later one start a stepped run (with
    // a step parseFrameRange reads), kept only if a third frame continues it:
    // 1,2,3,5 is "1-3,5", 1,3,5 is "1-5x2", 1,3,4,5 is "1,3-5".
    void append(std::int64_t frame);
    const std::vector<Run>& runs() const { return runs_; }
    std::uint64_t size() const;
    bool empty() const { return runs_.empty(); }

    // The first frame in the list's order (not the smallest). Throws
    // std::out_of_range for an empty list.
    int first() const;
    bool contains(std::int64_t frame) const;
    // The smallest frame named more than once, if any. Walks every frame:
    // for lists already known to be no longer than a folder's listing.
    std::optional<int> repeatedFrame() const;

    // Calls `visit(frame)` for every frame in order; stops when it returns false.
    template <class Visit>
    void forEach(Visit&& visit) const
    {
        for (const Run& run : runs_)
            for (std::int64_t f = run.first; f <= run.last; f += run.step)
                if (!visit(static_cast<int>(f)))
                    return;
    }

    // As parseFrameRange reads it back: "1001-1005,7,-3--1,1-9x2".
    std::string format() const;
    // For a person: "1001-1004, 1010, 1020-1030x5"; long lists are cut after `maxRuns` runs.
    std::string describe(std::size_t maxRuns = 8) const;

private:
    std::vector<Run> runs_;
};

// Parses "1001-1100", "1001-1100x2", "1001", and comma-separated lists of
// these, in the order written. Frame numbers are 32-bit signed integers; a
// run's last frame is the last its step reaches ("1-10x4" is 1, 5, 9).
// Throws UsageError naming the value and `choice`, the option it was given as.
FrameList parseFrameRange(const std::string& text, UserChoice choice = UserChoice::Frames);

// Which frames of a sequence have a file (a regular file) and which do not,
// each in the order of the list, keeping the list's runs. Reads the folder
// once (scanSequenceFolder) when the pattern's number is only in the file
// name, so a long range costs no more than the folder's listing; otherwise
// asks frame by frame.
struct FrameCheck {
    FrameList present, missing;
};
FrameCheck checkFrames(const std::string& pattern, const FrameList& frames);

}  // namespace veilcast
