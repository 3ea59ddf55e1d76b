// SPDX-License-Identifier: Apache-2.0
#pragma once

namespace veilcast {

// The tool's exit statuses, one scheme for every subcommand.
enum ExitStatus : int {
    kExitSuccess = 0,
    kExitFailure = 1,        // a failure while reading, keying or writing
    kExitUsage = 2,          // the command line or a settings file asked for something impossible
    kExitFramesSkipped = 3,  // --skip-missing keyed every frame there was, but some were missing
    // Interrupted: 128 + the signal, so 130 for SIGINT and 143 for SIGTERM.
};

}  // namespace veilcast
