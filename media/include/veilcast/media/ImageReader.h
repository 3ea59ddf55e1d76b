// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/common/UsageError.h"
#include "veilcast/host/PlanarImage.h"

#include <OpenImageIO/color.h>
#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace veilcast {

class ColourSpaces;

// The largest image, in pixels, read unless the caller allows more.
std::uint64_t defaultMaxPixels();

struct ReadOptions {
    bool raw = false;  // values as stored: no conversion from the file's encoding
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

// Reads one part at full resolution. Files in a display or log encoding
// (see stillEncodingOf: tagged sRGB, gamma, BT.709 or log, or untagged
// integers) are converted to linear unless `raw`. Channels are
// R, G, B and A, or r, g, b and a. Throws std::runtime_error naming the file
// for anything it cannot key: unreadable, corrupt, deep, without red, green
// and blue, or declaring more than `maxPixels` pixels (checked before
// anything is allocated); UsageError for a part or layer it does not have.
SourceImage readSourceImage(const std::string& path, const ReadOptions& options = {});


// An image file open for keying, read a strip of scan lines at a time so that
// no frame-sized buffer is ever needed. Opening checks everything
// readSourceImage does (see there) before any pixel is read.
class ImageReader {
public:
    ImageReader(const std::string& path, const ReadOptions& options);
    ~ImageReader();
    ImageReader(const ImageReader&) = delete;
    ImageReader& operator=(const ImageReader&) = delete;

    const std::string& path() const { return path_; }
    // The part's description (without oversized attributes), for metadata.
    const OIIO::ImageSpec& spec() const { return spec_; }
    const std::string& formatName() const { return formatName_; }
    const Wording& notice() const { return notice_; }
    const DD::Image::Box& box() const { return box_; }
    const DD::Image::Box& format() const { return format_; }
    // R, G, B, and A when the file has it.
    const std::vector<DD::Image::Channel>& channels() const { return channels_; }

    // Rows per strip: a whole number of the file's compression chunks or
    // tiles, so that no chunk is decoded twice.
    int stripRows() const { return stripRows_; }
    // An image for rows y0..y1-1 at the data window's full width.
    PlanarImage makeStrip(int y0, int y1) const;
    // Reads rows y0..y1-1 into `into` (whose box holds them at full width),
    // converted as the file's encoding asks. y0 is the data window's top plus
    // a multiple of stripRows(); y1 the next such row or the bottom. Throws
    // std::runtime_error naming the file.
    void read(int y0, int y1, PlanarImage& into);

private:
    std::string path_;
    // A run-length BMP, decoded by us, which the library reads from memory
    // (see BmpFile.h); both outlive input_.
    std::vector<unsigned char> memoryFile_;
    std::unique_ptr<OIIO::Filesystem::IOProxy> memoryProxy_;
    std::unique_ptr<OIIO::ImageInput> input_;
    OIIO::ImageSpec spec_;
    std::string formatName_;
    Wording notice_;
    DD::Image::Box box_, format_;
    std::vector<DD::Image::Channel> channels_;
    int index_[4] = {-1, -1, -1, -1};
    int chBegin_ = 0, chEnd_ = 0;
    int stripRows_ = 1;
    OIIO::ColorProcessorHandle toLinear_;
    std::vector<float> interleaved_;
};

}  // namespace veilcast
