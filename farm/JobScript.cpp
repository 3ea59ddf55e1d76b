// SPDX-License-Identifier: Apache-2.0
#include "veilcast/farm/JobScript.h"

#include "veilcast/farm/Chunking.h"
#include "veilcast/session/CommandWords.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <stdexcept>

namespace veilcast::farm {

std::string jobScript(const FarmJob& job)
{
    const std::uint64_t frames = job.frames.size();
    // sbatch cannot name a file in a folder whose name holds a backslash:
    // the script then sends its output to its log itself.
    const bool ownLogs = job.files.log.empty();
    const std::string logs = "\"$folder\"/" + shellQuote(job.files.name + ".farm.");
    // A shot's frames re-keyed alone key as these only when they gather its plate over the same frames.
    std::string rekey = ".";
    const auto shot = std::find(job.keyOptions.begin(), job.keyOptions.end(), std::string(option::kShotFrames));
    if (shot != job.keyOptions.end() && shot + 1 != job.keyOptions.end())
        rekey = " with " + std::string(option::kShotFrames) + " " + *(shot + 1) + ".";
    std::ostringstream os;
    os << "#!/bin/bash\n"
       << "# Written by veilcast submit: keys " << frames << " frame" << (frames == 1 ? "" : "s") << " in "
       << job.chunks.size() << " task" << (job.chunks.size() == 1 ? "" : "s") << ".\n"
       << "# A task that fails can be run again as it is: frames replace their files only when complete,\n"
       << "# and the same frame keys to the same bytes. Re-submit a narrower --frames to key a few again" << rekey << "\n"
       << "# Each task refuses to key when the frozen settings differ from the SHA-256 below.\n"
       << "set -eu\n"
       << "veilcast=" << shellQuote(job.veilcast) << "\n"
       << "settings=" << shellQuote(job.files.settings) << "\n"
       << "settings_sha256=" << shellQuote(job.settingsSha256) << "\n";
    if (ownLogs)
        os << "folder=" << shellQuote(job.files.folder) << "\n";
    os << "if [ \"${1:-key}\" = check ]; then\n";
    if (ownLogs)
        os << "    exec >>" << logs << "\"${SLURM_JOB_ID:-0}\".check.log 2>&1\n";
    os << "    exec \"$veilcast\" verify " << shellQuote(job.output) << " --frames " << job.frames.format()
       << " --summary " << shellQuote(job.files.summary) << "\n"
       << "fi\n"
       << "case \"${SLURM_ARRAY_TASK_ID:-}\" in\n";
    for (std::size_t i = 0; i < job.chunks.size(); ++i)
        os << "    " << i << ") frames=" << job.chunks[i].format() << " ;;\n";
    os << "    *) echo \"veilcast job: no chunk for array task '${SLURM_ARRAY_TASK_ID:-}'\" >&2; exit 2 ;;\n"
       << "esac\n";
    if (ownLogs)
        os << "exec >>" << logs << "\"${SLURM_ARRAY_JOB_ID:-0}_${SLURM_ARRAY_TASK_ID}\".log 2>&1\n";
    os << "# The CPUs this task was given; a node's core count would oversubscribe a shared node.\n"
       << "threads=${SLURM_CPUS_PER_TASK:-${SLURM_JOB_CPUS_PER_NODE:-}}\n"
       << "threads=${threads%%[(,]*}\n"
       << "[ -n \"$threads\" ] || threads=$(nproc)\n"
       << "echo \"veilcast job: task $SLURM_ARRAY_TASK_ID keys frames $frames with --threads $threads on $(hostname)\" >&2\n"
       << "exec \"$veilcast\" " << shellQuote(job.input) << " " << option::kOutput << " " << shellQuote(job.output)
       << " " << option::kFrames << " \"$frames\" " << option::kFrozenSettings << " \"$settings\" "
       << option::kSettingsSha256 << " \"$settings_sha256\" " << option::kThreads << " \"$threads\"";
    for (const std::string& o : job.keyOptions)
        os << " " << shellQuote(o);
    os << "\n";
    return os.str();
}

namespace {

std::vector<std::string> common(const FarmJob& job, const std::string& name, const std::string& log)
{
    std::vector<std::string> argv = {"sbatch", "--parsable", "--job-name=" + name,
                                     "--output=" + (log.empty() ? std::string("/dev/null") : log)};
    if (!job.partition.empty())
        argv.push_back("--partition=" + job.partition);
    return argv;
}

}  // namespace

std::vector<std::string> arraySubmitCommand(const FarmJob& job, const std::string& scriptPath)
{
    std::vector<std::string> argv = common(job, job.name, job.files.log);
    if (job.cpusPerTask > 0)
        argv.push_back("--cpus-per-task=" + std::to_string(job.cpusPerTask));
    argv.push_back("--array=0-" + std::to_string(job.chunks.size() - 1));
    argv.push_back(scriptPath);
    return argv;
}

std::vector<std::string> checkSubmitCommand(const FarmJob& job, const std::string& scriptPath,
                                            const std::string& arrayJobId)
{
    std::vector<std::string> argv = common(job, job.name + "-check", job.files.checkLog);
    // A failed task leaves the dependency unmet for good: cancel the check
    // rather than let it wait in the queue forever.
    argv.push_back("--dependency=afterok:" + arrayJobId);
    argv.push_back("--kill-on-invalid-dep=yes");
    argv.push_back(scriptPath);
    argv.push_back("check");
    return argv;
}

std::string parseJobId(const std::string& sbatchOutput)
{
    std::size_t end = 0;
    while (end < sbatchOutput.size() && std::isdigit(static_cast<unsigned char>(sbatchOutput[end])))
        ++end;
    const bool rest = end == sbatchOutput.size() || sbatchOutput[end] == ';' || sbatchOutput[end] == '\n';
    if (end == 0 || !rest)
        throw std::runtime_error("sbatch printed no job id: \"" + sbatchOutput + "\"");
    return sbatchOutput.substr(0, end);
}

}  // namespace veilcast::farm
