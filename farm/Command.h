// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

namespace veilcast::farm {

struct CommandResult {
    int status = 0;      // the exit status, or 128 + the signal that ended it
    std::string output;  // what it wrote to standard output; its standard error is ours
};

// Runs a program found on PATH, without a shell, and waits for it. Throws
// std::runtime_error naming the program when it cannot be started.
CommandResult runCommand(const std::vector<std::string>& argv);

}  // namespace veilcast::farm
