// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "Arguments.h"

#include <CLI/CLI.hpp>

#include <string>

namespace veilcast {

// `veilcast tune INPUT`: tune the key by eye in a browser page (tune/).
struct TuneCommandLine {
    std::string input;
    int port = 0;
    bool open = false;
    CLI::App* tune = nullptr;
};

void addTuneCommand(CLI::App& app, TuneCommandLine& line);

// Serves the page until interrupted; how frames are read (the colour
// configuration included) and keyed comes from `args`, as for keying.
int runTune(const Arguments& args, const TuneCommandLine& line, const CancellationToken& cancellation);

}  // namespace veilcast
