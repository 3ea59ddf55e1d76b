// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

namespace veilcast {

// Adds the colour-space name `space` to the header of the single-part EXR
// file open as `fd`, where the image library's reader finds it
// (oiio:ColorSpace); the pixels are copied as compressed, not re-encoded.
// Throws std::exception with the library's words.
void recordExrColourSpace(int fd, const std::string& space);

}  // namespace veilcast
