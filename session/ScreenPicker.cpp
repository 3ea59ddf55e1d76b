// SPDX-License-Identifier: Apache-2.0
#include "veilcast/session/ScreenPicker.h"

#include "veilcast/common/UsageError.h"
#include "veilcast/media/ImageReader.h"

#include <OpenImageIO/strutil.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace veilcast {

using namespace DD::Image;

namespace {

zav::RgbPlanes planesOf(const PlanarImage& image)
{
    const Box& b = image.box();
    zav::RgbPlanes planes;
    planes.width = b.w();
    planes.height = b.h();
    if (planes.width <= 0 || planes.height <= 0)
        return planes;
    planes.red = image.row(Chan_Red, b.y) + b.x;
    planes.green = image.row(Chan_Green, b.y) + b.x;
    planes.blue = image.row(Chan_Blue, b.y) + b.x;
    planes.stride = planes.height > 1 ? image.row(Chan_Red, b.y + 1) - image.row(Chan_Red, b.y) : planes.width;
    return planes;
}

// A box that misses the image is a mistake in what was asked (UsageError);
// one over pixels that are all unusable is the picture's (PickRefused).
[[noreturn]] void refuseBox(const Box& b, int x0, int y0, int x1, int y1)
{
    const std::string what = "the pick box " + std::to_string(x0) + "," + std::to_string(y0) + "," +
                             std::to_string(x1) + "," + std::to_string(y1) +
                             " holds no usable pixel of the image (data window " + std::to_string(b.x) + "," +
                             std::to_string(b.y) + " to " + std::to_string(b.r - 1) + "," + std::to_string(b.t - 1) +
                             ")";
    const bool misses = std::max(x0, x1) < b.x || std::min(x0, x1) >= b.r || std::max(y0, y1) < b.y ||
                        std::min(y0, y1) >= b.t;
    if (misses)
        throw UsageError(what);
    throw PickRefused(what);
}

Colour pickAuto(const zav::RgbPlanes& planes)
{
    try {
        return zav::pickScreenAuto(planes);
    } catch (const std::invalid_argument& e) {
        throw PickRefused(Wording{e.what(), UserChoice::PickBox, ""});
    }
}

// The error of a pick on `what` (a file, a frame), of the same kind.
[[noreturn]] void rethrowPickError(const std::string& what)
{
    try {
        throw;
    } catch (const UsageError& e) {
        throw UsageError(e.prefixed(what + ": "));
    } catch (const PickRefused& e) {
        throw Failure(e.prefixed(what + ": ").wording());
    }
}

Colour pickInBox(const PlanarImage& image, const Box& window, int x0, int y0, int x1, int y1)
{
    const Box& b = image.box();
    Colour mean{};
    if (!zav::boxAverage(planesOf(image), x0 - b.x, y0 - b.y, x1 - b.x, y1 - b.y, mean))
        refuseBox(window, x0, y0, x1, y1);
    return mean;
}

// Only the strips holding rows y0..y1 of the box are read.
Colour pickInFileBox(ImageReader& reader, const std::array<int, 4>& pick)
{
    const Box& box = reader.box();
    const int rows = reader.stripRows();
    const int top = std::max(std::min(pick[1], pick[3]), box.y);
    const int bottom = std::min(std::max(pick[1], pick[3]) + 1, box.t);
    if (top >= bottom)
        refuseBox(box, pick[0], pick[1], pick[2], pick[3]);
    const int first = box.y + (top - box.y) / rows * rows;
    const int last = std::min(box.t, box.y + (bottom - box.y + rows - 1) / rows * rows);
    PlanarImage strips = reader.makeStrip(first, last);
    for (int y = first; y < last; y += rows)
        reader.read(y, std::min(last, y + rows), strips);
    return pickInBox(strips, box, pick[0], pick[1], pick[2], pick[3]);
}

// The rows and columns the automatic pick examines, gathered into a frame
// of their own small enough that it examines all of it.
Colour pickInFileAuto(ImageReader& reader)
{
    const Box& box = reader.box();
    const int step = zav::autoPickStep(box.w(), box.h());
    const int width = (box.w() + step - 1) / step, height = (box.h() + step - 1) / step;
    std::vector<float> grid(static_cast<std::size_t>(width) * height * 3);
    float* planes[3] = {grid.data(), grid.data() + static_cast<std::size_t>(width) * height,
                        grid.data() + 2 * static_cast<std::size_t>(width) * height};
    const int rows = reader.stripRows();
    for (int y = box.y; y < box.t; y += rows) {
        const int yEnd = std::min(box.t, y + rows);
        PlanarImage strip = reader.makeStrip(y, yEnd);
        reader.read(y, yEnd, strip);
        for (int row = y + (step - (y - box.y) % step) % step; row < yEnd; row += step)
            for (int c = 0; c < 3; ++c) {
                const float* in = strip.row(static_cast<Channel>(Chan_Red + c), row) + box.x;
                float* out = planes[c] + static_cast<std::size_t>((row - box.y) / step) * width;
                for (int x = 0; x < width; ++x)
                    out[x] = in[static_cast<std::size_t>(x) * step];
            }
    }
    zav::RgbPlanes sampled;
    sampled.red = planes[0], sampled.green = planes[1], sampled.blue = planes[2];
    sampled.width = width, sampled.height = height, sampled.stride = width;
    return pickAuto(sampled);
}

}  // namespace

Colour pickScreenInBox(const PlanarImage& image, int x0, int y0, int x1, int y1)
{
    return pickInBox(image, image.box(), x0, y0, x1, y1);
}

Colour pickScreenInFile(const std::string& path, const ScreenPick& pick, const ReadOptions& read)
{
    ImageReader reader(path, read);
    try {
        if (pick.kind == ScreenPick::Kind::Box)
            return pickInFileBox(reader, pick.box);
        return pickInFileAuto(reader);
    } catch (const std::invalid_argument&) {
        rethrowPickError(path);
    }
}

Colour pickScreen(const PlanarImage& image, const ScreenPick& pick, const std::string& what)
{
    const auto& b = pick.box;
    try {
        return pick.kind == ScreenPick::Kind::Box ? pickScreenInBox(image, b[0], b[1], b[2], b[3])
                                                  : pickScreenAuto(image);
    } catch (const std::invalid_argument&) {
        rethrowPickError(what);
    }
}

Colour pickScreenAuto(const PlanarImage& image)
{
    return pickAuto(planesOf(image));
}

std::array<int, 4> parsePickBox(const std::string& text)
{
    const auto parts = OIIO::Strutil::splits(text, ",");
    std::array<int, 4> box{};
    bool ok = parts.size() == 4;
    for (std::size_t i = 0; ok && i < 4; ++i) {
        const std::string part(OIIO::Strutil::strip(parts[i]));
        ok = OIIO::Strutil::string_is_int(part);
        if (ok)
            box[i] = OIIO::Strutil::stoi(part);
    }
    if (!ok)
        throw UsageError(Wording{"", UserChoice::PickScreen, " takes X0,Y0,X1,Y1 in pixels or \"auto\", not \"" + text + "\""});
    return box;
}

}  // namespace veilcast
