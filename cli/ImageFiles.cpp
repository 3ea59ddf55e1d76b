#include "ImageFiles.h"

#include "Interrupt.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/strutil.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

namespace veilcast {

using namespace DD::Image;
namespace fs = std::filesystem;

namespace {

const Channel kKeyedChannels[] = {Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha};
const char* const kChannelNames[] = {"R", "G", "B", "A"};

std::string oiioError(const std::string& fallback)
{
    std::string e(OIIO::Strutil::strip(OIIO::geterror()));
    OIIO::Strutil::replace(e, "\n", "; ", true);
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
    throw std::invalid_argument("unknown data type \"" + name + "\" (use half, float, uint8 or uint16)");
}

SourceImage readSourceImage(const std::string& path, bool raw)
{
    std::error_code ec;
    if (!fs::exists(path, ec))
        throw std::runtime_error(path + ": no such file");
    if (!fs::is_regular_file(path, ec))
        throw std::runtime_error(path + ": not a regular file");

    auto input = OIIO::ImageInput::open(path);
    if (!input)
        throw std::runtime_error(path + ": cannot read: " + oiioError("unknown format or corrupt file"));
    const OIIO::ImageSpec spec = input->spec();
    const std::string formatName = input->format_name();
    input->close();

    if (spec.deep)
        throw std::runtime_error(path + ": deep images cannot be keyed; flatten it first");
    int rgb[3];
    for (int c = 0; c < 3; ++c)
        rgb[c] = findChannel(spec, kChannelNames[c]);
    if (rgb[0] < 0 || rgb[1] < 0 || rgb[2] < 0)
        throw std::runtime_error(path + ": needs red, green and blue channels (R, G, B) to key; it has " +
                                 channelList(spec));
    const int alpha = findChannel(spec, "A");

    OIIO::ImageBuf buf(path);
    if (!buf.read(0, 0, true, OIIO::TypeDesc::FLOAT))
        throw std::runtime_error(path + ": cannot read pixels: " + buf.geterror());

    SourceImage result;
    result.spec = spec;
    if (!raw && isDisplayEncoded(spec, formatName)) {
        OIIO::ImageBuf linear;
        if (!OIIO::ImageBufAlgo::colorconvert(linear, buf, "sRGB", "linear"))
            throw std::runtime_error(path + ": cannot convert from sRGB to linear: " + linear.geterror());
        buf = std::move(linear);
        result.linearised = true;
    }

    const Box box = boxOf(spec.x, spec.y, spec.width, spec.height);
    const Box format = boxOf(spec.full_x, spec.full_y, spec.full_width, spec.full_height);
    std::vector<Channel> channels{Chan_Red, Chan_Green, Chan_Blue};
    if (alpha >= 0)
        channels.push_back(Chan_Alpha);
    result.pixels = PlanarImage(box, format, channels);

    const int source[4] = {rgb[0], rgb[1], rgb[2], alpha};
    for (std::size_t c = 0; c < channels.size(); ++c) {
        OIIO::ROI roi(box.x, box.r, box.y, box.t, 0, 1, source[c], source[c] + 1);
        float* plane = result.pixels.row(channels[c], box.y) + box.x;
        if (!buf.get_pixels(roi, OIIO::TypeDesc::FLOAT, plane))
            throw std::runtime_error(path + ": cannot read pixels: " + buf.geterror());
    }
    return result;
}

std::string temporaryPathBeside(const std::string& path)
{
    static std::atomic<int> counter{0};
    const fs::path target(path);
    const std::string name = "." + target.stem().string() + ".veilcast-" + std::to_string(getpid()) + "-" +
                             std::to_string(counter++) + target.extension().string();
    return (target.parent_path() / name).string();
}

void writeImage(const std::string& path, const PlanarImage& image, const OIIO::ImageSpec& sourceSpec,
                const WriteOptions& options)
{
    auto output = OIIO::ImageOutput::create(path);
    if (!output)
        throw std::runtime_error(path + ": cannot write: " + oiioError("unknown file format"));
    const std::string formatName = output->format_name();

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
        buf.specmod().attribute("oiio:ColorSpace", "sRGB");
    } else if (!options.raw) {
        buf.specmod().attribute("oiio:ColorSpace", "linear");
    }
    buf.set_write_format(spec.format);

    const std::string temporary = temporaryPathBeside(path);
    const bool written = buf.write(temporary, OIIO::TypeDesc::UNKNOWN, formatName);
    std::error_code ec;
    if (!written) {
        fs::remove(temporary, ec);
        throw std::runtime_error(path + ": cannot write: " + buf.geterror());
    }
    if (options.cancelled && options.cancelled()) {
        fs::remove(temporary, ec);
        throw Interrupted();
    }
    fs::rename(temporary, path, ec);
    if (ec) {
        fs::remove(temporary, ec);
        throw std::runtime_error(path + ": cannot move the finished file into place: " + ec.message());
    }
}

}  // namespace veilcast
