// SPDX-License-Identifier: Apache-2.0
#pragma once

// Runs shell commands and the built veilcast binary (VEILCAST_BINARY) and
// collects what they print.

#include <sys/wait.h>

#include <cstdio>
#include <string>

struct Result {
    int exitCode;
    std::string output;
};

// Runs `command` through a shell: its exit status and all it printed.
inline Result runShell(const std::string& command)
{
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    std::string output;
    char buffer[4096];
    while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe))
        output.append(buffer, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), output};
}

// `args` are shell words; `prefix` goes before the program (variables, ulimit ...).
inline Result runVeilcast(const std::string& args, const std::string& prefix = "")
{
    return runShell(prefix + "'" VEILCAST_BINARY "' " + args);
}
