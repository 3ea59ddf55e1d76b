// SPDX-License-Identifier: Apache-2.0
#include "BmpFile.h"

#include "veilcast/common/UsageError.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace veilcast {

namespace {

// The compressions a BMP may declare in its info header.
constexpr std::uint32_t kUncompressed = 0, kRle8 = 1, kRle4 = 2, kBitFields = 3;

// Where the fields are, counted from the start of the file.
constexpr int kFileHeaderBytes = 14;
constexpr int kMasksAt = 54;  // after a 40-byte info header, or inside a longer one

std::string hex(std::uint32_t v)
{
    static const char digits[] = "0123456789abcdef";
    std::string s = "0x";
    for (int shift = 28; shift >= 0; shift -= 4)
        s += digits[(v >> shift) & 15];
    return s;
}

// True if `mask` is one run of set bits within the pixel's `bits`.
bool isChannelMask(std::uint32_t mask, int bits)
{
    if (mask == 0 || (bits < 32 && (mask >> bits) != 0))
        return false;
    while ((mask & 1) == 0)
        mask >>= 1;
    return (mask & (mask + 1)) == 0;
}

class Header {
public:
    Header(const unsigned char* bytes, std::size_t size) : bytes_(bytes), size_(size) {}
    bool has(std::size_t at, std::size_t n) const { return at + n <= size_; }
    std::uint32_t u16(std::size_t at) const { return bytes_[at] | static_cast<std::uint32_t>(bytes_[at + 1]) << 8; }
    std::uint32_t u32(std::size_t at) const { return u16(at) | u16(at + 2) << 16; }
    std::int32_t i32(std::size_t at) const
    {
        const std::uint32_t v = u32(at);
        return v <= 0x7FFFFFFFu ? static_cast<std::int32_t>(v) : -static_cast<std::int32_t>(~v) - 1;
    }

private:
    const unsigned char* bytes_;
    std::size_t size_;
};

// Refuses a header, naming the file and what is wrong with it.
struct Damage {
    const std::string& path;
    std::uint64_t fileSize;
    [[noreturn]] void operator()(const std::string& why) const
    {
        throw std::runtime_error(path + ": a damaged BMP header: " + why);
    }
};

// Checks the compression against the depth and, for bit fields, the masks;
// returns where the headers (and masks that follow them) end.
std::uint64_t checkCompression(const Header& h, std::uint32_t compression, std::uint32_t infoBytes,
                               std::uint32_t bits, std::int64_t height, const Damage& damaged)
{
    const std::string depth = " at " + std::to_string(bits) + " bits a pixel";
    std::uint64_t headersEnd = kFileHeaderBytes + infoBytes;
    switch (compression) {
    case kUncompressed:
        break;
    case kRle8:
    case kRle4:
        if (bits != (compression == kRle8 ? 8u : 4u))
            damaged(std::string(compression == kRle8 ? "RLE8" : "RLE4") + " compression" + depth);
        if (height < 0)
            damaged("a run-length compressed image stored top-down (negative height)");
        break;
    case kBitFields: {
        if (bits != 16 && bits != 32)
            damaged("bit-field compression" + depth);
        if (infoBytes == 40)
            headersEnd += 12;  // the red, green and blue masks follow the header
        if (!h.has(kMasksAt, 12))
            damaged("the file is " + std::to_string(damaged.fileSize) + " bytes, too short for its bit masks");
        // An alpha mask is only in the longer headers, and may be absent (0).
        const int masks = infoBytes >= 56 ? 4 : 3;
        static const char* const kNames[] = {"red", "green", "blue", "alpha"};
        std::uint32_t seen = 0;
        for (int m = 0; m < masks; ++m) {
            const std::uint32_t mask = h.u32(kMasksAt + 4 * static_cast<std::size_t>(m));
            if (m == 3 && mask == 0)
                continue;
            if (!isChannelMask(mask, static_cast<int>(bits)) || (mask & seen) != 0)
                damaged("a " + std::string(kNames[m]) + " bit mask of " + hex(mask) +
                        ", not one run of bits of its own within the pixel" + depth);
            seen |= mask;
        }
        break;
    }
    default:
        damaged("compression " + std::to_string(compression) +
                ", not one veilcast reads (none, RLE8, RLE4 or bit fields)");
    }
    return headersEnd;
}

// Refuses pixels the file cannot hold, or, run-length compressed (decoded
// whole on open, before the reader's own limit is checked), more than
// `maxPixels`.
void checkPixelExtent(const BmpLayout& layout, std::uint64_t maxPixels, const Damage& damaged)
{
    const std::uint64_t width = static_cast<std::uint64_t>(layout.width);
    const std::uint64_t rows = static_cast<std::uint64_t>(layout.rows);
    const std::uint64_t pixels = width * rows;
    const std::string size = std::to_string(width) + "x" + std::to_string(rows);
    if (layout.runLength) {
        if (pixels > maxPixels)
            throw Failure(Wording{damaged.path + ": " + size + " is " + std::to_string(pixels) +
                                      " pixels, more than the limit of " + std::to_string(maxPixels) + " (",
                                  UserChoice::MaxPixels, " raises it)"});
        return;
    }
    // Rows are padded to whole 32-bit words.
    const std::uint64_t rowBytes = (width * layout.bits + 31) / 32 * 4;
    const std::uint64_t need = rowBytes * rows;
    const std::uint64_t room = damaged.fileSize - layout.pixelsAt;
    if (need > room)
        damaged(size + " at " + std::to_string(layout.bits) + " bits a pixel needs " + std::to_string(need) +
                " bytes of pixels from byte " + std::to_string(layout.pixelsAt) + "; the file has " +
                std::to_string(room));
}

}  // namespace

