// SPDX-License-Identifier: Apache-2.0
#include "veilcast/media/Preview.h"

#include "veilcast/media/ImageFiles.h"
#include "veilcast/host/ParallelRows.h"

#include <algorithm>
#include <cmath>

namespace veilcast {

using namespace DD::Image;

namespace {

constexpr int kPanels = 3;
constexpr int kGap = 4;

float finiteOrZero(float v)
{
    return std::isfinite(v) ? v : 0.0f;
}

}  // namespace

PanelSize previewPanelSize(int width, int height, int maxSide, int minSide)
{
    const double w = std::max(1, width), h = std::max(1, height);
    const double scale = std::min({1.0, maxSide / w, maxSide / h});
    return {std::clamp(static_cast<int>(std::lround(w * scale)), std::min(minSide, maxSide), maxSide),
            std::clamp(static_cast<int>(std::lround(h * scale)), std::min(minSide, maxSide), maxSide)};
}

void writePreviewSheet(const std::string& path, const PlanarImage& source, const PlanarImage& result)
{
    const Box& box = result.box();
    const PanelSize panel = previewPanelSize(box.w(), box.h());
    const int sheetWidth = kPanels * panel.width + (kPanels - 1) * kGap;
    PlanarImage sheet(Box{0, 0, sheetWidth, panel.height}, Box{0, 0, sheetWidth, panel.height},
                      {Chan_Red, Chan_Green, Chan_Blue});
    const bool hasAlpha = result.has(Chan_Alpha);
    const Channel matte = hasAlpha ? Chan_Alpha : Chan_Red;
    const auto sourceSpan = [&](int i, int n, int from, int extent) {
        const int a = from + static_cast<int>(static_cast<long>(i) * extent / n);
        const int b = from + static_cast<int>(static_cast<long>(i + 1) * extent / n);
        return std::pair<int, int>(a, std::max(b, a + 1));
    };

    parallelRows(0, panel.height, 4, 0, [&](int first, int last) {
        for (int py = first; py < last; ++py) {
            const auto [y0, y1] = sourceSpan(py, panel.height, box.y, box.h());
            float* out[3] = {sheet.row(Chan_Red, py), sheet.row(Chan_Green, py), sheet.row(Chan_Blue, py)};
            for (int px = 0; px < panel.width; ++px) {
                const auto [x0, x1] = sourceSpan(px, panel.width, box.x, box.w());
                // The checker is drawn at the panel's scale, so it shows at any image size.
                const float checker = ((px / 8 + py / 8) % 2) ? 0.18f : 0.05f;
                double sum[kPanels][3] = {};
                for (int y = y0; y < y1; ++y)
                    for (int x = x0; x < x1; ++x) {
                        const float m = finiteOrZero(result.row(matte, y)[x]);
                        const float a = hasAlpha ? m : 1.0f;
                        for (int c = 0; c < 3; ++c) {
                            const Channel z = static_cast<Channel>(Chan_Red + c);
                            sum[0][c] += finiteOrZero(source.row(z, y)[x]);
                            sum[1][c] += m;
                            sum[2][c] += finiteOrZero(result.row(z, y)[x]) + (1.0f - a) * checker;
                        }
                    }
                const double n = static_cast<double>(y1 - y0) * (x1 - x0);
                for (int p = 0; p < kPanels; ++p)
                    for (int c = 0; c < 3; ++c)
                        out[c][p * (panel.width + kGap) + px] = static_cast<float>(sum[p][c] / n);
            }
        }
    });

    OIIO::ImageSpec spec(sheetWidth, panel.height, 3, OIIO::TypeDesc::UINT8);
    WriteOptions options;
    options.dataType = OIIO::TypeDesc::UINT8;
    writeImage(path, sheet, spec, "", options);
}

}  // namespace veilcast
