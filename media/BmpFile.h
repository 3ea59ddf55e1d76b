// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veilcast {

// What a checked BMP header says, as far as reading it takes.
struct BmpLayout {
    bool isBmp = false;
    bool runLength = false;  // RLE8 or RLE4
    std::int64_t width = 0, rows = 0;
    std::uint32_t bits = 0;
    std::uint64_t pixelsAt = 0, paletteAt = 0, colours = 0;
};

// The image library's BMP reader takes a BMP header at its word: an info
// header of a size it does not know leaves the dimensions unset, run-length
// compression at a depth it was not meant for sends it reading outside its
// own buffers. A BMP reaches the library only if every field it relies on
// agrees with the others and with the file's size, and a run-length image
// only within `maxPixels`. Throws std::runtime_error naming the file
// otherwise. Files that do not start as a BMP give a layout with !isBmp.
BmpLayout checkBmpHeader(const std::string& path, std::uint64_t maxPixels);

// A run-length compressed BMP, checked above, decoded into an uncompressed
// 8-bit BMP with the same palette, for the library to read in its place: its
// own decoder refuses a valid file that closes its last row before the end
// mark, and decodes the whole image while the file is opened. Pixels the
// runs skip take the palette's first colour. Throws std::runtime_error
// naming the file if the runs end before an end mark or the last row.
std::vector<unsigned char> expandRunLengthBmp(const std::string& path, const BmpLayout& layout);

}  // namespace veilcast
