// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veilcast {

// A stream's transfer characteristic between code values (0..1) and linear
// light. Video transfers are inverted as the camera's encoding (the BT.709
// OETF), so that linear means scene light, which is where the key is pulled.
class TransferCurve {
public:
    // Throws std::runtime_error naming the transfer when it is not one of
    // BT.709/601/2020, sRGB, gamma 2.2 or 2.8, or linear; `what` names the
    // file. `raw` makes both directions the identity.
    TransferCurve(int transfer, bool raw, const std::string& what);

    // A 16-bit code value to linear, by table.
    float toLinear(std::uint16_t code) const { return decode_[code]; }
    // Linear to a 16-bit code value, clamped to 0..65535.
    std::uint16_t toCode(float linear) const;
    // Both directions on codes (0..1) beyond the nominal range: video holds
    // codes above white and below black, and colours a matrix puts outside
    // 0..1, which must survive a round trip. The curve goes on past 1 and is
    // mirrored below 0.
    double codeToLinear(double code) const;
    double linearToCode(double linear) const;

private:
    int transfer_;
    bool raw_;
    std::vector<float> decode_;
};

}  // namespace veilcast
