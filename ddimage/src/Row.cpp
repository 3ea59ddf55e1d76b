// SPDX-License-Identifier: Apache-2.0
#include "DDImage/Row.h"

#include "DDImage/Iop.h"

#include <algorithm>

namespace DD::Image {

Row::Row(int x, int r) : x_(x), r_(std::max(x, r)) {}

Row::~Row() = default;

std::unique_ptr<float[]> Row::makePlane() const
{
    // Value-initialised: zero-filled.
    return std::unique_ptr<float[]>(new float[static_cast<std::size_t>(r_ - x_) + 1]());
}

const float* Row::operator[](Channel z) const
{
    if (z > Chan_Black && z <= Chan_Last && planes_[z])
        return planes_[z];
    if (z > Chan_Black && z <= Chan_Last && lent_[z])
        return lent_[z];
    if (!zeros_)
        zeros_ = makePlane();
    return zeros_.get() - x_;
}

float* Row::writable(Channel z)
{
    if (z <= Chan_Black || z > Chan_Last)
        return nullptr;
    if (!planes_[z]) {
        owned_[z] = makePlane();
        planes_[z] = owned_[z].get() - x_;
        if (lent_[z])
            std::copy(lent_[z] + x_, lent_[z] + r_, planes_[z] + x_);
        lent_[z] = nullptr;
    }
    return planes_[z];
}

void Row::attach(Channel z, float* pixels)
{
    if (z <= Chan_Black || z > Chan_Last)
        return;
    owned_[z].reset();
    planes_[z] = pixels;
    lent_[z] = nullptr;
}

bool Row::lend(Channel z, const float* pixels)
{
    if (z <= Chan_Black || z > Chan_Last || planes_[z])
        return false;
    lent_[z] = pixels;
    return true;
}

void Row::get(Iop& input, int y, int x, int r, const ChannelSet& channels)
{
    // Channels are not made writable here: a source that can lend its own
    // memory does so, and one that writes makes them on first use.
    x = std::max(x, x_);
    r = std::min(r, r_);
    if (x < r)
        input.get(y, x, r, channels, *this);
}

}  // namespace DD::Image
