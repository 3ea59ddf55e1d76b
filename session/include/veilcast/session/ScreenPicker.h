// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/common/UsageError.h"
#include "veilcast/host/PlanarImage.h"
#include "veilcast/core/ScreenPicking.h"
#include "veilcast/media/ImageReader.h"

#include <array>
#include <string>
#include <vector>

namespace veilcast {

using zav::Colour;

// Thrown when the picture gives no screen colour: why, and (as a Wording)
// the choice that would do better.
using PickRefused = WordedError<std::invalid_argument>;

// The mean colour of the pixels in the rectangle x0..x1, y0..y1 (inclusive,
// either corner first, in the image's pixel coordinates), as an eyedropper
// box dragged over the backing. Non-finite pixels are skipped. Throws
// UsageError when the rectangle misses the image, PickRefused when it holds
// no usable pixel.
Colour pickScreenInBox(const PlanarImage& image, int x0, int y0, int x1, int y1);

// The backing colour found unaided: zav::pickScreenAuto over the image's
// planes. Throws PickRefused, suggesting a box, when there is no plausible
// backing.
Colour pickScreenAuto(const PlanarImage& image);

// Where the screen colour comes from.
struct ScreenPick {
    enum class Kind { None, Box, Auto } kind = Kind::None;
    std::array<int, 4> box{};
};

// A plate read on the grid zav::autoPickStep gives for its data window:
// every `step`-th row and column from the first. The automatic pick, the
// screen map and the clips are all found from it, so a file is read for it
// once, a strip at a time, and working memory stays small whatever its size.
struct PlateSample {
    DD::Image::Box box;         // the plate's data window
    int step = 1;
    int width = 0, height = 0;  // the sample's
    std::vector<float> pixels;  // red, green, blue planes, each `height` rows of `width`
    zav::RgbPlanes planes() const;
};
PlateSample samplePlate(const PlanarImage& image);
// Throws std::runtime_error naming the file when it cannot be read.
PlateSample samplePlateFile(const std::string& path, const ReadOptions& read);

// The colour zav::pickScreenAuto finds on a plate's sample. Throws Failure
// naming `what` (the file or frame), suggesting a box, when there is no
// plausible backing.
Colour pickScreenAuto(const PlateSample& sample, const std::string& what);

// The pick made on an image file, reading only what it needs: the rows of a
// box; for Auto, the plate's sample, so the colour equals the one picked on
// the whole frame. Throws as pickScreen does, naming the file.
Colour pickScreenInFile(const std::string& path, const ScreenPick& pick, const ReadOptions& read);

// The pick (Box or Auto) made on an image in memory. Throws UsageError for a
// box that misses it, Failure when the picture gives no colour, each naming
// `what` (the file or frame).
Colour pickScreen(const PlanarImage& image, const ScreenPick& pick, const std::string& what);

// Parses "X0,Y0,X1,Y1"; throws UsageError.
std::array<int, 4> parsePickBox(const std::string& text);

}  // namespace veilcast
