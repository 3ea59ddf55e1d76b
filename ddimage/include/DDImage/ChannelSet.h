// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>

namespace DD::Image {

// Channel numbers. Colour and alpha have fixed numbers; further channels
// (depth and the like) follow them.
enum Channel : int {
    Chan_Black = 0,  // "no channel"
    Chan_Red = 1,
    Chan_Green = 2,
    Chan_Blue = 3,
    Chan_Alpha = 4,
    Chan_Z = 5,
    Chan_Last = 63,
};

// Predefined channel masks: channel n is the bit of value 2^(n-1).
enum ChannelSetInit : std::uint64_t {
    Mask_None = 0,
    Mask_Red = 1u << 0,
    Mask_Green = 1u << 1,
    Mask_Blue = 1u << 2,
    Mask_Alpha = 1u << 3,
    Mask_Z = 1u << 4,
    Mask_RGB = Mask_Red | Mask_Green | Mask_Blue,  // 7
    Mask_RGBA = Mask_RGB | Mask_Alpha,             // 15
    Mask_All = ~std::uint64_t(0),
};

// A set of channels, copied by value.
class ChannelSet {
public:
    constexpr ChannelSet() = default;
    constexpr ChannelSet(ChannelSetInit mask) : mask_(mask) {}
    constexpr ChannelSet(Channel z) : mask_(bit(z)) {}

    static constexpr std::uint64_t bit(Channel z)
    {
        return (z > Chan_Black && z <= Chan_Last) ? std::uint64_t(1) << (z - 1) : 0;
    }

    constexpr std::uint64_t mask() const { return mask_; }
    constexpr bool empty() const { return mask_ == 0; }
    constexpr bool contains(Channel z) const { return bit(z) != 0 && (mask_ & bit(z)) == bit(z); }
    constexpr bool contains(const ChannelSet& s) const { return (mask_ & s.mask_) == s.mask_; }
    int size() const { return __builtin_popcountll(mask_); }

    // Iteration in channel order: for (Channel z = s.first(); z; z = s.next(z)).
    Channel first() const { return next(Chan_Black); }
    Channel next(Channel z) const
    {
        const std::uint64_t rest = z >= Chan_Last ? 0 : mask_ & (~std::uint64_t(0) << z);
        return rest ? static_cast<Channel>(__builtin_ctzll(rest) + 1) : Chan_Black;
    }

    ChannelSet& operator&=(const ChannelSet& s) { return mask_ &= s.mask_, *this; }
    ChannelSet& operator+=(const ChannelSet& s) { return mask_ |= s.mask_, *this; }
    ChannelSet& operator-=(const ChannelSet& s) { return mask_ &= ~s.mask_, *this; }
    friend bool operator==(const ChannelSet& a, const ChannelSet& b) { return a.mask_ == b.mask_; }
    friend bool operator!=(const ChannelSet& a, const ChannelSet& b) { return a.mask_ != b.mask_; }

private:
    std::uint64_t mask_ = 0;
};

}  // namespace DD::Image
