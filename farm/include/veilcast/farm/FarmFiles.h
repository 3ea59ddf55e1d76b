// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/session/FrozenSettings.h"

#include <string>

namespace veilcast::farm {

// The files a submission keeps beside the output sequence, named after its
// file name pattern: out/keyed.####.exr gives out/keyed.####.exr.farm.settings,
// out/keyed.####.exr.farm.sh, ... (see farmName).
struct FarmFiles {
    std::string folder;    // the output's folder, where all of them are
    std::string name;      // what each file's name starts with: farmName of the output's file name
    std::string settings;  // the frozen settings every task reads
    std::string script;    // the job script
    std::string summary;   // the check's one-line summary
    // Each task's log and the check's as sbatch --output patterns, with %A
    // (job), %a (task) and %j (job), the folder's '%' written "%%". Empty
    // when the folder holds a '\\': sbatch then reads the whole name
    // literally and drops every '\\', so no pattern names a file there, and
    // the job script writes its logs itself.
    std::string log;
    std::string checkLog;
};
FarmFiles farmFilesFor(const std::string& outputPattern);

// The name the farm files of an output file name pattern start with: one
// per sequence of files, so two patterns get the same name exactly when they
// write the same files (keyed.####.exr, keyed.@@@@.exr and keyed.%04d.exr do),
// and different names otherwise, whatever their stems or extensions. Each
// frame number becomes '#' per digit ('~' between two adjacent numbers);
// letters, digits and ".,_-+=" and bytes from 0x80 stay as they are; any
// other character, '#' and '~' included, becomes "~" and two hex digits. So
// the name holds no '%', '\\', quote, space or control character: it goes
// into sbatch's --output pattern and shell words untouched.
std::string farmName(const std::string& fileNamePattern);

}  // namespace veilcast::farm
