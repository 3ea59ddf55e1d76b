#pragma once

#include "PlanarImage.h"

#include <OpenImageIO/imageio.h>

#include <functional>
#include <string>

namespace veilcast {

// An image read for keying: its red, green, blue and (if present) alpha as
// linear float planes, and the file's description for carrying metadata over.
struct SourceImage {
    PlanarImage pixels;
    OIIO::ImageSpec spec;
    bool linearised = false;  // converted from sRGB on read
};

// Reads the first subimage at full resolution. Files in a display encoding
// (8/16-bit PNG, JPEG, TIFF in sRGB) are converted to linear unless `raw`.
// Throws std::runtime_error naming the file for anything it cannot key:
// unreadable, corrupt, deep, or without red, green and blue.
SourceImage readSourceImage(const std::string& path, bool raw);

struct WriteOptions {
    OIIO::TypeDesc dataType = OIIO::TypeDesc::UNKNOWN;  // UNKNOWN: follow the source
    bool raw = false;                                   // write values as they are, no encoding
    // Asked once the file is complete: true discards it instead of moving it into place.
    std::function<bool()> cancelled;
};

// Writes `image` to `path` with the source's metadata, through a temporary
// file beside it that is renamed into place only once complete. Formats that
// store display-referred values (PNG, JPEG, TIFF with integer data) are
// encoded to sRGB unless `raw`. Throws std::runtime_error naming the file
// (Interrupted when cancelled); nothing is left behind on failure.
void writeImage(const std::string& path, const PlanarImage& image, const OIIO::ImageSpec& sourceSpec,
                const WriteOptions& options);

// Parses "half", "float", "uint8", "uint16"; throws std::invalid_argument.
OIIO::TypeDesc parseDataType(const std::string& name);

// A temporary file name beside `path`, keeping its extension so the format is known.
std::string temporaryPathBeside(const std::string& path);

}  // namespace veilcast
