#include "ImageFiles.h"

#include "CheckedFileProxy.h"
#include "ExitStatus.h"
#include "Interrupt.h"
#include "PendingOutput.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/color.h>
#include <OpenImageIO/strutil.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace veilcast {

using namespace DD::Image;
namespace fs = std::filesystem;

namespace {

const char* const kChannelNames[] = {"R", "G", "B", "A"};
// 16384 x 8192: larger frames need --max-pixels, so that a small file declaring a huge
// image cannot take the machine's memory.
constexpr std::uint64_t kDefaultMaxPixels = 16384ull * 8192ull;

// The library's own words for an error: the object's message, else the
// global one, else `fallback`; on one line.
std::string oiioError(const std::string& fallback, std::string specific = {})
{
    std::string e(OIIO::Strutil::strip(specific));
    const std::string global(OIIO::Strutil::strip(OIIO::geterror()));
    if (e.empty())
        e = global;
    e = OIIO::Strutil::replace(e, "\n", "; ", true);
    return e.empty() ? fallback : e;
}

// Formats whose pixel values are scene-linear by convention.
bool storesLinear(const std::string& formatName)
{
    return formatName == "openexr" || formatName == "hdr";
}

bool isDisplayEncoded(const OIIO::ImageSpec& spec, const std::string& formatName)
{
    const std::string space = spec.get_string_attribute("oiio:ColorSpace");
    if (OIIO::Strutil::iequals(space, "sRGB"))
        return true;
    if (!space.empty() || storesLinear(formatName))
        return false;
    return spec.format.basetype == OIIO::TypeDesc::UINT8 || spec.format.basetype == OIIO::TypeDesc::UINT16;
}

int findChannel(const OIIO::ImageSpec& spec, const char* name)
{
    for (int c = 0; c < spec.nchannels; ++c)
        if (spec.channel_name(c) == name)
            return c;
    return -1;
}

std::string channelList(const OIIO::ImageSpec& spec)
{
    std::string list;
    for (int c = 0; c < spec.nchannels; ++c)
        list += (c ? ", " : "") + std::string(spec.channel_name(c));
    return list.empty() ? "none" : list;
}

Box boxOf(int x, int y, int w, int h)
{
    return Box{x, y, x + w, y + h};
}

}  // namespace

OIIO::TypeDesc parseDataType(const std::string& name)
{
    if (name == "half")
        return OIIO::TypeDesc::HALF;
    if (name == "float")
        return OIIO::TypeDesc::FLOAT;
    if (name == "uint8")
        return OIIO::TypeDesc::UINT8;
    if (name == "uint16")
        return OIIO::TypeDesc::UINT16;
    throw UsageError("unknown data type \"" + name + "\" (use half, float, uint8 or uint16)");
}

std::uint64_t defaultMaxPixels()
{
    return kDefaultMaxPixels;
}

