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

std::string boxText(int x0, int y0, int x1, int y1)
{
    return "the pick box " + std::to_string(x0) + "," + std::to_string(y0) + "," + std::to_string(x1) + "," +
           std::to_string(y1);
}

std::string windowText(const Box& b)
{
    return "(data window " + std::to_string(b.x) + "," + std::to_string(b.y) + " to " + std::to_string(b.r - 1) +
           "," + std::to_string(b.t - 1) + ")";
}

// A box reaching outside the image is a mistake in what was asked: clipped,
// it would average other pixels than the ones meant, without a word.
void checkBoxInside(const Box& b, int x0, int y0, int x1, int y1)
{
    const bool inside = std::min(x0, x1) >= b.x && std::max(x0, x1) < b.r && std::min(y0, y1) >= b.y &&
                        std::max(y0, y1) < b.t;
    if (!inside)
        throw UsageError(boxText(x0, y0, x1, y1) + " reaches outside the image's pixels " + windowText(b));
}

// A box over pixels that are all unusable is the picture's fault (PickRefused).
[[noreturn]] void refuseBox(const Box& b, int x0, int y0, int x1, int y1)
{
    throw PickRefused(boxText(x0, y0, x1, y1) + " holds no usable pixel of the image " + windowText(b));
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
    checkBoxInside(window, x0, y0, x1, y1);
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
    checkBoxInside(box, pick[0], pick[1], pick[2], pick[3]);
    const int rows = reader.stripRows();
    const int top = std::min(pick[1], pick[3]);
    const int bottom = std::max(pick[1], pick[3]) + 1;
    const int first = box.y + (top - box.y) / rows * rows;
    const int last = std::min(box.t, box.y + (bottom - box.y + rows - 1) / rows * rows);
    PlanarImage strips = reader.makeStrip(first, last);
    for (int y = first; y < last; y += rows)
        reader.read(y, std::min(last, y + rows), strips);
    return pickInBox(strips, box, pick[0], pick[1], pick[2], pick[3]);
}

// The sample's grid of one strip of rows.
void sampleStrip(const PlanarImage& strip, int y0, int y1, PlateSample& sample)
{
    const Box& box = sample.box;
    const std::size_t plane = static_cast<std::size_t>(sample.width) * sample.height;
    for (int row = y0 + (sample.step - (y0 - box.y) % sample.step) % sample.step; row < y1; row += sample.step)
        for (int c = 0; c < 3; ++c) {
            const float* in = strip.row(static_cast<Channel>(Chan_Red + c), row) + box.x;
            float* out = sample.pixels.data() + c * plane +
                         static_cast<std::size_t>((row - box.y) / sample.step) * sample.width;
            for (int x = 0; x < sample.width; ++x)
                out[x] = in[static_cast<std::size_t>(x) * sample.step];
        }
}

PlateSample emptySample(const Box& box)
{
    PlateSample sample;
    sample.box = box;
    sample.step = zav::autoPickStep(box.w(), box.h());
    sample.width = (box.w() + sample.step - 1) / sample.step;
    sample.height = (box.h() + sample.step - 1) / sample.step;
    sample.pixels.assign(static_cast<std::size_t>(sample.width) * sample.height * 3, 0.0f);
    return sample;
}

PlateSample sampleFile(ImageReader& reader)
{
    const Box& box = reader.box();
    PlateSample sample = emptySample(box);
    const int rows = reader.stripRows();
    for (int y = box.y; y < box.t; y += rows) {
        const int yEnd = std::min(box.t, y + rows);
        PlanarImage strip = reader.makeStrip(y, yEnd);
        reader.read(y, yEnd, strip);
        sampleStrip(strip, y, yEnd, sample);
    }
    return sample;
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
        return pickAuto(sampleFile(reader).planes());
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

Colour pickScreenAuto(const PlateSample& sample, const std::string& what)
{
    try {
        return pickAuto(sample.planes());
    } catch (const std::invalid_argument&) {
        rethrowPickError(what);
    }
}

zav::RgbPlanes PlateSample::planes() const
{
    const std::size_t plane = static_cast<std::size_t>(width) * height;
    zav::RgbPlanes planes;
    planes.red = pixels.data(), planes.green = pixels.data() + plane, planes.blue = pixels.data() + 2 * plane;
    planes.width = width, planes.height = height, planes.stride = width;
    return planes;
}

PlateSample samplePlate(const PlanarImage& image)
{
    PlateSample sample = emptySample(image.box());
    if (!sample.pixels.empty())
        sampleStrip(image, image.box().y, image.box().t, sample);
    return sample;
}

PlateSample samplePlateFile(const std::string& path, const ReadOptions& read)
{
    ImageReader reader(path, read);
    return sampleFile(reader);
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
