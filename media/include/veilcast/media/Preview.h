// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/host/PlanarImage.h"

#include <string>
#include <utility>
#include <vector>

namespace veilcast {

// The size of one panel of a preview sheet for an image of `width` x
// `height`: it fits in `maxSide` x `maxSide` keeping the aspect, but no side
// is shorter than `minSide`, so that extreme shapes stay visible.
struct PanelSize {
    int width, height;
};
PanelSize previewPanelSize(int width, int height, int maxSide = 640, int minSide = 32);

// A contact sheet for looking at a key, built while the strips of a frame go
// by, so no full-size frame is needed: the source, the matte, and the result
// composited over a checkerboard, side by side, 8-bit: the source and the
// result sRGB-encoded, the matte as values (alpha v is code v * 255). Each
// panel is an area average of the full image. When the result has no alpha
// (matte inspection), its red channel serves as the matte and the result
// panel shows the result as it is, a matte, as values too.
class PreviewSheet {
public:
    PreviewSheet(const DD::Image::Box& box, bool resultHasAlpha);
    // Takes rows y0..y1-1 of the source and the result; strips come top to
    // bottom, each once.
    void add(int y0, int y1, const PlanarImage& source, const PlanarImage& result);
    // Writes the sheet once every row has been added. Throws
    // std::runtime_error naming the file.
    void write(const std::string& path) const;

private:
    std::pair<int, int> rowsOf(int panelRow) const;
    std::pair<int, int> columnsOf(int panelColumn) const;

    DD::Image::Box box_;
    bool hasAlpha_;
    PanelSize panel_;
    PlanarImage sheet_;
    int nextPanelRow_ = 0;
    // Running sums of the panel rows still open: panels x channels x columns.
    std::vector<std::pair<int, std::vector<double>>> open_;
};

// Writes a contact sheet for looking at a key: the source, the matte (as
// values), and the result composited over a checkerboard (sRGB-encoded), 8-bit.
// Each panel is an area average of the full image, computed straight from the
// planes on all cores. When the result has no alpha (matte inspection), its
// red channel serves as the matte and the result panel shows the result as
// it is, a matte, as values. Throws std::runtime_error naming the file.
void writePreviewSheet(const std::string& path, const PlanarImage& source, const PlanarImage& result);

// Refuses, before any work, a place a sheet cannot be written to, as an
// output's place is refused, and a format that cannot hold its 8 bits
// (UsageError naming the preview).
void checkPreviewPath(const std::string& path);

}  // namespace veilcast
