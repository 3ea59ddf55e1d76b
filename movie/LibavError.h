// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

namespace veilcast {

// FFmpeg's text for an error code.
std::string libavError(int code);

}  // namespace veilcast
