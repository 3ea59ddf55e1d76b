// SPDX-License-Identifier: Apache-2.0
#include "LibavError.h"

extern "C" {
#include <libavutil/error.h>
}

namespace veilcast {

std::string libavError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

}  // namespace veilcast
