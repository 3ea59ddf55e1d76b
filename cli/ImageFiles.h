#pragma once

#include "PlanarImage.h"

#include <OpenImageIO/imageio.h>

#include <cstdint>
#include <functional>
#include <string>

namespace veilcast {

// An image read for keying: its red, green, blue and (if present) alpha as
// linear float planes, and the file's description for carrying metadata over.
struct SourceImage {
    PlanarImage pixels;
    OIIO::ImageSpec spec;
};

// The largest image, in pixels, read unless the caller allows more.
std::uint64_t defaultMaxPixels();

// Reads the first subimage at full resolution. Files in a display encoding
// (8/16-bit PNG, JPEG, TIFF in sRGB) are converted to linear unless `raw`.
// Throws std::runtime_error naming the file for anything it cannot key:
// unreadable, corrupt, deep, without red, green and blue, or declaring more
// than `maxPixels` pixels (checked before anything is allocated).
SourceImage readSourceImage(const std::string& path, bool raw, std::uint64_t maxPixels = defaultMaxPixels());

struct WriteOptions {
    OIIO::TypeDesc dataType = OIIO::TypeDesc::UNKNOWN;  // UNKNOWN: follow the source
    bool raw = false;                                   // write values as they are, no encoding
    // Asked once the file is complete: true discards it instead of moving it into place.
    std::function<bool()> cancelled;
};

// Refuses, before any work, an output path that cannot be written as asked:
// a directory, a link, a special file (UsageError), an unknown format
// (UsageError), a missing or read-only folder (std::runtime_error).
void checkOutputPath(const std::string& path);

// Writes `image` to `path` with the source's metadata, as a PendingOutput:
// every write error fails the call, and the file replaces `path` only once
// complete and on disk. Formats that
// store display-referred values (PNG, JPEG, TIFF with integer data) are
// encoded to sRGB unless `raw`. Throws std::runtime_error naming the file
// (Interrupted when cancelled); nothing is left behind on failure and an
// existing `path` is untouched.
void writeImage(const std::string& path, const PlanarImage& image, const OIIO::ImageSpec& sourceSpec,
                const WriteOptions& options);

// Parses "half", "float", "uint8", "uint16"; throws std::invalid_argument.
OIIO::TypeDesc parseDataType(const std::string& name);

}  // namespace veilcast
