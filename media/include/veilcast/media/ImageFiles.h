// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/common/UsageError.h"
#include "veilcast/host/PlanarImage.h"

#include <OpenImageIO/imageio.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace veilcast {

class ColourSpaces;

// The largest image, in pixels, read unless the caller allows more.
std::uint64_t defaultMaxPixels();

struct ReadOptions {
    bool raw = false;  // values as stored: no conversion from sRGB
    std::uint64_t maxPixels = defaultMaxPixels();
    std::string part;   // a part (subimage) by name or index; empty: the first with R, G and B
    std::string layer;  // read "LAYER.R" etc.; empty: the unprefixed channels
    std::function<void(double)> progress;  // fraction of the read done, 0..1
    // A colour configuration: pixels in a space it knows go to its scene-linear role; null: the usual rules.
    std::shared_ptr<const ColourSpaces> colour;
};

// An image read for keying: its red, green, blue and (if present) alpha as
// linear float planes, with colour as stored (never premultiplied on read),
// and the part's description for carrying metadata over.
struct SourceImage {
    PlanarImage pixels;
    OIIO::ImageSpec spec;
    std::string formatName;
    Wording notice;  // what a user should know, such as parts left out; empty if nothing
};

// Reads one part at full resolution. Files in a display encoding (8/16-bit
// PNG, JPEG, TIFF in sRGB) are converted to linear unless `raw`. Channels are
// R, G, B and A, or r, g, b and a. Throws std::runtime_error naming the file
// for anything it cannot key: unreadable, corrupt, deep, without red, green
// and blue, or declaring more than `maxPixels` pixels (checked before
// anything is allocated); UsageError for a part or layer it does not have.
SourceImage readSourceImage(const std::string& path, const ReadOptions& options = {});

struct WriteOptions {
    OIIO::TypeDesc dataType = OIIO::TypeDesc::UNKNOWN;  // UNKNOWN: as users of the format expect
    bool raw = false;                                   // write values as they are, no encoding
    std::string settings;                               // recorded in the file, see carryMetadata
    std::string dateTime;                               // see carryMetadata
    std::function<void(double)> progress;               // fraction of the write done, 0..1
    // Asked once the file is complete: true discards it instead of moving it into place.
    std::function<bool()> cancelled;
    // A colour configuration: scene-linear pixels are written in its output space; null: the usual rules.
    std::shared_ptr<const ColourSpaces> colour;
};

// Refuses, before any work, an output that cannot be written as asked: a
// directory, a link or a special file, an unknown format, a data type the
// format cannot hold, alpha for a format without it (UsageError); a missing
// or read-only folder (std::runtime_error).
void checkOutputPath(const std::string& path, OIIO::TypeDesc dataType = OIIO::TypeDesc::UNKNOWN,
                     bool withAlpha = false);

// Writes `image` to `path` with the source's metadata (see carryMetadata),
// as a PendingOutput: every write error fails the call, and the file replaces
// `path` only once complete and on disk. Integer data in display-referred
// formats is encoded to sRGB unless `raw`; formats with unassociated alpha
// (PNG) get it unassociated. Throws std::runtime_error naming the file
// (Cancelled when cancelled); an existing `path` is untouched on failure.
void writeImage(const std::string& path, const PlanarImage& image, const OIIO::ImageSpec& sourceSpec,
                const std::string& sourceFormat, const WriteOptions& options);

// Parses "half", "float", "uint8", "uint16"; throws UsageError.
OIIO::TypeDesc parseDataType(const std::string& name);

}  // namespace veilcast
