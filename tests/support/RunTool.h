// SPDX-License-Identifier: Apache-2.0
#pragma once

// Runs the built veilcast binary (VEILCAST_BINARY) through a shell and
// collects what it prints.

#include <sys/wait.h>

#include <cstdio>
#include <string>

struct Result {
    int exitCode;
    std::string output;
};

// `args` are shell words; `prefix` goes before the program (variables, ulimit ...).
inline Result runVeilcast(const std::string& args, const std::string& prefix = "")
{
    const std::string command = prefix + "'" VEILCAST_BINARY "' " + args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    char buffer[4096];
    while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe))
        output.append(buffer, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), output};
}
