// SPDX-License-Identifier: Apache-2.0
#include "veilcast/host/PlanarImage.h"

#include <algorithm>

namespace veilcast {

using namespace DD::Image;

PlanarImage::PlanarImage(const Box& box, const Box& format, std::vector<Channel> channels, float fill)
{
    pixels_.assign(setShape(box, format, std::move(channels)), fill);
}

void PlanarImage::reshape(const Box& box, const Box& format, std::vector<Channel> channels)
{
    pixels_.resize(setShape(box, format, std::move(channels)));
}

std::size_t PlanarImage::setShape(const Box& box, const Box& format, std::vector<Channel> channels)
{
    box_ = box;
    format_ = format;
    channels_ = std::move(channels);
    box_.r = std::max(box_.r, box_.x);
    box_.t = std::max(box_.t, box_.y);
    return width() * height() * channels_.size();
}

ChannelSet PlanarImage::channelSet() const
{
    ChannelSet s;
    for (Channel z : channels_)
        s += z;
    return s;
}

int PlanarImage::planeIndex(Channel z) const
{
    const auto it = std::find(channels_.begin(), channels_.end(), z);
    return it == channels_.end() ? -1 : static_cast<int>(it - channels_.begin());
}

float* PlanarImage::row(Channel z, int y)
{
    return const_cast<float*>(static_cast<const PlanarImage&>(*this).row(z, y));
}

const float* PlanarImage::row(Channel z, int y) const
{
    const int plane = planeIndex(z);
    if (plane < 0 || y < box_.y || y >= box_.t)
        return nullptr;
    const std::size_t offset =
        (static_cast<std::size_t>(plane) * height() + static_cast<std::size_t>(y - box_.y)) * width();
    return pixels_.data() + offset - box_.x;
}

}  // namespace veilcast
