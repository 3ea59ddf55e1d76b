// SPDX-License-Identifier: Apache-2.0
#include "veilcast/movie/Timecode.h"

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
