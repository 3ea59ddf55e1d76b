// SPDX-License-Identifier: Apache-2.0
#include "veilcast/media/Preview.h"

#include "veilcast/media/ImageWriter.h"
#include "veilcast/common/UsageError.h"
#include "veilcast/host/ParallelRows.h"
#include "veilcast/media/SrgbCurve.h"

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

// The sheet is written as light and display-encoded on the way out, but a
// matte is a measurement, not light: its panel must show value v as code v,
// so that a faint veil reads as faint. It is held as the light that the
// encoding maps back onto v.
double srgbDecoded(double v)
{
    return linearFromSrgb(v);
}

// The source pixels one panel pixel averages; when the panel is larger than
// the image, neighbours share a source pixel.
std::pair<int, int> sourceSpan(int i, int n, int from, int extent)
{
    const int a = from + static_cast<int>(static_cast<long>(i) * extent / n);
    const int b = from + static_cast<int>(static_cast<long>(i + 1) * extent / n);
    return {a, std::max(b, a + 1)};
}

}  // namespace

PanelSize previewPanelSize(int width, int height, int maxSide, int minSide)
{
    const double w = std::max(1, width), h = std::max(1, height);
    const double scale = std::min({1.0, maxSide / w, maxSide / h});
    return {std::clamp(static_cast<int>(std::lround(w * scale)), std::min(minSide, maxSide), maxSide),
            std::clamp(static_cast<int>(std::lround(h * scale)), std::min(minSide, maxSide), maxSide)};
}

PreviewSheet::PreviewSheet(const Box& box, bool resultHasAlpha)
    : box_(box), hasAlpha_(resultHasAlpha), panel_(previewPanelSize(box.w(), box.h()))
{
    const int sheetWidth = kPanels * panel_.width + (kPanels - 1) * kGap;
    sheet_ = PlanarImage(Box{0, 0, sheetWidth, panel_.height}, Box{0, 0, sheetWidth, panel_.height},
                         {Chan_Red, Chan_Green, Chan_Blue});
}

std::pair<int, int> PreviewSheet::rowsOf(int panelRow) const
{
    return sourceSpan(panelRow, panel_.height, box_.y, box_.h());
}

std::pair<int, int> PreviewSheet::columnsOf(int panelColumn) const
{
    return sourceSpan(panelColumn, panel_.width, box_.x, box_.w());
}

void PreviewSheet::add(int y0, int y1, const PlanarImage& source, const PlanarImage& result)
{
    const std::size_t sums = static_cast<std::size_t>(kPanels) * 3 * panel_.width;
    for (int py = nextPanelRow_ + static_cast<int>(open_.size()); py < panel_.height && rowsOf(py).first < y1; ++py)
        open_.emplace_back(py, std::vector<double>(sums, 0.0));
    const Channel matte = hasAlpha_ ? Chan_Alpha : Chan_Red;

    // Panel rows are independent: each sums its own pixels, row by row, in
    // the same order whatever the strips, so the sheet does not depend on them.
    parallelRows(0, static_cast<int>(open_.size()), 1, 0, [&](int first, int last) {
        for (int i = first; i < last; ++i) {
            const int py = open_[static_cast<std::size_t>(i)].first;
            std::vector<double>& sum = open_[static_cast<std::size_t>(i)].second;
            const auto [rowFrom, rowTo] = rowsOf(py);
            const int from = std::max(rowFrom, y0), to = std::min(rowTo, y1);
            for (int px = 0; px < panel_.width; ++px) {
                const auto [x0, x1] = columnsOf(px);
                const float checker = ((px / 8 + py / 8) % 2) ? 0.18f : 0.05f;
                double* s = sum.data() + static_cast<std::size_t>(px) * kPanels * 3;
                for (int y = from; y < to; ++y)
                    for (int x = x0; x < x1; ++x) {
                        const float m = finiteOrZero(result.row(matte, y)[x]);
                        const float a = hasAlpha_ ? m : 1.0f;
                        for (int c = 0; c < 3; ++c) {
                            const Channel z = static_cast<Channel>(Chan_Red + c);
                            s[c] += finiteOrZero(source.row(z, y)[x]);
                            s[3 + c] += m;
                            s[6 + c] += finiteOrZero(result.row(z, y)[x]) + (1.0f - a) * checker;
                        }
                    }
            }
        }
    });

    while (!open_.empty() && rowsOf(open_.front().first).second <= y1) {
        const int py = open_.front().first;
        const std::vector<double>& sum = open_.front().second;
        const auto [rowFrom, rowTo] = rowsOf(py);
        float* out[3] = {sheet_.row(Chan_Red, py), sheet_.row(Chan_Green, py), sheet_.row(Chan_Blue, py)};
        for (int px = 0; px < panel_.width; ++px) {
            const auto [x0, x1] = columnsOf(px);
            const double n = static_cast<double>(rowTo - rowFrom) * (x1 - x0);
            for (int p = 0; p < kPanels; ++p)
                for (int c = 0; c < 3; ++c) {
                    const double mean = sum[static_cast<std::size_t>(px) * kPanels * 3 + p * 3 + c] / n;
                    const bool values = p == 1 || (p == 2 && !hasAlpha_);  // Check Alpha's result is the matte
                    out[c][p * (panel_.width + kGap) + px] = static_cast<float>(values ? srgbDecoded(mean) : mean);
                }
        }
        open_.erase(open_.begin());
        nextPanelRow_ = py + 1;
    }
}

void PreviewSheet::write(const std::string& path) const
{
    const Box& b = sheet_.box();
    OIIO::ImageSpec spec(b.w(), b.h(), 3, OIIO::TypeDesc::UINT8);
    WriteOptions options;
    options.dataType = OIIO::TypeDesc::UINT8;
    writeImage(path, sheet_, spec, "", options);
}

void checkPreviewPath(const std::string& path)
{
    checkOutputPath(path);
    try {
        checkOutputPath(path, OIIO::TypeDesc::UINT8);
    } catch (const UsageError&) {
        throw UsageError(Wording{"", UserChoice::Preview,
                                 " writes an 8-bit sheet, which " + path + " cannot hold; name it .png, .jpg or .tif"});
    }
}

void writePreviewSheet(const std::string& path, const PlanarImage& source, const PlanarImage& result)
{
    PreviewSheet sheet(result.box(), result.has(Chan_Alpha));
    sheet.add(result.box().y, result.box().t, source, result);
    sheet.write(path);
}

}  // namespace veilcast
