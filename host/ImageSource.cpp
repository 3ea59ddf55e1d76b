// SPDX-License-Identifier: Apache-2.0
#include "veilcast/host/ImageSource.h"

#include "DDImage/Row.h"

#include <algorithm>
#include <cstring>

namespace veilcast {

using namespace DD::Image;

ImageSource::ImageSource(const PlanarImage& image) : image_(image) {}

void ImageSource::_validate(bool)
{
    info_.box(image_.box());
    info_.format(image_.format());
    info_.channels(image_.channelSet());
    set_out_channels(image_.channelSet());
}

void ImageSource::engine(int y, int x, int r, const ChannelSet& channels, Row& out)
{
    const Box& box = image_.box();
    const int x0 = std::min(std::max(x, box.x), r);
    const int r0 = std::max(std::min(r, box.r), x0);
    for (Channel z = channels.first(); z; z = channels.next(z)) {
        const float* src = image_.row(z, y);
        // A whole row inside the image is lent, not copied: the row reads the
        // image itself. A part of a row is copied, so the rest still reads as black.
        if (src && x0 == x && r0 == r && x == out.getLeft() && r == out.getRight() && out.lend(z, src))
            continue;
        float* dst = out.writable(z);
        if (!src || x0 >= r0) {
            std::fill(dst + x, dst + r, 0.0f);
            continue;
        }
        std::fill(dst + x, dst + x0, 0.0f);
        std::memcpy(dst + x0, src + x0, static_cast<std::size_t>(r0 - x0) * sizeof(float));
        std::fill(dst + r0, dst + r, 0.0f);
    }
}

}  // namespace veilcast
