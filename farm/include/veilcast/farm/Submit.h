// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/session/KeyJob.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace veilcast::farm {

// What `veilcast submit` was asked for.
struct SubmitRequest {
    std::string farm;
    // What to key and how, as for keying here: input, output, frames,
    // settings, screen pick, read and write options. Its DateTime "" means
    // "source": a task run twice writes the same bytes.
    KeyJobOptions job;
    std::uint64_t chunk = 0;              // frames per task; 0: defaultChunkSize
    std::string partition;
    int cpusPerTask = 0;                  // 0: the cluster's default
    bool dryRun = false;
    std::vector<std::string> pluginPaths; // as given; the default directories are added
};

// Freezes the settings (picking the screen and choosing the clips once, on
// the first frame), writes the job script and submits it, or prints both
// with `dryRun`. Reports to `out`, and settings that are probably not meant
// to `warn`. Throws
// UsageError for what was asked wrongly, std::runtime_error for what failed.
void submit(const SubmitRequest& request, std::ostream& out,
            const std::function<void(const std::string&)>& warn = {});

// The options every task keys with, the job's command words (commandWords)
// but for what the script gives each task itself: its input, output, frames
// and frozen settings (the screen and the clips among them). Throws
// UsageError for a value holding a control character, which would break the
// job script's line.
std::vector<std::string> taskArguments(const KeyJobOptions& job, const std::vector<std::string>& pluginDirectories);

}  // namespace veilcast::farm
