// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veilcast {

// True when the path names a sequence: "plate.####.exr", "plate.@@@@.exr" or
// "plate.%04d.exr".
bool isSequencePattern(const std::string& path);

// The file of `frame`: '#' and '@' runs (one digit each) and printf-style %d
// and %0Nd become the frame number as printf writes it (-3 in four digits is
// "-003"). "\#", "\@", "\%" and "%%" stand for the characters themselves,
// for names that hold them.
std::string framePath(const std::string& pattern, int frame);

// A pattern as framePath reads it, in pieces: literal text with the escapes
// resolved, or a frame number padded to `width` digits (1 to 32).
struct PatternPiece {
    std::string text;
    int width = 0;  // 0: literal
};
std::vector<PatternPiece> splitPattern(const std::string& pattern);

// Frames as written on a command line, kept as runs rather than expanded, so
// that a range of two billion frames costs nothing until it is walked.
class FrameList {
public:
    struct Run {
        std::int64_t first, last, step;  // first <= last, step > 0
        std::uint64_t count() const { return static_cast<std::uint64_t>((last - first) / step + 1); }
    };

    void add(Run run) { runs_.push_back(run); }
    const std::vector<Run>& runs() const { return runs_; }
    std::uint64_t size() const;
    bool empty() const { return runs_.empty(); }

    // Calls `visit(frame)` for every frame in order; stops when it returns false.
    template <class Visit>
    void forEach(Visit&& visit) const
    {
        for (const Run& run : runs_)
            for (std::int64_t f = run.first; f <= run.last; f += run.step)
                if (!visit(static_cast<int>(f)))
                    return;
    }

    // "1001-1004, 1010, 1020-1030x5"; long lists are cut after `maxRuns` runs.
    std::string describe(std::size_t maxRuns = 8) const;

private:
    std::vector<Run> runs_;
};

// Parses "1001-1100", "1001-1100x2", "1001", and comma-separated lists of
// these, in the order written. Frame numbers are 32-bit signed integers.
// Throws UsageError naming the value.
FrameList parseFrameRange(const std::string& text);

// Which frames of a sequence have a file (a regular file) and which do not,
// each in the order of the list. Reads the folder once when the pattern's
// numbers are only in the file name, so a long range costs no more than the
// folder's listing.
struct FrameCheck {
    FrameList present, missing;
};
FrameCheck checkFrames(const std::string& pattern, const FrameList& frames);

}  // namespace veilcast
