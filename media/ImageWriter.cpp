// SPDX-License-Identifier: Apache-2.0
#include "veilcast/media/ImageWriter.h"
#include "veilcast/media/ColourSpaces.h"

#include "CheckedFileProxy.h"
#include "veilcast/common/UsageError.h"
#include "ExrColourTag.h"
#include "FileFormats.h"
#include "veilcast/media/FileExtensions.h"
#include "StillEncoding.h"
#include "veilcast/media/Metadata.h"
#include "veilcast/media/PendingOutput.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/strutil.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace veilcast {

using namespace DD::Image;

namespace {

const char* const kChannelNames[] = {"R", "G", "B", "A"};

}  // namespace

OIIO::TypeDesc parseDataType(const std::string& name)
{
    for (OIIO::TypeDesc t : {OIIO::TypeDesc::HALF, OIIO::TypeDesc::FLOAT, OIIO::TypeDesc::UINT8, OIIO::TypeDesc::UINT16})
        if (name == t.c_str())
            return t;
    throw UsageError("unknown data type \"" + name + "\" (use half, float, uint8 or uint16)");
}

void checkOutputPath(const std::string& path, OIIO::TypeDesc dataType, bool withAlpha)
{
    checkOutputPlace(path, "image", [&] {
        const auto output = OIIO::ImageOutput::create(path);
        if (!output)
            throw UsageError(path + ": cannot write this kind of file: " + oiioError("unknown file format"));
        try {
            checkDataType(output->format_name(), dataType);
        } catch (const UsageError& e) {
            throw UsageError(path + ": " + e.what());
        }
        if (withAlpha && !output->supports("alpha"))
            throw UsageError(path + ": " + output->format_name() + " files hold no alpha, and the result has a matte "
                             "in alpha; write " + formatsWithAlpha() + ", or turn Check Alpha on for the matte alone");
    });
}

ImageWriter::ImageWriter(const std::string& path, const std::vector<Channel>& channels, const Box& box,
                         const Box& format, const OIIO::ImageSpec& sourceSpec, const std::string& sourceFormat,
                         const WriteOptions& options)
    : path_(path), options_(options), channels_(channels), output_(OIIO::ImageOutput::create(path))
{
    if (!output_)
        throw std::runtime_error(path + ": cannot write: " + oiioError("unknown file format"));

    const int nchannels = static_cast<int>(channels.size());
    OIIO::ImageSpec& spec = spec_;
    spec = sourceSpec;
    spec.nchannels = nchannels;
    spec.channelnames.clear();
    spec.channelformats.clear();
    bool alpha = false;
    for (const Channel z : channels) {
        spec.channelnames.push_back(kChannelNames[static_cast<int>(z) - 1]);
        alpha = alpha || z == Chan_Alpha;
    }
    spec.alpha_channel = alpha ? 3 : -1;
    spec.z_channel = -1;
    spec.deep = false;
    spec.x = box.x, spec.y = box.y, spec.width = box.w(), spec.height = box.h();
    spec.full_x = format.x, spec.full_y = format.y;
    spec.full_width = format.w(), spec.full_height = format.h();
    spec.tile_width = spec.tile_height = spec.tile_depth = 0;
    const std::string formatName = output_->format_name();
    spec.format = outputDataType(formatName, sourceSpec.format, options.dataType);
    if (alpha && !output_->supports("alpha"))
        throw UsageError(path + ": " + formatName + " files hold no alpha; write " + formatsWithAlpha());
    carryMetadata(sourceSpec, sourceFormat, formatName, options.settings, spec, options.dateTime);
    // A 10- or 12-bit source stays so in its own format: 16 bits would only
    // make the file larger and tell the next tool of precision it never had.
    const int bits = sourceSpec.get_int_attribute("oiio:BitsPerSample", 0);
    if ((bits == 10 || bits == 12) && (formatName == "dpx" || formatName == "tiff") && sourceFormat == formatName &&
        options.dataType == OIIO::TypeDesc::UNKNOWN && spec.format == sourceSpec.format)
        spec.attribute("oiio:BitsPerSample", bits);
    chooseEncoding(sourceSpec, sourceFormat, formatName);

    pending_ = std::make_unique<PendingOutput>(path);
    proxy_ = std::make_unique<CheckedFileProxy>(pending_->path(), pending_->fd());
    // The TIFF writer loses its directory when it writes EXIF data through a
    // proxy; it writes by path, in the private folder, and is read back whole.
    checked_ = formatName != "tiff" && output_->supports("ioproxy") && output_->set_ioproxy(proxy_.get());
    if (!output_->open(pending_->path(), spec))
        throw failure(oiioError("unknown error", output_->geterror()));
    // A writer that cannot store the type asked for converts without a word; refuse instead.
    if (output_->spec().format != spec.format)
        throw UsageError(path + ": " + formatName + " files cannot hold " + spec.format.c_str() + " data");
    nextRow_ = spec.y;
}

