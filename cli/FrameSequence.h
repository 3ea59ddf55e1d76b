#pragma once

#include <string>
#include <vector>

namespace veilcast {

// True when the path names a sequence: "plate.####.exr" or "plate.%04d.exr".
bool isSequencePattern(const std::string& path);

// The file of `frame`: '#' runs and printf-style %d / %0Nd are replaced by
// the zero-padded frame number.
std::string framePath(const std::string& pattern, int frame);

// Parses "1001-1100", "1001-1100x2", "1001", and comma-separated lists of
// these, in the order written. Throws std::invalid_argument.
std::vector<int> parseFrameRange(const std::string& text);

}  // namespace veilcast
