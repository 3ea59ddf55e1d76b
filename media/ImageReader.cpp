// SPDX-License-Identifier: Apache-2.0
#include "veilcast/media/ImageReader.h"
#include "veilcast/media/ColourSpaces.h"

#include "veilcast/common/UsageError.h"
#include "BmpFile.h"
#include "FileFormats.h"
#include "StillEncoding.h"

#include <OpenImageIO/color.h>
#include <OpenImageIO/strutil.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <vector>

namespace veilcast {

using namespace DD::Image;
namespace fs = std::filesystem;
namespace Strutil = OIIO::Strutil;

namespace {

// 16384 x 8192: larger frames need --max-pixels, so that a small file
// declaring a huge image cannot take the machine's memory.
constexpr std::uint64_t kDefaultMaxPixels = 16384ull * 8192ull;
constexpr int kMaxParts = 64;

// Where R, G, B and A of the chosen layer are among a part's channels (-1: absent).
struct ChannelMap {
    int index[4] = {-1, -1, -1, -1};
    bool hasColour() const { return index[0] >= 0 && index[1] >= 0 && index[2] >= 0; }
};

ChannelMap findChannels(const OIIO::ImageSpec& spec, const std::string& layer)
{
    static const char kNames[] = "RGBA";
    const std::string prefix = layer.empty() ? "" : layer + ".";
    ChannelMap map;
    for (int k = 0; k < 4; ++k)
        for (int c = 0; c < spec.nchannels && map.index[k] < 0; ++c) {
            const std::string& name = spec.channel_name(c);
            if (name.size() == prefix.size() + 1 && name.compare(0, prefix.size(), prefix) == 0 &&
                std::toupper(static_cast<unsigned char>(name.back())) == kNames[k])
                map.index[k] = c;
        }
    return map;
}

std::string channelList(const OIIO::ImageSpec& spec)
{
    std::string list;
    for (int c = 0; c < spec.nchannels; ++c)
        list += (c ? ", " : "") + std::string(spec.channel_name(c));
    return list.empty() ? "none" : list;
}

std::string layerList(const OIIO::ImageSpec& spec)
{
    std::set<std::string> layers;
    for (int c = 0; c < spec.nchannels; ++c) {
        const std::string& name = spec.channel_name(c);
        const auto dot = name.rfind('.');
        if (dot != std::string::npos)
            layers.insert(name.substr(0, dot));
    }
    return Strutil::join(std::vector<std::string>(layers.begin(), layers.end()), ", ");
}

std::string partLabel(int index, const OIIO::ImageSpec& spec)
{
    const std::string name = spec.get_string_attribute("name");
    return std::to_string(index) + (name.empty() ? "" : " \"" + name + "\"");
}

// The part's description without attributes too large to be metadata: a
// damaged header can declare hundreds of megabytes of "user data", which the
// reader allocates once and every copy of the description would again.
OIIO::ImageSpec leanSpec(const OIIO::ImageSpec& raw)
{
    constexpr std::size_t kLargestAttribute = 1 << 20;
    OIIO::ImageSpec lean;
    lean.copy_dimensions(raw);
    lean.channelnames = raw.channelnames;
    lean.alpha_channel = raw.alpha_channel;
    lean.z_channel = raw.z_channel;
    lean.deep = raw.deep;
    for (const OIIO::ParamValue& p : raw.extra_attribs)
        if (static_cast<std::size_t>(p.datasize()) <= kLargestAttribute)
            lean.extra_attribs.push_back(p);
    return lean;
}

// The image library trusts a DPX header's size of its user data and
// allocates it before reading anything: a damaged header of a few kilobytes
// can ask for gigabytes, or abort the process. Checked against the file first.
void checkDpxHeader(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    unsigned char header[36] = {};
    if (!file.read(reinterpret_cast<char*>(header), sizeof header))
        return;
    const bool big = std::memcmp(header, "SDPX", 4) == 0;
    if (!big && std::memcmp(header, "XPDS", 4) != 0)
        return;
    const auto word = [&](int at) {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<std::uint32_t>(header[at + (big ? i : 3 - i)]) << (8 * (3 - i));
        return v;
    };
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(path, ec);
    const std::uint32_t userData = word(32);
    if (!ec && userData != 0xFFFFFFFFu && userData > size)
        throw std::runtime_error(path + ": a damaged DPX header: it declares " + std::to_string(userData) +
                                 " bytes of user data in a file of " + std::to_string(size));
}

Box boxOf(int x, int y, int w, int h)
{
    return Box{x, y, x + w, y + h};
}

// The part to key: the one asked for, else the first with R, G and B.
int choosePart(OIIO::ImageInput& input, const std::string& path, const ReadOptions& options, Wording& notice)
{
    // Only files that say they hold several parts are walked: a damaged
    // header can make a reader accept a seek to any part number, each costly.
    std::vector<OIIO::ImageSpec> parts{leanSpec(input.spec())};
    const int declared = input.spec().get_int_attribute("oiio:subimages", 1);
    if (declared > kMaxParts)
        throw std::runtime_error(path + ": declares " + std::to_string(declared) + " parts, more than " +
                                 std::to_string(kMaxParts) + "; a damaged file, or not one veilcast keys");
    for (int i = 1; i < declared && input.seek_subimage(i, 0); ++i)
        parts.push_back(leanSpec(input.spec()));
    if (parts.empty())
        throw std::runtime_error(path + ": holds no image");

    int chosen = -1;
    if (!options.part.empty()) {
        for (int i = 0; i < static_cast<int>(parts.size()) && chosen < 0; ++i)
            if (parts[static_cast<std::size_t>(i)].get_string_attribute("name") == options.part ||
                std::to_string(i) == options.part)
                chosen = i;
        if (chosen < 0) {
            std::vector<std::string> labels;
            for (int i = 0; i < static_cast<int>(parts.size()); ++i)
                labels.push_back(partLabel(i, parts[static_cast<std::size_t>(i)]));
            throw UsageError(path + ": has no part \"" + options.part + "\"; its parts are " +
                             Strutil::join(labels, ", "));
        }
    } else {
        for (int i = 0; i < static_cast<int>(parts.size()) && chosen < 0; ++i)
            if (findChannels(parts[static_cast<std::size_t>(i)], options.layer).hasColour())
                chosen = i;
        if (chosen < 0)
            chosen = 0;  // refused below with the first part's channels named
    }
    if (parts.size() > 1) {
        std::vector<std::string> left;
        for (int i = 0; i < static_cast<int>(parts.size()); ++i)
            if (i != chosen)
                left.push_back(partLabel(i, parts[static_cast<std::size_t>(i)]));
        notice = {path + ": keyed part " + partLabel(chosen, parts[static_cast<std::size_t>(chosen)]) +
                      "; left out " + Strutil::join(left, ", ") + " (", UserChoice::Part, " chooses)"};
    }
    if (input.current_subimage() != chosen && !input.seek_subimage(chosen, 0))
        throw std::runtime_error(path + ": cannot read part " + std::to_string(chosen));
    return chosen;
}

// Rows per strip: 64 where the file allows, as many as one read should
// decode at once; otherwise a whole number of its chunks or tiles.
int chooseStripRows(const OIIO::ImageSpec& spec)
{
    constexpr int kPreferredRows = 64;
    int chunk = 1;
    if (spec.tile_width > 0)
        chunk = std::max(1, spec.tile_height);
    else {
        const std::string compression = Strutil::lower(spec.get_string_attribute("compression"));
        if (compression == "dwab")
            chunk = 256;
        else if (compression == "piz" || compression == "b44" || compression == "b44a" || compression == "dwaa")
            chunk = 32;
        else if (compression == "zip" || compression == "pxr24")
            chunk = 16;
    }
    return std::max(1, std::min((kPreferredRows + chunk - 1) / chunk * chunk, std::max(chunk, spec.height)));
}

// A still under a movie's name (a PNG called clip.mov) would go to the
// image library's movie reader, which reads no pixels of it: the picture
// readers are asked instead which one the bytes are for. The movie reader is
// only named, never opened, as opening it leaves FFmpeg memory behind.
std::unique_ptr<OIIO::ImageInput> openStill(const std::string& path, const OIIO::ImageSpec& config)
{
    const auto byName = OIIO::ImageInput::create(path, false, &config);
    if (byName && std::string(byName->format_name()) == "FFmpeg movie")
        for (const std::string& entry : Strutil::splits(OIIO::get_string_attribute("extension_list"), ";")) {
            const std::string format = entry.substr(0, entry.find(':'));
            auto picture = format == "ffmpeg" ? nullptr : OIIO::ImageInput::create(format, false, &config);
            OIIO::ImageSpec opened;
            if (picture && picture->valid_file(path) && picture->open(path, opened, config))
                return picture;
        }
    return OIIO::ImageInput::open(path, &config);
}

}  // namespace

std::uint64_t defaultMaxPixels()
{
    return kDefaultMaxPixels;
}

ImageReader::ImageReader(const std::string& path, const ReadOptions& options) : path_(path)
{
    std::error_code ec;
    if (!fs::exists(path, ec))
        throw std::runtime_error(path + ": no such file");
    if (!fs::is_regular_file(path, ec))
        throw std::runtime_error(path + ": not a regular file");

    // Colour as stored: a straight alpha must not be multiplied in, or the
    // same plate keys differently with an alpha it is told to ignore. Read
    // directly rather than through the shared image cache, which would keep
    // every frame of a sequence open and resident.
    checkDpxHeader(path);
    const BmpLayout bmp = checkBmpHeader(path, options.maxPixels);
    OIIO::ImageSpec asStored;
    asStored.attribute("oiio:UnassociatedAlpha", 1);
    std::string openError;
    if (bmp.runLength) {
        memoryFile_ = expandRunLengthBmp(path, bmp);
        memoryProxy_ = std::make_unique<OIIO::Filesystem::IOMemReader>(memoryFile_.data(), memoryFile_.size());
        OIIO::Filesystem::IOProxy* proxy = memoryProxy_.get();
        asStored.attribute("oiio:ioproxy", OIIO::TypeDesc::PTR, &proxy);
        // By format name, so that the file's extension cannot send the bytes to another reader.
        input_ = OIIO::ImageInput::create("bmp", false, &asStored, proxy);
        OIIO::ImageSpec opened;
        if (input_ && !input_->open(path, opened, asStored)) {
            openError = input_->geterror();
            input_.reset();
        }
    } else
        input_ = openStill(path, asStored);
    if (!input_)
        throw std::runtime_error(path + ": cannot read: " + oiioError("unknown format or corrupt file", openError));

    formatName_ = input_->format_name();
    choosePart(*input_, path, options, notice_);
    spec_ = leanSpec(input_->spec());
    if (formatName_ == "png" && !bmp.runLength)
        readExactPngGamma(path, spec_);
    const OIIO::ImageSpec& spec = spec_;

    if (spec.deep)
        throw std::runtime_error(path + ": deep images cannot be keyed; flatten it first");
    if (spec.width <= 0 || spec.height <= 0 || spec.depth != 1)
        throw std::runtime_error(path + ": not a flat 2D image (" + std::to_string(spec.width) + "x" +
                                 std::to_string(spec.height) + "x" + std::to_string(spec.depth) + ")");
    const std::uint64_t pixels = static_cast<std::uint64_t>(spec.width) * static_cast<std::uint64_t>(spec.height);
    if (pixels > options.maxPixels)
        throw Failure(Wording{path + ": " + std::to_string(spec.width) + "x" + std::to_string(spec.height) +
                                  " is " + std::to_string(pixels) + " pixels, more than the limit of " +
                                  std::to_string(options.maxPixels) + " (", UserChoice::MaxPixels, " raises it)"});
    const ChannelMap map = findChannels(spec, options.layer);
    if (!map.hasColour()) {
        const std::string layers = layerList(spec);
        if (!options.layer.empty())
            throw UsageError(path + ": has no layer \"" + options.layer + "\" with R, G and B; its channels are " +
                             channelList(spec));
        const std::string what = path + ": needs red, green and blue channels (R, G, B) to key; it has " + channelList(spec);
        throw layers.empty() ? Failure(what) : Failure(Wording{what + " (", UserChoice::Layer, " chooses one of: " + layers + ")"});
    }

    box_ = boxOf(spec.x, spec.y, spec.width, spec.height);
    format_ = boxOf(spec.full_x, spec.full_y, spec.full_width, spec.full_height);
    channels_ = {Chan_Red, Chan_Green, Chan_Blue};
    if (map.index[3] >= 0)
        channels_.push_back(Chan_Alpha);
    std::copy(map.index, map.index + 4, index_);
    chBegin_ = *std::min_element(map.index, map.index + channels_.size());
    chEnd_ = *std::max_element(map.index, map.index + channels_.size()) + 1;
    stripRows_ = chooseStripRows(spec);

    const std::string managedSpace = options.colour && !options.raw ? options.colour->inputSpace(spec) : "";
    if (!managedSpace.empty())
        toLinear_ = options.colour->processor(managedSpace, options.colour->sceneLinear(), path);
    else if (!options.raw)
        toLinear_ = decoderFor(stillEncodingOf(spec, formatName_), path);
}

ImageReader::~ImageReader() = default;

PlanarImage ImageReader::makeStrip(int y0, int y1) const
{
    return PlanarImage(Box{box_.x, y0, box_.r, y1}, format_, channels_);
}

void ImageReader::read(int y0, int y1, PlanarImage& strip)
{
    const int width = spec_.width, stride = chEnd_ - chBegin_;
    interleaved_.resize(static_cast<std::size_t>(y1 - y0) * width * stride);
    const int subimage = input_->current_subimage();
    const bool ok = spec_.tile_width > 0
                        ? input_->read_tiles(subimage, 0, box_.x, box_.r, y0, y1, 0, 1, chBegin_, chEnd_,
                                             OIIO::TypeDesc::FLOAT, interleaved_.data())
                        : input_->read_scanlines(subimage, 0, y0, y1, 0, chBegin_, chEnd_, OIIO::TypeDesc::FLOAT,
                                                 interleaved_.data());
    if (!ok)
        throw std::runtime_error(path_ + ": cannot read pixels: " +
                                 oiioError("corrupt or truncated file", input_->geterror()));
    for (std::size_t c = 0; c < channels_.size(); ++c) {
        const int offset = index_[c] - chBegin_;
        for (int row = y0; row < y1; ++row) {
            float* plane = strip.row(channels_[c], row) + box_.x;
            const float* in = interleaved_.data() + static_cast<std::size_t>(row - y0) * width * stride + offset;
            for (int x = 0; x < width; ++x)
                plane[x] = in[static_cast<std::size_t>(x) * stride];
        }
    }
    if (toLinear_)
        ColourSpaces::apply(*toLinear_, strip, y0, y1);
}

SourceImage readSourceImage(const std::string& path, const ReadOptions& options)
{
    ImageReader reader(path, options);
    SourceImage result;
    result.formatName = reader.formatName();
    result.notice = reader.notice();
    result.spec = reader.spec();
    const Box& box = reader.box();
    result.pixels = reader.makeStrip(box.y, box.t);
    const int rows = reader.stripRows();
    for (int y = box.y; y < box.t; y += rows) {
        const int yEnd = std::min(box.t, y + rows);
        reader.read(y, yEnd, result.pixels);
        if (options.progress)
            options.progress(static_cast<double>(yEnd - box.y) / box.h());
    }
    return result;
}

}  // namespace veilcast
