// SPDX-License-Identifier: Apache-2.0
#include "veilcast/media/ImageFiles.h"
#include "veilcast/media/ColourSpaces.h"

#include "CheckedFileProxy.h"
#include "veilcast/host/UsageError.h"
#include "FileFormats.h"
#include "veilcast/host/Cancellation.h"
#include "veilcast/media/Metadata.h"
#include "veilcast/media/PendingOutput.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/strutil.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace veilcast {

using namespace DD::Image;
namespace fs = std::filesystem;

namespace {

const char* const kChannelNames[] = {"R", "G", "B", "A"};

}  // namespace

void checkOutputPath(const std::string& path, OIIO::TypeDesc dataType, bool withAlpha)
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
    const auto output = OIIO::ImageOutput::create(path);
    if (!output)
        throw UsageError(path + ": cannot write this kind of file: " + oiioError("unknown file format"));
    try {
        checkDataType(output->format_name(), dataType);
    } catch (const UsageError& e) {
        throw UsageError(path + ": " + e.what());
    }
    if (withAlpha && !output->supports("alpha"))
        throw UsageError(path + ": " + output->format_name() + " files hold no alpha, and the result has a matte in "
                         "alpha; write " + formatsWithAlpha() + ", or turn Check Alpha on for the matte alone");
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
                const std::string& sourceFormat, const WriteOptions& options)
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
    const std::string formatName = output->format_name();
    spec.format = outputDataType(formatName, sourceSpec.format, options.dataType);
    if (image.has(Chan_Alpha) && !output->supports("alpha"))
        throw UsageError(path + ": " + formatName + " files hold no alpha; write " + formatsWithAlpha());
    carryMetadata(sourceSpec, sourceFormat, formatName, options.settings, spec, options.dateTime);

    OIIO::ImageSpec floatSpec = spec;
    floatSpec.format = OIIO::TypeDesc::FLOAT;
    OIIO::ImageBuf buf(floatSpec);
    for (int c = 0; c < nchannels; ++c) {
        const Channel z = image.channels()[static_cast<std::size_t>(c)];
        OIIO::ROI roi(box.x, box.r, box.y, box.t, 0, 1, c, c + 1);
        buf.set_pixels(roi, OIIO::TypeDesc::FLOAT, image.row(z, box.y) + box.x);
    }
    const std::string managedSpace = options.colour && !options.raw ? options.colour->outputSpace(sourceSpec) : "";
    const bool encode = !options.raw && !storesLinear(formatName) && !spec.format.is_floating_point();
    if (!managedSpace.empty()) {
        options.colour->apply(buf, options.colour->sceneLinear(), managedSpace, path);
        spec.attribute("oiio:ColorSpace", managedSpace);
    } else if (encode) {
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
    // The TIFF writer loses its directory when it writes EXIF data through a
    // proxy; it writes by path, in the private folder, and is read back whole.
    const bool checked = formatName != "tiff" && output->supports("ioproxy") && output->set_ioproxy(&proxy);
    // The library's messages name the file it was given: the user knows only the target.
    const auto fail = [&](std::string why) {
        output.reset();
        why = OIIO::Strutil::replace(why, pending.path(), path, true);
        return std::runtime_error(path + ": cannot write: " + why);
    };
    if (!output->open(pending.path(), spec))
        throw fail(oiioError("unknown error", output->geterror()));
    // A writer that cannot store the type asked for converts without a word; refuse instead.
    if (output->spec().format != spec.format)
        throw UsageError(path + ": " + formatName + " files cannot hold " + spec.format.c_str() + " data");
    const bool wrote = buf.write(
        output.get(),
        [](void* report, float done) {
            const auto& progress = *static_cast<const std::function<void(double)>*>(report);
            if (progress)
                progress(static_cast<double>(done));
            return false;
        },
        const_cast<std::function<void(double)>*>(&options.progress));
    const bool closed = output->close();
    // A failed write of our own is the cause, whatever the library made of it.
    if (proxy.failure())
        throw fail(std::strerror(proxy.failure()));
    if (!wrote)
        throw fail(oiioError("unknown error", buf.geterror()));
    if (!closed)
        throw fail(oiioError("unknown error", output->geterror()));
    output.reset();
    // What is moved into place must at least open as the image written; a
    // writer we could not watch must read back whole.
    auto check = OIIO::ImageInput::open(pending.path());
    const bool opens = check && check->spec().width == spec.width && check->spec().height == spec.height &&
                       check->spec().nchannels == spec.nchannels;
    std::vector<float> pixels(checked || !opens ? 0 : static_cast<std::size_t>(spec.width) * spec.height * spec.nchannels);
    if (!opens || (!checked && !check->read_image(0, 0, 0, spec.nchannels, OIIO::TypeDesc::FLOAT, pixels.data())))
        throw fail("the written file does not read back as written: " +
                   oiioError("unknown error", check ? check->geterror() : std::string()));
    check.reset();
    if (options.cancelled && options.cancelled())
        throw Cancelled();
    pending.commit();
}

}  // namespace veilcast
