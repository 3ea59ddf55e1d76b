// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/media/ImageReader.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace veilcast::farm {

// What `veilcast submit` was asked for.
struct SubmitRequest {
    std::string farm;
    std::string input, output, frames;
    std::string settingsFile;
    std::vector<std::string> sets;
    std::string pick;                     // "", "auto" or a box
    std::uint64_t chunk = 0;              // frames per task; 0: defaultChunkSize
    std::string partition;
    int cpusPerTask = 0;                  // 0: the cluster's default
    bool dryRun = false;
    std::vector<std::string> pluginPaths; // as given; the default directories are added
    ReadOptions read;                     // how every frame is read, the picked one included
    std::string dataType;                 // "" or -d's value
    std::string dateTime;                 // "" (source), "source" or a fixed time
};

// Freezes the settings (picking the screen once, on the first frame), writes
// the job script and submits it, or prints both with `dryRun`. Reports to
// `out`. Throws UsageError for what was asked wrongly, std::runtime_error for
// what failed.
void submit(const SubmitRequest& request, std::ostream& out);

}  // namespace veilcast::farm
