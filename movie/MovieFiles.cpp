// SPDX-License-Identifier: Apache-2.0
#include "veilcast/movie/MovieFiles.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace veilcast {

bool isMovieFile(const std::string& path)
{
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* movie : {".mov", ".mp4", ".m4v", ".mkv", ".webm", ".avi", ".mxf"})
        if (ext == movie)
            return true;
    return false;
}

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

std::string describeVideoColour(const VideoColour& colour)
{
    const auto name = [](const char* n) { return std::string(n ? n : "unknown"); };
    return name(av_color_space_name(static_cast<AVColorSpace>(colour.matrix))) + " " +
           name(av_color_range_name(static_cast<AVColorRange>(colour.range))) + " range, transfer " +
           name(av_color_transfer_name(static_cast<AVColorTransferCharacteristic>(colour.transfer)));
}

}  // namespace veilcast

extern "C" {
#include <libavutil/timecode.h>
}

namespace veilcast {

std::string advanceTimecode(const std::string& timecode, int rateNum, int rateDen, long frames)
{
    AVTimecode tc;
    if (timecode.empty() || av_timecode_init_from_string(&tc, AVRational{rateNum, rateDen}, timecode.c_str(), nullptr) < 0)
        return {};
    char text[AV_TIMECODE_STR_SIZE] = {};
    return av_timecode_make_string(&tc, text, static_cast<int>(frames));
}

}  // namespace veilcast
