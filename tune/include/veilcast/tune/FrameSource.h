// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/host/PlanarImage.h"
#include "veilcast/media/ImageReader.h"

#include <memory>
#include <string>
#include <vector>

namespace veilcast::tune {

// Where the tuner's frames come from. Kept this small so that a movie reader
// can stand in for the image files without the tuner changing.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    // The frame numbers there are, ascending; one (0) for a single image.
    virtual const std::vector<int>& frames() const = 0;
    virtual bool isSequence() const = 0;
    // The frame's pixels at full resolution, as `veilcast` would key them.
    // Throws std::runtime_error naming what could not be read.
    virtual PlanarImage read(int frame) const = 0;
    // What the user sees for the frame (its file name).
    virtual std::string describe(int frame) const = 0;
};

// An image file, or a sequence pattern (plate.####.exr, plate.%04d.exr) whose
// frames are found by listing its folder (scanSequenceFolder). Throws
// UsageError when a pattern has no frame at all.
std::unique_ptr<FrameSource> openImageFiles(const std::string& input, const ReadOptions& options);

// A movie's frames, numbered from 1, decoded as `veilcast` decodes them to
// key, with keying's read options: in linear light unless `raw`, the video
// stream `part` names, and frames over `maxPixels` refused (Failure) before
// any is decoded. Throws std::runtime_error naming the file when it cannot
// be read.
std::unique_ptr<FrameSource> openMovie(const std::string& path, const ReadOptions& read);

}  // namespace veilcast::tune
