// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/session/KeyJob.h"
#include "veilcast/session/KeyRequest.h"
#include "veilcast/session/KeySession.h"

#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace veilcast {

// Everything the command line can say, as parsed: what to key and how, and
// what only the command line does.
struct Arguments {
    KeyRequest request;
    bool listKnobs = false;
    bool quiet = false;
    std::vector<std::string> pluginPaths;
    std::string demoDir = "veilcast-demo";
    bool listColourSpaces = false;
};

// The folders searched for the operator module: --plugin-path first.
std::vector<std::string> pluginDirectories(const Arguments& args);

// The keying job the command line describes, for every subcommand that
// keys (key, movie, tune, submit). Throws UsageError.
KeyJobOptions keyJob(const Arguments& args, const CancellationToken* cancellation);

// `e`'s message as the command line says it: the options it concerns by their flags.
std::string commandLineText(const std::exception& e);
std::string commandLineText(const Wording& wording);

}  // namespace veilcast
