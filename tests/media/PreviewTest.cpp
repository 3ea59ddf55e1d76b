// SPDX-License-Identifier: Apache-2.0
#include "veilcast/media/Preview.h"

#include <OpenImageIO/imageio.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace {

using namespace veilcast;
using namespace DD::Image;
namespace fs = std::filesystem;

TEST(Preview, PanelsKeepAspectWithinSaneBounds)
{
    const struct {
        int w, h;
        PanelSize want;
    } cases[] = {
        {4096, 2160, {640, 338}}, {100, 50, {100, 50}}, {20000, 4, {640, 32}},
        {4, 20000, {32, 640}},    {10, 10, {32, 32}},   {1, 1, {32, 32}},
    };
    for (const auto& c : cases) {
        const PanelSize got = previewPanelSize(c.w, c.h);
        EXPECT_EQ(got.width, c.want.width) << c.w << "x" << c.h;
        EXPECT_EQ(got.height, c.want.height) << c.w << "x" << c.h;
    }
}

// The sRGB encoding to 8 bits, from its definition.
int srgbCode(double linear)
{
    const double v = linear <= 0.0031308 ? linear * 12.92 : 1.055 * std::pow(linear, 1 / 2.4) - 0.055;
    return static_cast<int>(std::lround(std::clamp(v, 0.0, 1.0) * 255));
}

// Flat source and result, given in strips: every pixel of every panel, the
// last row and images smaller than a panel included, holds their colour. The
// matte panel holds the alpha as a value (0.012 is code 3, not the 28 of its
// sRGB encoding); the result panel shows the checkerboard through what the
// alpha leaves, or, with Check Alpha (the matte in R, G, B), the matte as values too.
TEST(Preview, EveryPanelPixelHoldsTheAverage)
{
    const fs::path dir = fs::path(::testing::TempDir()) / ("veilcast-preview-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const float source[3] = {0.2f, 0.4f, 0.6f}, keyed[3] = {0.1f, 0.05f, 0.3f};
    const struct {
        int w, h, strip;
        float alpha;
        int matteCode;
        bool checkAlpha = false;
    } cases[] = {{10, 6, 4, 1.0f, 255}, {700, 90, 7, 0.012f, 3}, {20, 300, 64, 0.5f, 128}, {30, 20, 8, 0.012f, 3, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        const Box box{3, 5, 3 + c.w, 5 + c.h};
        PlanarImage in(box, box, {Chan_Red, Chan_Green, Chan_Blue}), out(box, box, {Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha});
        if (c.checkAlpha)
            out = PlanarImage(box, box, {Chan_Red, Chan_Green, Chan_Blue});
        for (int y = box.y; y < box.t; ++y)
            for (int x = box.x; x < box.r; ++x) {
                for (int k = 0; k < 3; ++k) {
                    in.row(static_cast<Channel>(Chan_Red + k), y)[x] = source[k];
                    out.row(static_cast<Channel>(Chan_Red + k), y)[x] = c.checkAlpha ? c.alpha : keyed[k];
                }
                if (!c.checkAlpha)
                    out.row(Chan_Alpha, y)[x] = c.alpha;
            }
        PreviewSheet sheet(box, !c.checkAlpha);
        for (int y = box.y; y < box.t; y += c.strip)
            sheet.add(y, std::min(box.t, y + c.strip), in, out);
        const std::string file = (dir / "sheet.png").string();
        sheet.write(file);

        auto read = OIIO::ImageInput::open(file);
        ASSERT_TRUE(read);
        const OIIO::ImageSpec& spec = read->spec();
        const PanelSize panel = previewPanelSize(c.w, c.h);
        ASSERT_EQ(spec.height, panel.height);
        ASSERT_EQ(spec.width, 3 * panel.width + 2 * 4);
        std::vector<unsigned char> codes(spec.image_pixels() * 3);
        ASSERT_TRUE(read->read_image(0, 0, 0, 3, OIIO::TypeDesc::UINT8, codes.data()));
        int wrong = 0;
        for (int p = 0; p < 3; ++p)
            for (int y = 0; y < panel.height; ++y)
                for (int x = 0; x < panel.width; ++x)
                    for (int k = 0; k < 3; ++k) {
                        const double checker = (x / 8 + y / 8) % 2 ? 0.18 : 0.05;
                        const int want = p == 0                    ? srgbCode(source[k])
                                         : p == 1 || c.checkAlpha ? c.matteCode
                                                                  : srgbCode(keyed[k] + (1 - c.alpha) * checker);
                        const int got = codes[(static_cast<std::size_t>(y) * spec.width + p * (panel.width + 4) + x) * 3 + k];
                        if (std::abs(got - want) > 1 && wrong++ < 5)
                            ADD_FAILURE() << "panel " << p << " pixel " << x << "," << y << ": " << got << ", not " << want;
                    }
        EXPECT_EQ(wrong, 0);
    }
    fs::remove_all(dir);
}

}  // namespace
