// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

namespace veilcast {

// `timecode` ("HH:MM:SS:FF", ';' for drop frame) moved on by `frames` at
// the given rate; empty when `timecode` is empty or not a timecode.
std::string advanceTimecode(const std::string& timecode, int rateNum, int rateDen, long frames);

}  // namespace veilcast
