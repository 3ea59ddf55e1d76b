// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/core/ScreenMap.h"

#include "veilcast/host/ImageSource.h"

namespace veilcast {

// An input operator that serves a screen map as an image, the map keyer's
// second input: red, green and blue are the screen colour of each pixel of
// `box`, the data window of the plate the map was made for (map pixel (0, 0)
// is the box's first). Pixels outside the box take the colour of the
// nearest pixel inside it, so the screen never turns black at an edge.
class ScreenMapSource : public SourceOp {
public:
    ScreenMapSource(const zav::ScreenMap& map, const DD::Image::Box& box);

    void _validate(bool for_real) override;
    const char* Class() const override { return "VeilcastScreenMapSource"; }
    const char* node_help() const override { return "Serves a screen map.\n"; }
    void engine(int y, int x, int r, const DD::Image::ChannelSet& channels,
                DD::Image::Row& out) override;

private:
    const zav::ScreenMap& map_;
    DD::Image::Box box_;
};

}  // namespace veilcast
