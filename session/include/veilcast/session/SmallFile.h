// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <sys/types.h>

#include <string>

namespace veilcast {

// Settings files are a few lines; anything much larger is the wrong file.
constexpr off_t kMaxSmallFileBytes = 1 << 20;

// A small file as read through one descriptor: what fstat said of it and
// its bytes. The caller words what went wrong, for the file it expected.
struct SmallFile {
    int openError = 0;     // errno of the open (ELOOP: a symbolic link refused); 0: opened
    bool regular = false;  // a regular file, not a folder, FIFO or device
    bool small = false;    // regular and at most kMaxSmallFileBytes long
    int readError = 0;     // errno of a failed read; 0: none
    std::string bytes;     // when small: all of them
    uid_t owner = 0;       // when regular
    mode_t mode = 0;
};

// Reads `path` whole when it is a small regular file. Never waits on a FIFO
// (it is refused as not regular); with `followLinks` false a symbolic link
// is refused rather than read through. One byte more than the size is asked
// for, so that a file that grows while it is read is not taken for whole.
SmallFile readSmallFile(const std::string& path, bool followLinks);

}  // namespace veilcast