BmpLayout checkBmpHeader(const std::string& path, std::uint64_t maxPixels)
{
    // The file header, the longest info header and the masks that may follow a short one.
    unsigned char bytes[kFileHeaderBytes + 124 + 16] = {};
    std::ifstream file(path, std::ios::binary);
    file.read(reinterpret_cast<char*>(bytes), sizeof bytes);
    const std::size_t got = static_cast<std::size_t>(file.gcount());
    // The two-letter signatures the library accepts as a BMP.
    static const char* const kSignatures[] = {"BM", "BA", "CI", "CP", "PT"};
    bool bmp = false;
    for (const char* s : kSignatures)
        bmp = bmp || (got >= 2 && std::memcmp(bytes, s, 2) == 0);
    if (!bmp)
        return {};

    std::error_code ec;
    const std::uint64_t fileSize = std::filesystem::file_size(path, ec);
    if (ec)
        return {};  // the library's own open reports an unreadable file
    const Damage damaged{path, fileSize};
    const Header h(bytes, got);
    if (!h.has(kFileHeaderBytes, 4))
        damaged("the file is " + std::to_string(fileSize) + " bytes, too short for its headers");

    const std::uint32_t offset = h.u32(10);
    const std::uint32_t infoBytes = h.u32(14);
    if (infoBytes != 12 && infoBytes != 40 && infoBytes != 52 && infoBytes != 56 && infoBytes != 108 &&
        infoBytes != 124)
        damaged("an info header of " + std::to_string(infoBytes) +
                " bytes, not one of the sizes a BMP has (12, 40, 52, 56, 108, 124)");
    if (!h.has(kFileHeaderBytes, infoBytes))
        damaged("the file is " + std::to_string(fileSize) + " bytes, too short for its " +
                std::to_string(infoBytes) + "-byte info header");

    // The core header (12 bytes) has unsigned 16-bit dimensions and 3-byte palette entries.
    const bool core = infoBytes == 12;
    const std::int64_t width = core ? static_cast<std::int64_t>(h.u16(18)) : h.i32(18);
    const std::int64_t height = core ? static_cast<std::int64_t>(h.u16(20)) : h.i32(22);
    const std::uint32_t bits = core ? h.u16(24) : h.u16(28);
    const std::uint32_t compression = core ? kUncompressed : h.u32(30);
    const std::uint32_t coloursUsed = core ? 0 : h.u32(46);

    if (width <= 0)
        damaged("a width of " + std::to_string(width));
    if (height == 0 || height == INT32_MIN)
        damaged("a height of " + std::to_string(height));
    const std::uint64_t rows = static_cast<std::uint64_t>(height < 0 ? -height : height);
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
        damaged(std::to_string(bits) + " bits a pixel, not 1, 4, 8, 16, 24 or 32");
    const std::string depth = " at " + std::to_string(bits) + " bits a pixel";

    const std::uint64_t headersEnd = checkCompression(h, compression, infoBytes, bits, height, damaged);

    BmpLayout layout;
    if (bits <= 8) {
        // The library reads the whole palette before any pixel.
        const std::uint64_t most = 1ull << bits;
        if (coloursUsed > most)
            damaged("a palette of " + std::to_string(coloursUsed) + " colours" + depth);
        layout.colours = coloursUsed ? coloursUsed : most;
        layout.paletteAt = headersEnd;
        const std::uint64_t paletteEnd = headersEnd + layout.colours * (core ? 3 : 4);
        if (paletteEnd > fileSize)
            damaged("a palette of " + std::to_string(layout.colours) + " colours ending at byte " +
                    std::to_string(paletteEnd) + " of a file of " + std::to_string(fileSize));
    }

    if (offset < headersEnd || offset >= fileSize)
        damaged("pixels at byte " + std::to_string(offset) + ", outside the " + std::to_string(fileSize) +
                "-byte file after its " + std::to_string(headersEnd) + " bytes of headers");

    layout.isBmp = true;
    layout.runLength = compression == kRle8 || compression == kRle4;
    layout.width = width;
    layout.rows = static_cast<std::int64_t>(rows);
    layout.bits = bits;
    layout.pixelsAt = offset;
    checkPixelExtent(layout, maxPixels, damaged);
    return layout;
}

