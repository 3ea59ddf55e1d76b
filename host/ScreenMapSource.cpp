// SPDX-License-Identifier: Apache-2.0
#include "veilcast/host/ScreenMapSource.h"

#include "DDImage/Row.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace veilcast {

using namespace DD::Image;

ScreenMapSource::ScreenMapSource(const zav::ScreenMap& map, const Box& box) : map_(map), box_(box)
{
    if (map.empty() || map.width() != box.w() || map.height() != box.h())
        throw std::invalid_argument("a screen map of " + std::to_string(map.width()) + "x" +
                                    std::to_string(map.height()) + " pixels served over a box of " +
                                    std::to_string(box.w()) + "x" + std::to_string(box.h()));
}

void ScreenMapSource::_validate(bool)
{
    info_.box(box_);
    info_.format(box_);
    info_.channels(Mask_RGB);
    set_out_channels(Mask_RGB);
}

void ScreenMapSource::engine(int y, int x, int r, const ChannelSet& channels, Row& out)
{
    ChannelSet wanted = channels;
    wanted &= Mask_RGB;
    if (wanted.empty() || x >= r)
        return;
    // The map makes the three channels at once.
    float* rgb[3] = {out.writable(Chan_Red), out.writable(Chan_Green), out.writable(Chan_Blue)};
    const int row = std::clamp(y, box_.y, box_.t - 1) - box_.y;
    const int x0 = std::max(x, box_.x), r0 = std::min(r, box_.r);
    float edge[3][2];
    if (x0 < r0) {
        map_.sampleRow(row, x0 - box_.x, r0 - box_.x, rgb[0] + box_.x, rgb[1] + box_.x, rgb[2] + box_.x);
        for (int c = 0; c < 3; ++c)
            edge[c][0] = rgb[c][x0], edge[c][1] = rgb[c][r0 - 1];
    } else {
        // Wholly beside the box: the colour of its nearest column.
        const int column = (x >= box_.r ? box_.r - 1 : box_.x) - box_.x;
        std::vector<float> pixel(3 * static_cast<std::size_t>(column + 1));
        float* planes[3] = {pixel.data(), pixel.data() + column + 1, pixel.data() + 2 * (column + 1)};
        map_.sampleRow(row, column, column + 1, planes[0], planes[1], planes[2]);
        for (int c = 0; c < 3; ++c)
            edge[c][0] = edge[c][1] = planes[c][column];
    }
    for (int c = 0; c < 3; ++c) {
        std::fill(rgb[c] + x, rgb[c] + std::min(std::max(x0, x), r), edge[c][0]);
        std::fill(rgb[c] + std::min(std::max(r0, x), r), rgb[c] + r, edge[c][1]);
    }
}

}  // namespace veilcast
