// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "DDImage/ChannelSet.h"
#include "DDImage/Iop.h"

#include <cstddef>
#include <vector>

namespace veilcast {

// An in-memory float image, one plane per channel, rows contiguous. `box` is
// where pixels are stored (the data window), `format` the full frame.
class PlanarImage {
public:
    PlanarImage() = default;
    PlanarImage(const DD::Image::Box& box, const DD::Image::Box& format,
                std::vector<DD::Image::Channel> channels, float fill = 0.0f);

    // Takes another box, format and channels over the same storage, its
    // pixels left as they were: for an image whose every pixel is written
    // next (a strip of a frame after the one before it), so that neither an
    // allocation nor a fill is paid for each.
    void reshape(const DD::Image::Box& box, const DD::Image::Box& format, std::vector<DD::Image::Channel> channels);

    const DD::Image::Box& box() const { return box_; }
    const DD::Image::Box& format() const { return format_; }
    const std::vector<DD::Image::Channel>& channels() const { return channels_; }
    DD::Image::ChannelSet channelSet() const;
    bool has(DD::Image::Channel z) const { return planeIndex(z) >= 0; }

    std::size_t width() const { return static_cast<std::size_t>(box_.w()); }
    std::size_t height() const { return static_cast<std::size_t>(box_.h()); }

    // Pointer to row y of channel z, indexed by pixel x (box.x .. box.r-1);
    // null when the image lacks the channel.
    float* row(DD::Image::Channel z, int y);
    const float* row(DD::Image::Channel z, int y) const;

private:
    // Takes the box (emptied where it is inside out), format and channels;
    // returns how many floats they hold.
    std::size_t setShape(const DD::Image::Box& box, const DD::Image::Box& format,
                         std::vector<DD::Image::Channel> channels);
    int planeIndex(DD::Image::Channel z) const;

    DD::Image::Box box_;
    DD::Image::Box format_;
    std::vector<DD::Image::Channel> channels_;
    std::vector<float> pixels_;
};

}  // namespace veilcast
