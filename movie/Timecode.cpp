// SPDX-License-Identifier: Apache-2.0
#include "veilcast/movie/Timecode.h"

#include <cstdio>

extern "C" {
#include <libavutil/timecode.h>
}

namespace veilcast {

std::string advanceTimecode(const std::string& timecode, int rateNum, int rateDen, long frames)
{
    AVTimecode tc;
    if (timecode.empty() || av_timecode_init_from_string(&tc, AVRational{rateNum, rateDen}, timecode.c_str(), nullptr) < 0)
        return {};
    // A clock that passes midnight starts the next day at zero.
    tc.flags |= AV_TIMECODE_FLAG_24HOURSMAX;
    char text[AV_TIMECODE_STR_SIZE] = {};
    return av_timecode_make_string(&tc, text, static_cast<int>(frames));
}

namespace {

// Each field's two decimal digits: where the units sit and how many bits the tens have.
struct Field {
    int shift, tensBits, limit;
};
constexpr Field kFields[4] = {{24, 2, 24}, {16, 3, 60}, {8, 3, 60}, {0, 2, 40}};  // hours, minutes, seconds, frames
constexpr unsigned kDropFrame = 1u << 6;

}  // namespace

PackedTimecode packTimecode(const std::string& timecode)
{
    int v[4];
    char separator[3];
    char rest = 0;
    if (std::sscanf(timecode.c_str(), "%2d%c%2d%c%2d%c%2d%c", &v[0], &separator[0], &v[1], &separator[1], &v[2],
                    &separator[2], &v[3], &rest) != 7)
        return {};
    PackedTimecode packed;
    for (int i = 0; i < 4; ++i) {
        if (v[i] < 0 || v[i] >= kFields[i].limit || (i < 3 && separator[i] != ':' && separator[i] != ';' && separator[i] != '.'))
            return {};
        packed.timeAndFlags |= static_cast<unsigned>((v[i] / 10) << 4 | v[i] % 10) << kFields[i].shift;
    }
    if (separator[2] == ';' || separator[2] == '.')
        packed.timeAndFlags |= kDropFrame;
    return packed;
}

std::string unpackTimecode(PackedTimecode packed)
{
    char text[16];
    int v[4];
    for (int i = 0; i < 4; ++i) {
        const unsigned bcd = packed.timeAndFlags >> kFields[i].shift;
        const int units = static_cast<int>(bcd & 0xF), tens = static_cast<int>((bcd >> 4) & ((1u << kFields[i].tensBits) - 1));
        if (units > 9)
            return {};
        v[i] = tens * 10 + units;
        if (v[i] >= kFields[i].limit)
            return {};
    }
    std::snprintf(text, sizeof text, "%02d:%02d:%02d%c%02d", v[0], v[1], v[2],
                  packed.timeAndFlags & kDropFrame ? ';' : ':', v[3]);
    return text;
}

}  // namespace veilcast
