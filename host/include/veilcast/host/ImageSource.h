// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/host/PlanarImage.h"

#include "DDImage/Iop.h"

namespace veilcast {

// An operator at the start of a graph, as a host's file reader is: no
// inputs, nothing to ask of any.
class SourceOp : public DD::Image::Iop {
public:
    SourceOp() : Iop(nullptr) {}
    int minimum_inputs() const override { return 0; }
    int maximum_inputs() const override { return 0; }
    void _request(int, int, int, int, const DD::Image::ChannelSet&, int) override {}
};

// An input operator that serves an in-memory image, as a host's file reader
// would: its description is the image's box, format and channels; pixels
// outside the box and channels the image lacks read as zero.
class ImageSource : public SourceOp {
public:
    explicit ImageSource(const PlanarImage& image);

    void _validate(bool for_real) override;
    const char* Class() const override { return "VeilcastImageSource"; }
    const char* node_help() const override { return "Serves an in-memory image.\n"; }
    void engine(int y, int x, int r, const DD::Image::ChannelSet& channels,
                DD::Image::Row& out) override;

private:
    const PlanarImage& image_;
};

}  // namespace veilcast
