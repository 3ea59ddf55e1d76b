#pragma once

#include <OpenImageIO/imageio.h>

#include <string>

namespace veilcast {

// The metadata a keyed image carries, from its source's: what describes the
// picture (camera, lens, timecode, frame rate, chromaticities, pipeline keys
// of its own) is kept; what no longer holds is replaced (DateTime is now,
// Software is this tool, the colour space is what is written) or dropped
// (the description, the source's colour-space and texture tags, the
// reader's private "oiio:" attributes, compression settings of another
// format). `settings` goes into "veilcast:settings" so that a result says
// how it was made.
void carryMetadata(const OIIO::ImageSpec& source, const std::string& sourceFormat, const std::string& outputFormat,
                   const std::string& settings, OIIO::ImageSpec& out);

}  // namespace veilcast
