// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/host/PlanarImage.h"

#include <OpenImageIO/color.h>
#include <OpenImageIO/imageio.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace veilcast {

class CheckedFileProxy;
class ColourSpaces;
class PendingOutput;

struct WriteOptions {
    OIIO::TypeDesc dataType = OIIO::TypeDesc::UNKNOWN;  // UNKNOWN: as users of the format expect
    bool raw = false;                                   // write values as they are, no encoding
    // The image is a matte (Check Alpha): coverage, which is data, written
    // as it is and tagged linear in every format, never display-encoded.
    bool matte = false;
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
// formats is written in the source's own encoding (see stillEncodingOf: sRGB,
// a gamma, BT.709 or log) where the format can say so, else in sRGB, unless
// `raw` or a matte; the colour-space tag says what was written, in EXR too.
// Formats with unassociated alpha (PNG) get it unassociated. Throws std::runtime_error naming the file
// (Cancelled when cancelled); an existing `path` is untouched on failure.
void writeImage(const std::string& path, const PlanarImage& image, const OIIO::ImageSpec& sourceSpec,
                const std::string& sourceFormat, const WriteOptions& options);

// Parses "half", "float", "uint8", "uint16"; throws UsageError.
OIIO::TypeDesc parseDataType(const std::string& name);

// An image file written a strip of scan lines at a time, top to bottom, with
// every guarantee of writeImage: it is written beside its target and moved
// into place by finish() only once complete, checked and on disk; a writer
// destroyed before that leaves the target as it was.
class ImageWriter {
public:
    // Opens the file for an image of `box` within `format` holding
    // `channels`, with the source's metadata. Throws as writeImage does.
    ImageWriter(const std::string& path, const std::vector<DD::Image::Channel>& channels, const DD::Image::Box& box,
                const DD::Image::Box& format, const OIIO::ImageSpec& sourceSpec, const std::string& sourceFormat,
                const WriteOptions& options);
    ~ImageWriter();
    ImageWriter(const ImageWriter&) = delete;
    ImageWriter& operator=(const ImageWriter&) = delete;

    // Writes rows y0..y1-1 of `from`, whose box holds them at full width.
    // Rows come in order, each once.
    void write(int y0, int y1, const PlanarImage& from);
    // Closes, checks and moves the file into place; all rows must have been
    // written. Throws std::runtime_error naming the file, or Cancelled.
    void finish();
    // Pixels with a NaN (not a number) in a format of integers, which holds
    // none: each NaN is written as 0, black, in linear light (then encoded).
    // A caller warns of them.
    long nanPixels() const { return nanPixels_; }

private:
    std::runtime_error failure(std::string why);
    // What is written and how it is tagged: the colour configuration's space,
    // the source's encoding, sRGB or linear (see writeImage).
    void chooseEncoding(const OIIO::ImageSpec& sourceSpec, const std::string& sourceFormat,
                        const std::string& formatName);

    std::string path_;
    WriteOptions options_;
    std::vector<DD::Image::Channel> channels_;
    // Declared before the output, so that an unfinished output, closing as it
    // is destroyed, still has its file and proxy.
    std::unique_ptr<PendingOutput> pending_;
    std::unique_ptr<CheckedFileProxy> proxy_;
    std::unique_ptr<OIIO::ImageOutput> output_;
    OIIO::ImageSpec spec_;
    OIIO::ColorProcessorHandle fromLinear_;  // to what is written; null: as it is
    std::string exrTag_;        // a colour space the EXR writer would not record; empty: none
    long nanPixels_ = 0;
    bool opaque_ = true;  // every alpha written rounds to fully opaque in 8 bits
    bool checked_ = false;
    int nextRow_ = 0;
    std::vector<float> interleaved_;
};

}  // namespace veilcast
