// SPDX-License-Identifier: Apache-2.0
#include "Commands.h"

#include "veilcast/media/Metadata.h"
#include "SubmitCommand.h"
#include "veilcast/common/UsageError.h"

namespace veilcast {

int runSubmit(const Arguments& args, const FarmCommandLine& line)
{
    if (!args.input.empty())
        throw UsageError("submit: give the input after submit, not before it");
    if (!args.preview.empty() || args.skipMissing || args.threads != 0)
        throw UsageError("submit: --preview, --skip-missing and --threads are for keying here; on the farm every "
                         "frame must exist and each task takes its threads from its CPUs (--cpus-per-task)");
    checkDateTime(args.dateTime);
    farm::SubmitRequest request = line.request;
    request.output = args.output;
    request.frames = args.frames;
    request.settingsFile = args.settingsFile;
    request.sets = args.sets;
    request.pick = args.pick;
    request.pluginPaths = args.pluginPaths;
    request.read.raw = args.raw;
    request.read.maxPixels = args.maxPixels;
    request.read.part = args.part;
    request.read.layer = args.layer;
    request.dataType = args.dataType;
    request.dateTime = args.dateTime;
    return runSubmit(request);
}

}  // namespace veilcast
