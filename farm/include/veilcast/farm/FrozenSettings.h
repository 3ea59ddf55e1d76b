// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/session/ControlSettings.h"

#include <sys/types.h>

#include <string>
#include <vector>

namespace veilcast::farm {

// The files a submission keeps beside the output sequence, named after it:
// out/keyed.####.exr gives out/keyed.farm.settings, out/keyed.farm.sh, ...
struct FarmFiles {
    std::string settings;  // the frozen settings every task reads
    std::string script;    // the job script
    std::string summary;   // the check's one-line summary
    std::string log;       // each task's log, with sbatch's %A (job) and %a (task)
    std::string checkLog;  // the check's log, with sbatch's %j (job)
};
FarmFiles farmFilesFor(const std::string& outputPattern);

// Every value a key depends on, resolved once for all tasks: each control's
// value by label, the screen colour explicit, and how that colour was found.
struct FrozenSettings {
    std::string pick = "none";  // "none", "auto" or "box X0,Y0,X1,Y1": what the command asked for
    std::string pickedOn;       // the frame the colour was picked on; empty for "none"
    std::vector<Setting> values;
};

// The controls' current values, each as formatControlValue writes it (floats
// in their shortest round-trip form, so they read back to the same bits).
FrozenSettings freezeSettings(const Controls& controls, const std::string& pick, const std::string& pickedOn);

// The file's text: comments saying what it is and how the screen colour was
// found, then NAME=VALUE lines that readSettingsFile reads.
std::string formatFrozenSettings(const FrozenSettings& frozen, const std::string& outputPattern);

// Reads a file written by formatFrozenSettings. Throws UsageError naming the
// file when it is not one.
FrozenSettings readFrozenSettings(const std::string& path);

// True when both key alike: the same values and the same pick asked for; the
// screen colour itself is compared only when `withScreen`.
bool sameKey(const FrozenSettings& a, const FrozenSettings& b, bool withScreen);

// Writes `text` to a temporary file in the same folder, flushes it to disk and
// renames it over `path`: a reader sees the old file or the whole new one.
// Throws std::runtime_error naming `path`.
void writeFileAtomically(const std::string& path, const std::string& text, mode_t mode = 0644);

}  // namespace veilcast::farm