ImageWriter::~ImageWriter() = default;

void ImageWriter::chooseEncoding(const OIIO::ImageSpec& sourceSpec, const std::string& sourceFormat,
                                 const std::string& formatName)
{
    OIIO::ImageSpec& spec = spec_;
    const StillEncoding source = stillEncodingOf(sourceSpec, sourceFormat);
    const std::string managedSpace =
        options_.colour && !options_.raw && !options_.matte ? options_.colour->outputSpace(sourceSpec) : "";
    std::string tag;
    if (options_.matte) {
        tagEncoding(spec, StillEncoding{});
    } else if (!managedSpace.empty()) {
        spec.attribute("oiio:ColorSpace", managedSpace);
        tag = managedSpace;
        fromLinear_ = options_.colour->processor(options_.colour->sceneLinear(), managedSpace, path_);
    } else if (options_.raw) {
        // Values as stored are still in the source's encoding: said where it was said.
        if (tagsItsEncoding(sourceSpec) && formatHolds(formatName, source)) {
            tagEncoding(spec, source);
            tag = source.tag();
        }
    } else {
        // What came in as display-referred integers goes out in its own
        // encoding, so that a pass-through gives back the input; float
        // sources are written as display files always were, in sRGB.
        StillEncoding out;
        if (!storesLinear(formatName) && !spec.format.is_floating_point()) {
            const bool keep = !sourceSpec.format.is_floating_point() && formatHolds(formatName, source);
            out = keep ? source : StillEncoding{StillEncoding::Curve::Srgb};
        }
        tagEncoding(spec, out);
        fromLinear_ = encoderFor(out, path_);
    }
    // The EXR writer records no colour space: its reader calls every file linear.
    if (formatName == "openexr" && !tag.empty() && !OIIO::Strutil::iequals(tag, "linear"))
        exrTag_ = tag;
}

// The library's messages name the file it was given: the user knows only the target.
std::runtime_error ImageWriter::failure(std::string why)
{
    output_.reset();
    why = OIIO::Strutil::replace(why, pending_ ? pending_->path() : path_, path_, true);
    return std::runtime_error(path_ + ": cannot write: " + why);
}

