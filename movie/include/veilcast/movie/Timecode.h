// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

namespace veilcast {

// `timecode` ("HH:MM:SS:FF", ';' for drop frame) moved on by `frames` at
// the given rate; empty when `timecode` is empty or not a timecode.
std::string advanceTimecode(const std::string& timecode, int rateNum, int rateDen, long frames);

// A timecode as SMPTE 12M packs it (time and flags, then user bits), as
// image files store it (OpenEXR's and DPX's TimeCode); {0, 0} when
// `timecode` is not one.
struct PackedTimecode {
    unsigned timeAndFlags = 0, userData = 0;
};
PackedTimecode packTimecode(const std::string& timecode);
// Back to "HH:MM:SS:FF" (';' for drop frame); empty when it is not a
// timecode.
std::string unpackTimecode(PackedTimecode packed);

}  // namespace veilcast
