// SPDX-License-Identifier: Apache-2.0
#include "TransferCurve.h"

#include "veilcast/common/UsageError.h"
#include "veilcast/media/SrgbCurve.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <cmath>
#include <stdexcept>

namespace veilcast {

namespace {

// The BT.709 curve with the constants that join its two pieces: with the
// rounded 1.099 and 0.018 the power piece starts below where the straight
// one ends, so codes just above 0.081 decode to light that encodes to codes
// below it, and a movie would not come back at its own levels.
constexpr double kAlpha = 1.09929682680944, kBeta = 0.018053968510807;

bool isRec709Family(int t)
{
    return t == AVCOL_TRC_BT709 || t == AVCOL_TRC_SMPTE170M || t == AVCOL_TRC_BT2020_10 || t == AVCOL_TRC_BT2020_12;
}

double decode(int t, double v)
{
    if (isRec709Family(t))
        return v < 4.5 * kBeta ? v / 4.5 : std::pow((v + (kAlpha - 1)) / kAlpha, 1 / 0.45);
    switch (t) {
    case AVCOL_TRC_IEC61966_2_1:
        return linearFromSrgb(v);
    case AVCOL_TRC_GAMMA22:
        return std::pow(v, 2.2);
    case AVCOL_TRC_GAMMA28:
        return std::pow(v, 2.8);
    default:
        return v;
    }
}

double encode(int t, double l)
{
    if (isRec709Family(t))
        return l < kBeta ? l * 4.5 : kAlpha * std::pow(l, 0.45) - (kAlpha - 1);
    switch (t) {
    case AVCOL_TRC_IEC61966_2_1:
        return srgbFromLinear(l);
    case AVCOL_TRC_GAMMA22:
        return std::pow(l, 1 / 2.2);
    case AVCOL_TRC_GAMMA28:
        return std::pow(l, 1 / 2.8);
    default:
        return l;
    }
}

}  // namespace

TransferCurve::TransferCurve(int transfer, bool raw, const std::string& what)
    : transfer_(transfer), raw_(raw), decode_(65536)
{
    const bool known = isRec709Family(transfer) || transfer == AVCOL_TRC_IEC61966_2_1 ||
                       transfer == AVCOL_TRC_GAMMA22 || transfer == AVCOL_TRC_GAMMA28 ||
                       transfer == AVCOL_TRC_LINEAR;
    if (!raw && !known) {
        const char* name = av_color_transfer_name(static_cast<AVColorTransferCharacteristic>(transfer));
        throw Failure(Wording{what + ": cannot convert the transfer " + (name ? name : "unknown") +
                                 " to linear light (", UserChoice::Raw, " keys the values as stored)"});
    }
    for (int c = 0; c < 65536; ++c) {
        const double v = c / 65535.0;
        decode_[static_cast<std::size_t>(c)] = static_cast<float>(raw ? v : decode(transfer, v));
    }
}

double TransferCurve::codeToLinear(double code) const
{
    if (raw_)
        return code;
    return code < 0 ? -decode(transfer_, -code) : decode(transfer_, code);
}

double TransferCurve::linearToCode(double linear) const
{
    if (raw_)
        return linear;
    return linear < 0 ? -encode(transfer_, -linear) : encode(transfer_, linear);
}

std::uint16_t TransferCurve::toCode(float linear) const
{
    if (!(linear > 0.0f))
        return 0;
    const double v = raw_ ? linear : encode(transfer_, linear);
    if (v >= 1.0)
        return 65535;
    return static_cast<std::uint16_t>(std::lround(v * 65535.0));
}

}  // namespace veilcast
