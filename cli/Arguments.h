// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/session/KeyJob.h"
#include "veilcast/session/KeySession.h"

#include <exception>
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
    std::string screenMap;  // auto, a clean plate FILE or PATTERN; empty: none
    std::string clip;       // auto; empty: the clips as set
    ReadOptions read;  // the read options the command line sets directly; the colour comes from ocio and the spaces
    std::string dataType;
    std::string frames;
    bool skipMissing = false;
    int threads = 0;
    bool quiet = false;
    std::string preview;
    std::vector<std::string> pluginPaths;
    std::string demoDir = "veilcast-demo";
    std::string dateTime;  // see WriteOptions::dateTime
    std::string fps;       // rate of a movie made from a sequence; empty: the default
    std::string codec;     // a movie output's; empty: its container's own
    std::string ocio;      // colour configuration; empty: $OCIO, if set
    std::string inColourSpace, outColourSpace;
    bool listColourSpaces = false;
};

// The folders searched for the operator module: --plugin-path first.
std::vector<std::string> pluginDirectories(const Arguments& args);

// The colour configuration asked for (--ocio, else $OCIO); null when there
// is none. Throws UsageError for names it lacks or options without one.
std::shared_ptr<const ColourSpaces> colourSpaces(const Arguments& args);

// The keying job the command line describes, for every subcommand that
// keys (key, movie, tune, submit): the one place options become a job.
// Throws UsageError.
KeyJobOptions keyJob(const Arguments& args, const CancellationToken* cancellation);

// `e`'s message as the command line says it: the options it concerns by their flags.
std::string commandLineText(const std::exception& e);
std::string commandLineText(const Wording& wording);

// "--set 'Screen Color=0.1,0.6,0.1' --set ...": the options that reproduce the settings.
std::string settingsAsOptions(const Controls& controls);
std::string settingsAsOptions(const std::vector<Setting>& settings);

}  // namespace veilcast
