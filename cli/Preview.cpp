#include "Preview.h"

#include "ImageFiles.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

namespace veilcast {

using namespace DD::Image;

namespace {

// An RGB float buffer over the image's data window from three planes,
// made by `pixel(x, y, rgb)`.
template <class PixelFn>
OIIO::ImageBuf makePanel(const Box& box, PixelFn pixel)
{
    OIIO::ImageBuf buf(OIIO::ImageSpec(box.w(), box.h(), 3, OIIO::TypeDesc::FLOAT));
    float rgb[3];
    for (int y = box.y; y < box.t; ++y)
        for (int x = box.x; x < box.r; ++x) {
            pixel(x, y, rgb);
            buf.setpixel(x - box.x, y - box.y, rgb, 3);
        }
    return buf;
}

float finiteOrZero(float v)
{
    return std::isfinite(v) ? v : 0.0f;
}

}  // namespace

void writePreviewSheet(const std::string& path, const PlanarImage& source, const PlanarImage& result,
                       int panelWidth)
{
    const Box& box = result.box();
    const bool hasAlpha = result.has(Chan_Alpha);
    const Channel matteChannel = hasAlpha ? Chan_Alpha : Chan_Red;
    const auto value = [](const PlanarImage& img, Channel z, int x, int y) {
        const float* row = img.row(z, y);
        return row ? finiteOrZero(row[x]) : 0.0f;
    };

    OIIO::ImageBuf panels[3] = {
        makePanel(box,
                  [&](int x, int y, float* rgb) {
                      for (int c = 0; c < 3; ++c)
                          rgb[c] = value(source, static_cast<Channel>(Chan_Red + c), x, y);
                  }),
        makePanel(box,
                  [&](int x, int y, float* rgb) { rgb[0] = rgb[1] = rgb[2] = value(result, matteChannel, x, y); }),
        makePanel(box,
                  [&](int x, int y, float* rgb) {
                      const float a = hasAlpha ? value(result, Chan_Alpha, x, y) : 1.0f;
                      const float checker = (((x - box.x) / 16 + (y - box.y) / 16) % 2) ? 0.18f : 0.05f;
                      for (int c = 0; c < 3; ++c)
                          rgb[c] = value(result, static_cast<Channel>(Chan_Red + c), x, y) + (1.0f - a) * checker;
                  }),
    };

    const int w = std::min(panelWidth, std::max(1, box.w()));
    const int h = std::max(1, static_cast<int>(static_cast<long>(box.h()) * w / std::max(1, box.w())));
    const int gap = 4;
    OIIO::ImageBuf sheet(OIIO::ImageSpec(3 * w + 2 * gap, h, 3, OIIO::TypeDesc::FLOAT));
    OIIO::ImageBufAlgo::zero(sheet);
    for (int i = 0; i < 3; ++i) {
        OIIO::ImageBuf small;
        if (!OIIO::ImageBufAlgo::resize(small, panels[i], "", 0.0f, OIIO::ROI(0, w, 0, h, 0, 1, 0, 3)) ||
            !OIIO::ImageBufAlgo::paste(sheet, i * (w + gap), 0, 0, 0, small))
            throw std::runtime_error(path + ": cannot make the preview: " + OIIO::geterror());
    }
    OIIO::ImageSpec spec = sheet.spec();
    spec.format = OIIO::TypeDesc::UINT8;
    PlanarImage planar(Box{0, 0, sheet.spec().width, h}, Box{0, 0, sheet.spec().width, h},
                       {Chan_Red, Chan_Green, Chan_Blue});
    for (int c = 0; c < 3; ++c)
        sheet.get_pixels(OIIO::ROI(0, sheet.spec().width, 0, h, 0, 1, c, c + 1), OIIO::TypeDesc::FLOAT,
                         planar.row(static_cast<Channel>(Chan_Red + c), 0));
    WriteOptions options;
    options.dataType = OIIO::TypeDesc::UINT8;
    writeImage(path, planar, spec, options);
}

}  // namespace veilcast
