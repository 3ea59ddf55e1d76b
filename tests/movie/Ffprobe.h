// SPDX-License-Identifier: Apache-2.0
#pragma once

// What ffprobe says of a file, for movie tests to judge our output by a tool
// of its own.

#include "RunTool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace veilcast {

inline std::string runChecked(const std::string& command)
{
    const Result r = runShell(command);
    EXPECT_EQ(r.exitCode, 0) << command << "\n" << r.output;
    return r.output;
}

// ffprobe's key=value lines for `entries` of what `select` picks
// ("-select_streams v:0", or nothing for the container), keys in lower case
// (Matroska keeps tag names in capitals).
inline std::map<std::string, std::string> probeValues(const std::string& file, const std::string& select,
                                                      const std::string& entries)
{
    const std::string out = runChecked("ffprobe -v error " + select + " -show_entries " + entries +
                                       " -of default=nw=1 '" + file + "'");
    std::map<std::string, std::string> values;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (const auto eq = line.find('='); eq != std::string::npos) {
            std::string key = line.substr(0, eq);
            std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
            values[key] = line.substr(eq + 1);
        }
    return values;
}

// One csv line per stream, frame or packet selected, in order. Quiet: a
// stream cut mid-GOP has the decoder complain of every packet before its
// first keyframe.
inline std::vector<std::string> probeLines(const std::string& file, const std::string& select, const std::string& entry)
{
    std::istringstream lines(runChecked("ffprobe -v quiet " + select + " -show_entries " + entry + " -of csv=p=0 '" +
                                        file + "'"));
    std::vector<std::string> values;
    for (std::string line; std::getline(lines, line);)
        if (!line.empty())
            values.push_back(line);
    return values;
}

}  // namespace veilcast
