// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/farm/FarmFiles.h"
#include "veilcast/media/FrameSequence.h"
#include "veilcast/session/ShellQuote.h"

#include <string>
#include <vector>

namespace veilcast::farm {

// Everything a job script needs, with paths absolute: tasks start wherever
// the farm manager puts them. Paths reach the script only as single shell
// words (shellQuote) and never a comment; none may hold a control character.
struct FarmJob {
    std::string name;                     // the job's name in the queue
    std::string veilcast;                 // the executable every task runs
    std::string input, output;            // sequence patterns
    FarmFiles files;                      // frozen settings, logs, summary; empty logs: the script writes its own
    std::string settingsSha256;           // the frozen settings' SHA-256, which every task checks before keying
    FrameList frames;                     // the whole range, for the check
    std::vector<FrameList> chunks;        // task i keys chunks[i]
    std::vector<std::string> keyOptions;  // further options for every task
    std::string partition;                // empty: the cluster's default
    int cpusPerTask = 0;                  // 0: the cluster's default
};

// A bash script: as a task of the array it keys its chunk (SLURM_ARRAY_TASK_ID)
// with the frozen settings and a thread per allocated CPU; given the argument
// "check" it checks every frame of the range and writes the summary.
std::string jobScript(const FarmJob& job);

// The sbatch command lines: the array of key tasks, and the check that runs
// only once every task has succeeded (`arrayJobId` may be a placeholder).
// Their logs are FarmJob's, or /dev/null when the script writes its own.
std::vector<std::string> arraySubmitCommand(const FarmJob& job, const std::string& scriptPath);
std::vector<std::string> checkSubmitCommand(const FarmJob& job, const std::string& scriptPath,
                                            const std::string& arrayJobId);

// The job id from `sbatch --parsable` output ("123" or "123;cluster").
// Throws std::runtime_error quoting the output when there is none.
std::string parseJobId(const std::string& sbatchOutput);

}  // namespace veilcast::farm
