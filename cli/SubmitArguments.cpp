// SPDX-License-Identifier: Apache-2.0
#include "Commands.h"

#include "ExitStatus.h"
#include "SubmitCommand.h"
#include "Text.h"
#include "veilcast/common/UsageError.h"

#include <iostream>

namespace veilcast {

int runSubmit(const Arguments& args, const FarmCommandLine& line)
{
    if (!args.request.input.empty())
        throw UsageError("submit: give the input after submit, not before it");
    if (!args.request.preview.empty() || args.request.skipMissing || args.request.threads != 0)
        throw UsageError("submit: --preview, --skip-missing and --threads are for keying here; on the farm every "
                         "frame must exist and each task takes its threads from its CPUs (--cpus-per-task)");
    Arguments keyed = args;
    keyed.request.input = line.input;
    farm::SubmitRequest request = line.request;
    request.job = keyJob(keyed, nullptr);
    request.pluginPaths = args.pluginPaths;
    farm::submit(request, std::cout, [](const std::string& w) {
        std::cerr << "veilcast: warning: " << printable(w) << "\n";
    });
    return kExitSuccess;
}

}  // namespace veilcast
