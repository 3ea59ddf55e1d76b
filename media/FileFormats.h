// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <OpenImageIO/imageio.h>

#include <string>

namespace veilcast {

// The image library's own words for an error: `specific` (an object's
// message), else its global message, else `fallback`; on one line.
std::string oiioError(const std::string& fallback, const std::string& specific = {});

// Formats whose pixel values are scene-linear by convention.
bool storesLinear(const std::string& formatName);

// The data type to write in `formatName`: `requested` when given (UNKNOWN:
// none), else what users of the format expect for a source of `sourceType`
// (EXR keeps half or float; integer formats get 16 bits for a float or half
// source). Throws UsageError naming the types the format holds when it
// cannot hold `requested`.
OIIO::TypeDesc outputDataType(const std::string& formatName, OIIO::TypeDesc sourceType,
                              OIIO::TypeDesc requested);

// Throws UsageError when `formatName` cannot hold `requested` (UNKNOWN passes).
void checkDataType(const std::string& formatName, OIIO::TypeDesc requested);

}  // namespace veilcast
