// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/media/ImageReader.h"
#include "veilcast/media/ImageWriter.h"
#include "veilcast/session/KeySession.h"

#include <cstdint>
#include <string>
#include <vector>

namespace veilcast {

// Everything the command line can say, as parsed.
struct Arguments {
    std::string input, output;
    std::vector<std::string> sets;
    std::string settingsFile;
    std::string frozenSettings;  // a farm task's settings file, frozen by submit; empty: none
    std::string settingsSha256;  // what the frozen settings must hash to
    bool listKnobs = false;
    std::string pick;
    bool raw = false;
    std::string dataType;
    std::string frames;
    std::string part, layer;
    bool skipMissing = false;
    std::uint64_t maxPixels = defaultMaxPixels();
    int threads = 0;
    bool quiet = false;
    std::string preview;
    std::vector<std::string> pluginPaths;
    std::string demoDir = "veilcast-demo";
    std::string dateTime;  // see WriteOptions::dateTime
    std::string fps;       // rate of a movie made from a sequence; empty: the default
    std::string ocio;      // colour configuration; empty: $OCIO, if set
    std::string inColourSpace, outColourSpace;
    bool listColourSpaces = false;
};

// The folders searched for the operator module: --plugin-path first.
std::vector<std::string> pluginDirectories(const Arguments& args);

// The colour configuration asked for (--ocio, else $OCIO); null when there
// is none. Throws UsageError for names it lacks or options without one.
std::shared_ptr<const ColourSpaces> colourSpaces(const Arguments& args);

// The keying session's options from the command line; throws UsageError.
KeyJobOptions jobOptions(const Arguments& args, const CancellationToken* cancellation);

}  // namespace veilcast