std::vector<unsigned char> expandRunLengthBmp(const std::string& path, const BmpLayout& layout)
{
    std::ifstream file(path, std::ios::binary);
    const std::vector<unsigned char> in((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto damaged = [&](const std::string& why) {
        throw std::runtime_error(path + ": damaged BMP pixels: " + why);
    };
    if (in.size() < layout.paletteAt + layout.colours * 4 || in.size() <= layout.pixelsAt)
        damaged("the file changed while it was read");

    // An uncompressed bottom-up 8-bit BMP: file header, 40-byte info header, palette, rows.
    const std::uint64_t width = static_cast<std::uint64_t>(layout.width), rows = static_cast<std::uint64_t>(layout.rows);
    const std::uint64_t stride = (width + 3) / 4 * 4;
    const std::uint64_t paletteAt = 14 + 40, pixelsAt = paletteAt + layout.colours * 4;
    std::vector<unsigned char> out(pixelsAt + stride * rows, 0);
    const auto put32 = [&](std::size_t at, std::uint64_t v) {
        for (int i = 0; i < 4; ++i)
            out[at + i] = static_cast<unsigned char>(v >> (8 * i));
    };
    out[0] = 'B';
    out[1] = 'M';
    put32(2, out.size() <= 0xFFFFFFFFu ? out.size() : 0);
    put32(10, pixelsAt);
    put32(14, 40);
    put32(18, width);
    put32(22, rows);
    out[26] = 1;  // planes
    out[28] = 8;  // bits a pixel; compression (30) stays 0
    put32(46, layout.colours);
    std::copy(in.begin() + static_cast<std::ptrdiff_t>(layout.paletteAt),
              in.begin() + static_cast<std::ptrdiff_t>(layout.paletteAt + layout.colours * 4),
              out.begin() + static_cast<std::ptrdiff_t>(paletteAt));

    // Runs that reach past the row's end are cut there, as the rows are stored apart.
    const bool nibbles = layout.bits == 4;
    std::uint64_t x = 0, y = 0;
    const auto put = [&](unsigned v) {
        if (x < width && y < rows)
            out[pixelsAt + y * stride + x] = static_cast<unsigned char>(v);
        ++x;
    };
    std::size_t at = layout.pixelsAt;
    while (y < rows) {
        if (at + 2 > in.size())
            damaged("the runs end at row " + std::to_string(y) + " of " + std::to_string(rows) +
                    ", without an end mark");
        const unsigned count = in[at], value = in[at + 1];
        at += 2;
        if (count > 0) {
            for (unsigned i = 0; i < count; ++i)
                put(nibbles ? (i % 2 ? value & 15 : value >> 4) : value);
        } else if (value == 0) {  // end of row
            x = 0;
            ++y;
        } else if (value == 1) {  // end of image
            break;
        } else if (value == 2) {  // move right and up
            if (at + 2 > in.size())
                damaged("a move cut short by the end of the file");
            x += in[at];
            y += in[at + 1];
            at += 2;
        } else {  // `value` pixels as stored, padded to a 16-bit boundary
            const std::size_t bytes = nibbles ? (value + 1) / 2 : value;
            if (at + bytes > in.size())
                damaged(std::to_string(value) + " stored pixels cut short by the end of the file");
            for (unsigned i = 0; i < value; ++i)
                put(nibbles ? (i % 2 ? in[at + i / 2] & 15 : in[at + i / 2] >> 4) : in[at + i]);
            at += bytes + bytes % 2;
        }
    }
    return out;
}

}  // namespace veilcast
