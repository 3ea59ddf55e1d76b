// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/media/FrameSequence.h"

#include <string>
#include <vector>

namespace veilcast {

// One file a job reads or writes, or a sequence pattern of them, and the
// part it plays.
struct JobFile {
    enum class Role { Input, CleanPlate, Settings, Output, Preview };
    std::string path;
    Role role = Role::Input;
    bool written() const { return role == Role::Output || role == Role::Preview; }
};

// The one rule every kind of job (still, sequence, movie, animated image)
// passes before anything is keyed: no file written may be a file the job
// reads or another it writes, and the plate is not its own clean plate,
// however the paths are spelled: relative or absolute, through "./" or a
// linked folder, a symbolic or hard link, or a frame of a pattern (p.0001.png
// is frame 1 of p.####.png and of p.%d.png's frame 1, even when the
// file exists under one name only). A pattern written stands for `frames`
// (null: every frame, as for a movie keyed whole); one read, for every frame
// that exists, keyed or not. Throws UsageError
// naming both files: "k.exr: the output would overwrite the clean plate c.exr".
void refuseClashes(const std::vector<JobFile>& files, const FrameList* frames);

}  // namespace veilcast