SourceImage readSourceImage(const std::string& path, bool raw, std::uint64_t maxPixels)
{
    std::error_code ec;
    if (!fs::exists(path, ec))
        throw std::runtime_error(path + ": no such file");
    if (!fs::is_regular_file(path, ec))
        throw std::runtime_error(path + ": not a regular file");

    // Read directly rather than through the shared image cache, which would
    // keep every frame of a sequence open and resident.
    auto input = OIIO::ImageInput::open(path);
    if (!input)
        throw std::runtime_error(path + ": cannot read: " + oiioError("unknown format or corrupt file"));
    const OIIO::ImageSpec spec = input->spec();
    const std::string formatName = input->format_name();

    if (spec.deep)
        throw std::runtime_error(path + ": deep images cannot be keyed; flatten it first");
    if (spec.width <= 0 || spec.height <= 0 || spec.depth != 1)
        throw std::runtime_error(path + ": not a flat 2D image (" + std::to_string(spec.width) + "x" +
                                 std::to_string(spec.height) + "x" + std::to_string(spec.depth) + ")");
    const std::uint64_t pixels = static_cast<std::uint64_t>(spec.width) * static_cast<std::uint64_t>(spec.height);
    if (pixels > maxPixels)
        throw std::runtime_error(path + ": " + std::to_string(spec.width) + "x" + std::to_string(spec.height) +
                                 " is " + std::to_string(pixels) + " pixels, more than the limit of " +
                                 std::to_string(maxPixels) + " (--max-pixels raises it)");
    int rgb[3];
    for (int c = 0; c < 3; ++c)
        rgb[c] = findChannel(spec, kChannelNames[c]);
    if (rgb[0] < 0 || rgb[1] < 0 || rgb[2] < 0)
        throw std::runtime_error(path + ": needs red, green and blue channels (R, G, B) to key; it has " +
                                 channelList(spec));
    const int alpha = findChannel(spec, "A");

    SourceImage result;
    result.spec = spec;
    const Box box = boxOf(spec.x, spec.y, spec.width, spec.height);
    const Box format = boxOf(spec.full_x, spec.full_y, spec.full_width, spec.full_height);
    std::vector<Channel> channels{Chan_Red, Chan_Green, Chan_Blue};
    if (alpha >= 0)
        channels.push_back(Chan_Alpha);
    result.pixels = PlanarImage(box, format, channels);

    const int source[4] = {rgb[0], rgb[1], rgb[2], alpha};
    const int chBegin = *std::min_element(source, source + channels.size());
    const int chEnd = *std::max_element(source, source + channels.size()) + 1;
    const int stride = chEnd - chBegin;

    OIIO::ColorProcessorHandle toLinear;
    if (!raw && isDisplayEncoded(spec, formatName)) {
        static const OIIO::ColorConfig config;
        toLinear = config.createColorProcessor("sRGB", "linear");
        if (!toLinear)
            throw std::runtime_error(path + ": cannot convert from sRGB to linear");
    }

    // A strip of scan lines at a time, so that only the planes are frame-sized.
    const int stripRows = std::max(1, std::min(spec.height, 64));
    std::vector<float> strip(static_cast<std::size_t>(stripRows) * spec.width * stride);
    for (int y = box.y; y < box.t; y += stripRows) {
        const int yEnd = std::min(box.t, y + stripRows);
        if (!input->read_scanlines(0, 0, y, yEnd, 0, chBegin, chEnd, OIIO::TypeDesc::FLOAT, strip.data()))
            throw std::runtime_error(path + ": cannot read pixels: " + oiioError("corrupt or truncated file", input->geterror()));
        if (toLinear) {
            OIIO::ImageSpec stripSpec(spec.width, yEnd - y, stride, OIIO::TypeDesc::FLOAT);
            stripSpec.alpha_channel = alpha >= 0 ? alpha - chBegin : -1;
            OIIO::ImageBuf wrapped(stripSpec, strip.data());
            if (!OIIO::ImageBufAlgo::colorconvert(wrapped, wrapped, toLinear.get(), true))
                throw std::runtime_error(path + ": cannot convert from sRGB to linear: " + wrapped.geterror());
        }
        for (std::size_t c = 0; c < channels.size(); ++c) {
            const int offset = source[c] - chBegin;
            for (int row = y; row < yEnd; ++row) {
                float* plane = result.pixels.row(channels[c], row) + box.x;
                const float* in = strip.data() + static_cast<std::size_t>(row - y) * spec.width * stride + offset;
                for (int x = 0; x < spec.width; ++x)
                    plane[x] = in[static_cast<std::size_t>(x) * stride];
            }
        }
    }
    input->close();
    return result;
}

void checkOutputPath(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode))
            throw UsageError(path + ": is a symbolic link; veilcast replaces files but never writes through a link "
                                    "(give the path it points to)");
        if (S_ISDIR(st.st_mode))
            throw UsageError(path + ": is a directory; give a file name for the output");
        if (!S_ISREG(st.st_mode))
            throw UsageError(path + ": is not a regular file; veilcast writes image files only");
    }
    if (!OIIO::ImageOutput::create(path))
        throw UsageError(path + ": cannot write this kind of file: " + oiioError("unknown file format"));
    const fs::path parent = fs::path(path).parent_path();
    const std::string directory = parent.empty() ? "." : parent.string();
    if (stat(directory.c_str(), &st) != 0)
        throw std::runtime_error(path + ": the folder " + directory + " does not exist");
    if (!S_ISDIR(st.st_mode))
        throw std::runtime_error(path + ": " + directory + " is not a folder");
    if (access(directory.c_str(), W_OK | X_OK) != 0)
        throw std::runtime_error(path + ": cannot write in " + directory + ": " + std::strerror(errno));
}

