// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/media/ColourEncoding.h"

#include <OpenImageIO/color.h>
#include <OpenImageIO/imageio.h>

#include <string>

namespace veilcast {

// The encoding a file's tags give (oiio:ColorSpace, with oiio:Gamma for a
// PNG's gAMA); untagged integers in a format not linear by convention are
// sRGB, anything else untagged is linear. A tag naming no curve (a working
// space such as ACEScg) is linear.
StillEncoding stillEncodingOf(const OIIO::ImageSpec& spec, const std::string& formatName);

// The image library rounds a PNG's gamma to two places (a gAMA chunk of
// 1/1.961 reads as 1.96): sets oiio:Gamma of `spec`, read from the PNG
// file `path`, to the chunk's own value, so that it is decoded and written
// back as declared. Files without the chunk are left as they are.
void readExactPngGamma(const std::string& path, OIIO::ImageSpec& spec);

// True when the file tags its own encoding (rather than being presumed one).
bool tagsItsEncoding(const OIIO::ImageSpec& spec);

// True when files of `formatName` can say they hold `encoding` in a way that
// stillEncodingOf reads back: a format that cannot is written in sRGB.
bool formatHolds(const std::string& formatName, const StillEncoding& encoding);

// Sets the tags that say `encoding` on a spec about to be written.
void tagEncoding(OIIO::ImageSpec& spec, const StillEncoding& encoding);

// Conversions between `encoding` and linear light on R, G and B; null for
// linear. Throws std::runtime_error naming `what` when one cannot be made.
OIIO::ColorProcessorHandle decoderFor(const StillEncoding& encoding, const std::string& what);
OIIO::ColorProcessorHandle encoderFor(const StillEncoding& encoding, const std::string& what);

// The Cineon printing-density curve of log scans (reference black 95 and
// white 685 of 1023 codes, 0.002 density per code, 0.6 negative gamma), on
// values as the image library normalises them (code / 1023).
double cineonToLinear(double value);
double linearToCineon(double linear);

}  // namespace veilcast
