// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/common/Cancellation.h"

#include <pybind11/pybind11.h>

#include <functional>

namespace veilcast::python {

// Runs `work` on a thread of its own while the calling Python thread waits
// without the interpreter lock, so that other Python threads run meanwhile.
// A few times a second the caller takes the lock back to let Python handle
// its signals (Ctrl-C) and to call `poll` (progress), if given. A Python
// exception from either cancels `token`, waits for the work to stop and is
// raised as it was; otherwise what `work` threw is rethrown. Call with the
// lock held; `work` must not touch Python objects.
//
// When the interpreter exits with keys still running (on daemon threads),
// stopRunningKeys cancels them and waits until each has stopped and cleaned
// up; their threads then never take the lock again, since the interpreter
// would end a thread that does with an unwinding that aborts the process.
void runWithoutGil(CancellationToken& token, const std::function<void()>& work,
                   const std::function<void()>& poll = {});

// For the interpreter's exit (atexit): called with the lock held.
void stopRunningKeys();

}  // namespace veilcast::python
