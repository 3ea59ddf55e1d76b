// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace veilcast {

// Sequence file name patterns: the one reading of "plate.####.exr" that
// keying, the movie writer, the tuner and the farm all share.

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

// The frames of `pattern` that have a file (a regular file, or a link to
// one), ascending, found by reading its folder once: a name counts only when
// framePath writes it back exactly, so padding and escapes mean what they
// mean when keying (plate.1.exr is not frame 1 of plate.####.exr, plate.-003.exr
// is frame -3). An unreadable folder has no frames. std::nullopt when a listing
// cannot tell: the folder's name is numbered, or the file name holds no frame
// number or more than one.
std::optional<std::vector<int>> scanSequenceFolder(const std::string& pattern);

}  // namespace veilcast
