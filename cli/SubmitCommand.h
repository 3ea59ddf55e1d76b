// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "Arguments.h"
#include "veilcast/farm/Submit.h"

#include <CLI/CLI.hpp>

#include <string>

namespace veilcast {

// The subcommands for render farms: `submit` sends a sequence to the farm as
// a job array; `verify` checks a keyed sequence, as the job's last step.
struct FarmCommandLine {
    farm::SubmitRequest request;  // its own options; the caller fills in the job
    std::string input;            // given after `submit`
    std::string verifyPattern, verifySummary;
    CLI::App* submit = nullptr;
    CLI::App* verify = nullptr;
};

void addFarmCommands(CLI::App& app, FarmCommandLine& line);

// Exit status 0 when every frame is there and opens, 1 otherwise.
int runVerify(const std::string& pattern, const std::string& frames, const std::string& summaryFile);

}  // namespace veilcast
