// SPDX-License-Identifier: Apache-2.0
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
// how it was made. `dateTime` is "" or "now" for the time of writing,
// "source" for the source's own DateTime (none if it has none), or a fixed
// "YYYY:MM:DD HH:MM:SS": the last two write the same bytes on every run.
void carryMetadata(const OIIO::ImageSpec& source, const std::string& sourceFormat, const std::string& outputFormat,
                   const std::string& settings, OIIO::ImageSpec& out, const std::string& dateTime = "");

// Checks a --date-time value; throws UsageError naming it.
void checkDateTime(const std::string& dateTime);

}  // namespace veilcast