void writeImage(const std::string& path, const PlanarImage& image, const OIIO::ImageSpec& sourceSpec,
                const WriteOptions& options)
{
    auto output = OIIO::ImageOutput::create(path);
    if (!output)
        throw std::runtime_error(path + ": cannot write: " + oiioError("unknown file format"));

    const Box& box = image.box();
    const int nchannels = static_cast<int>(image.channels().size());
    OIIO::ImageSpec spec = sourceSpec;
    spec.nchannels = nchannels;
    spec.channelnames.clear();
    spec.channelformats.clear();
    for (int c = 0; c < nchannels; ++c)
        spec.channelnames.push_back(kChannelNames[static_cast<int>(image.channels()[static_cast<std::size_t>(c)]) - 1]);
    spec.alpha_channel = image.has(Chan_Alpha) ? 3 : -1;
    spec.z_channel = -1;
    spec.deep = false;
    spec.x = box.x, spec.y = box.y, spec.width = box.w(), spec.height = box.h();
    spec.full_x = image.format().x, spec.full_y = image.format().y;
    spec.full_width = image.format().w(), spec.full_height = image.format().h();
    spec.tile_width = spec.tile_height = spec.tile_depth = 0;
    spec.format = options.dataType == OIIO::TypeDesc::UNKNOWN ? sourceSpec.format : options.dataType;
    const std::string formatName = output->format_name();
    if (storesLinear(formatName) && !spec.format.is_floating_point())
        spec.format = OIIO::TypeDesc::HALF;
    spec.erase_attribute("oiio:subimages");
    spec.erase_attribute("oiio:ColorSpace");
    spec.erase_attribute("oiio:Gamma");

    OIIO::ImageSpec floatSpec = spec;
    floatSpec.format = OIIO::TypeDesc::FLOAT;
    OIIO::ImageBuf buf(floatSpec);
    for (int c = 0; c < nchannels; ++c) {
        const Channel z = image.channels()[static_cast<std::size_t>(c)];
        OIIO::ROI roi(box.x, box.r, box.y, box.t, 0, 1, c, c + 1);
        buf.set_pixels(roi, OIIO::TypeDesc::FLOAT, image.row(z, box.y) + box.x);
    }
    const bool encode = !options.raw && !storesLinear(formatName) && !spec.format.is_floating_point();
    if (encode) {
        OIIO::ImageBuf encoded;
        if (!OIIO::ImageBufAlgo::colorconvert(encoded, buf, "linear", "sRGB"))
            throw std::runtime_error(path + ": cannot convert to sRGB: " + encoded.geterror());
        buf = std::move(encoded);
        spec.attribute("oiio:ColorSpace", "sRGB");
    } else if (!options.raw) {
        spec.attribute("oiio:ColorSpace", "linear");
    }

    PendingOutput pending(path);
    CheckedFileProxy proxy(pending.path(), pending.fd());
    const bool checked = output->supports("ioproxy") && output->set_ioproxy(&proxy);
    // The library's messages name the file it was given: the user knows only the target.
    const auto fail = [&](std::string why) {
        output.reset();
        why = OIIO::Strutil::replace(why, pending.path(), path, true);
        return std::runtime_error(path + ": cannot write: " + why);
    };
    if (!output->open(pending.path(), spec))
        throw fail(oiioError("unknown error", output->geterror()));
    const bool wrote = buf.write(output.get());
    const bool closed = output->close();
    // A failed write of our own is the cause, whatever the library made of it.
    if (proxy.failure())
        throw fail(std::strerror(proxy.failure()));
    if (!wrote)
        throw fail(oiioError("unknown error", buf.geterror()));
    if (!closed)
        throw fail(oiioError("unknown error", output->geterror()));
    output.reset();
    // Writers that open the file themselves cannot be watched; a complete read proves the file whole.
    if (!checked) {
        auto check = OIIO::ImageInput::open(pending.path());
        std::vector<float> pixels(static_cast<std::size_t>(spec.width) * spec.height * spec.nchannels);
        if (!check || !check->read_image(0, 0, 0, spec.nchannels, OIIO::TypeDesc::FLOAT, pixels.data()))
            throw fail("the written file does not read back whole: " +
                       oiioError("unknown error", check ? check->geterror() : std::string()));
    }
    if (options.cancelled && options.cancelled())
        throw Interrupted();
    pending.commit();
}

}  // namespace veilcast