void ImageWriter::write(int y0, int y1, const PlanarImage& from)
{
    if (!output_ || y0 != nextRow_ || y1 < y0 || y1 > spec_.y + spec_.height)
        throw std::logic_error(path_ + ": rows written out of order");
    const int width = spec_.width, nchannels = spec_.nchannels;
    interleaved_.resize(static_cast<std::size_t>(y1 - y0) * width * nchannels);
    for (int c = 0; c < nchannels; ++c)
        for (int y = y0; y < y1; ++y) {
            const float* in = from.row(channels_[static_cast<std::size_t>(c)], y) + spec_.x;
            float* out = interleaved_.data() + static_cast<std::size_t>(y - y0) * width * nchannels + c;
            for (int x = 0; x < width; ++x)
                out[static_cast<std::size_t>(x) * nchannels] = in[x];
        }
    // Integers hold no NaN, and the encodings turn one into the brightest
    // code: it is made 0, black, in linear light, before it is encoded.
    if (!spec_.format.is_floating_point())
        for (std::size_t i = 0; i < interleaved_.size(); i += static_cast<std::size_t>(nchannels)) {
            bool nan = false;
            for (int c = 0; c < nchannels; ++c)
                if (std::isnan(interleaved_[i + static_cast<std::size_t>(c)])) {
                    interleaved_[i + static_cast<std::size_t>(c)] = 0.0f;
                    nan = true;
                }
            nanPixels_ += nan ? 1 : 0;
        }
    if (const int a = spec_.alpha_channel; a >= 0 && opaque_)
        for (std::size_t i = static_cast<std::size_t>(a); i < interleaved_.size(); i += static_cast<std::size_t>(nchannels))
            opaque_ = opaque_ && interleaved_[i] >= 254.5f / 255.0f;
    if (fromLinear_) {
        OIIO::ImageSpec stripSpec = spec_;
        stripSpec.y = y0;
        stripSpec.height = y1 - y0;
        stripSpec.format = OIIO::TypeDesc::FLOAT;
        OIIO::ImageBuf strip(stripSpec, interleaved_.data());
        // An integer file's curve applies to the colour, not to the colour
        // times the matte: the writer of an unassociated format (PNG)
        // divides by alpha after. Float files keep their associated values.
        const bool unpremult = !spec_.format.is_floating_point();
        if (!OIIO::ImageBufAlgo::colorconvert(strip, strip, fromLinear_.get(), unpremult))
            throw std::runtime_error(path_ + ": cannot convert to " +
                                     std::string(spec_.get_string_attribute("oiio:ColorSpace")) + ": " +
                                     strip.geterror());
    }
    if (!output_->write_scanlines(y0, y1, 0, OIIO::TypeDesc::FLOAT, interleaved_.data()))
        throw failure(proxy_->failure() ? std::strerror(proxy_->failure())
                                        : oiioError("unknown error", output_->geterror()));
    nextRow_ = y1;
    if (options_.progress)
        options_.progress(static_cast<double>(y1 - spec_.y) / std::max(1, spec_.height));
}

void ImageWriter::finish()
{
    if (!output_ || nextRow_ != spec_.y + spec_.height)
        throw std::logic_error(path_ + ": finished before every row was written");
    const std::string format = output_->format_name();
    const bool closed = output_->close();
    // A failed write of our own is the cause, whatever the library made of it.
    if (proxy_->failure())
        throw failure(std::strerror(proxy_->failure()));
    if (!closed)
        throw failure(oiioError("unknown error", output_->geterror()));
    output_.reset();
    if (!exrTag_.empty()) {
        try {
            recordExrColourSpace(pending_->fd(), exrTag_);
        } catch (const std::exception& e) {
            throw failure(std::string("cannot record its colour space: ") + e.what());
        }
    }
    // What is moved into place must at least open as the image written; a
    // writer we could not watch must read back whole, a strip at a time.
    auto check = OIIO::ImageInput::open(pending_->path());
    // WebP leaves out an alpha that is opaque everywhere: the file then
    // holds the colour alone, which is what was written.
    const bool opaqueAlphaLeftOut = check && format == "webp" && opaque_ && spec_.alpha_channel == spec_.nchannels - 1 &&
                                    check->spec().nchannels == spec_.nchannels - 1;
    bool readsBack = check && check->spec().width == spec_.width && check->spec().height == spec_.height &&
                     (check->spec().nchannels == spec_.nchannels || opaqueAlphaLeftOut);
    if (readsBack && !checked_) {
        constexpr int kRows = 64;
        std::vector<float> rows(static_cast<std::size_t>(kRows) * spec_.width * spec_.nchannels);
        const OIIO::ImageSpec& written = check->spec();
        for (int y = written.y; readsBack && y < written.y + written.height; y += kRows)
            readsBack = check->read_scanlines(0, 0, y, std::min(y + kRows, written.y + written.height), 0, 0,
                                              written.nchannels, OIIO::TypeDesc::FLOAT, rows.data());
    }
    if (!readsBack)
        throw failure("the written file does not read back as written: " +
                      oiioError("unknown error", check ? check->geterror() : std::string()));
    check.reset();
    pending_->commit(options_.cancelled);
}

void writeImage(const std::string& path, const PlanarImage& image, const OIIO::ImageSpec& sourceSpec,
                const std::string& sourceFormat, const WriteOptions& options)
{
    ImageWriter writer(path, image.channels(), image.box(), image.format(), sourceSpec, sourceFormat, options);
    writer.write(image.box().y, image.box().t, image);
    writer.finish();
}

}  // namespace veilcast
