// SPDX-License-Identifier: Apache-2.0
#include "veilcast/movie/VideoColour.h"
#include "veilcast/media/ColourEncoding.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace veilcast {

VideoColour resolveVideoColour(VideoColour tagged, int width, int height, bool rgb, bool fullRangeFormat)
{
    const bool hd = height > 576 || width > 1024;
    if (rgb) {
        tagged.matrix = AVCOL_SPC_RGB;
        tagged.range = AVCOL_RANGE_JPEG;
    }
    if (tagged.matrix == AVCOL_SPC_UNSPECIFIED || tagged.matrix == AVCOL_SPC_RESERVED)
        tagged.matrix = hd ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
    if (tagged.range == AVCOL_RANGE_UNSPECIFIED)
        tagged.range = fullRangeFormat ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    if (tagged.transfer == AVCOL_TRC_UNSPECIFIED || tagged.transfer == AVCOL_TRC_RESERVED ||
        tagged.transfer == AVCOL_TRC_RESERVED0)
        tagged.transfer = hd ? AVCOL_TRC_BT709 : AVCOL_TRC_SMPTE170M;
    if (tagged.primaries == AVCOL_PRI_UNSPECIFIED || tagged.primaries == AVCOL_PRI_RESERVED ||
        tagged.primaries == AVCOL_PRI_RESERVED0)
        tagged.primaries = hd ? AVCOL_PRI_BT709 : AVCOL_PRI_SMPTE170M;
    return tagged;
}

bool lumaWeights(int matrix, double& kr, double& kb)
{
    switch (matrix) {
    case AVCOL_SPC_BT709: kr = 0.2126, kb = 0.0722; return true;
    case AVCOL_SPC_FCC: kr = 0.30, kb = 0.11; return true;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M: kr = 0.299, kb = 0.114; return true;
    case AVCOL_SPC_SMPTE240M: kr = 0.212, kb = 0.087; return true;
    case AVCOL_SPC_BT2020_NCL: kr = 0.2627, kb = 0.0593; return true;
    default: return false;
    }
}

CodeLevels codeLevels(int bits, bool fullRange)
{
    const double top = static_cast<double>((1 << bits) - 1);
    const double unit = static_cast<double>(1 << (bits - 8));
    if (fullRange)
        return {0, top, static_cast<double>(1 << (bits - 1)), top, top};
    return {16 * unit, 219 * unit, 128 * unit, 224 * unit, top};
}

std::string describeVideoColour(const VideoColour& colour)
{
    const auto name = [](const char* n) { return std::string(n ? n : "unknown"); };
    return name(av_color_space_name(static_cast<AVColorSpace>(colour.matrix))) + " " +
           name(av_color_range_name(static_cast<AVColorRange>(colour.range))) + " range, transfer " +
           name(av_color_transfer_name(static_cast<AVColorTransferCharacteristic>(colour.transfer)));
}

std::string stillTransferName(const VideoColour& colour)
{
    using Curve = StillEncoding::Curve;
    switch (colour.transfer) {
    case AVCOL_TRC_BT709:
    case AVCOL_TRC_SMPTE170M:
    case AVCOL_TRC_BT2020_10:
    case AVCOL_TRC_BT2020_12: return StillEncoding{Curve::Rec709}.tag();
    case AVCOL_TRC_IEC61966_2_1: return StillEncoding{Curve::Srgb}.tag();
    case AVCOL_TRC_LINEAR: return StillEncoding{Curve::Linear}.tag();
    case AVCOL_TRC_GAMMA22: return StillEncoding{Curve::Gamma, 2.2f}.tag();
    case AVCOL_TRC_GAMMA28: return StillEncoding{Curve::Gamma, 2.8f}.tag();
    default: return "";
    }
}

}  // namespace veilcast
