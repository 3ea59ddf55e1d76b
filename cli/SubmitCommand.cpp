// SPDX-License-Identifier: Apache-2.0
#include "SubmitCommand.h"

#include "veilcast/common/UsageError.h"

#include "ExitStatus.h"
#include "veilcast/media/FrameSequence.h"
#include "veilcast/media/PendingOutput.h"
#include "veilcast/farm/FarmFiles.h"
#include "Text.h"
#include "veilcast/farm/Verify.h"

#include <iostream>

namespace veilcast {

void addFarmCommands(CLI::App& app, FarmCommandLine& line)
{
    line.submit = app.add_subcommand(
        "submit", "Key a sequence on a render farm: freeze the settings, the screen pick and the clips, submit a job\n"
                  "array. Also takes -o, --frames (required), --settings, --set, --pick-screen, --screen-map, --clip,\n"
                  "--date-time, -d, --raw, --part, --layer, --max-pixels and --plugin-path as keying does\n"
                  "(veilcast --help).");
    line.submit->add_option("--farm", line.request.farm, "The farm's scheduler (slurm)")->required();
    line.submit->add_option("input", line.input, "Sequence pattern to key (plate.####.exr)");
    line.submit->add_option("--chunk", line.request.chunk, "Frames per task; default: one task per frame, at most 1000 tasks")
        ->check(CLI::PositiveNumber);
    line.submit->add_option("--partition", line.request.partition, "The partition (queue) to submit to");
    line.submit->add_option("--cpus-per-task", line.request.cpusPerTask,
                            "CPUs to ask for each task; each task keys with that many threads")
        ->check(CLI::Range(1, 4096));
    line.submit->add_flag("--dry-run", line.request.dryRun, "Print the frozen settings, job script and sbatch commands only");
    line.submit->fallthrough();

    line.verify = app.add_subcommand(
        "verify", "Check that every frame of a keyed sequence exists and opens (with --frames); exit status 1 if not");
    line.verify->add_option("pattern", line.verifyPattern, "Sequence pattern of the keyed frames")->required();
    line.verify->add_option("--summary", line.verifySummary, "Also write the one-line result to this file")
        ->type_name("FILE");
    line.verify->fallthrough();
}

int runVerify(const std::string& pattern, const std::string& frames, const std::string& summaryFile)
{
    if (!isSequencePattern(pattern))
        throw UsageError("verify: " + pattern + " is not a sequence pattern such as keyed.####.exr");
    if (frames.empty())
        throw UsageError("verify: give the frames with --frames, e.g. 1001-1100");
    const farm::FrameReport report = farm::verifyFrames(pattern, parseFrameRange(frames));
    const std::string line = farm::summaryLine(report, pattern);
    if (!summaryFile.empty())
        writeTextFile(summaryFile, line + "\n", 0644);
    std::cout << printable(line) << std::endl;
    return report.complete() ? kExitSuccess : kExitFailure;
}

}  // namespace veilcast
