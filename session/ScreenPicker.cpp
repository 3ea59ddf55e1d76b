// SPDX-License-Identifier: Apache-2.0
#include "veilcast/session/ScreenPicker.h"

#include "veilcast/host/UsageError.h"

#include <OpenImageIO/strutil.h>

#include <stdexcept>

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

}  // namespace

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
        throw UsageError("--pick-screen takes X0,Y0,X1,Y1 in pixels or \"auto\", not \"" + text + "\"");
    return box;
}

Colour pickScreenInBox(const PlanarImage& image, int x0, int y0, int x1, int y1)
{
    const Box& b = image.box();
    Colour mean{};
    if (!zav::boxAverage(planesOf(image), x0 - b.x, y0 - b.y, x1 - b.x, y1 - b.y, mean))
        throw std::invalid_argument("the pick box " + std::to_string(x0) + "," + std::to_string(y0) + "," +
                                    std::to_string(x1) + "," + std::to_string(y1) +
                                    " holds no usable pixel of the image (data window " + std::to_string(b.x) +
                                    "," + std::to_string(b.y) + " to " + std::to_string(b.r - 1) + "," +
                                    std::to_string(b.t - 1) + ")");
    return mean;
}

Colour pickScreenAuto(const PlanarImage& image)
{
    return zav::pickScreenAuto(planesOf(image));
}

}  // namespace veilcast
