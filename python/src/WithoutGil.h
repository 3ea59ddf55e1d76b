// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/common/Cancellation.h"

#include <pybind11/pybind11.h>

#include <functional>
#include <memory>

namespace veilcast::python {

// Runs `work` on a thread of its own while the calling Python thread waits
// without the interpreter lock, so that other Python threads run meanwhile.
// A few times a second the caller takes the lock back to let Python handle
// its signals (Ctrl-C) and to call `poll` (progress), if given. A Python
// exception from either cancels `token` and is raised as it was; otherwise
// what `work` threw is rethrown. Call with the lock held; `work` must not
// touch Python objects.
//
// `abandon`: on such an exception, raise it at once rather than wait for
// the work to notice the token (finding a screen map does not look at it).
// Only for work that owns everything it uses (held by the function, by
// value) and whose result nobody waits for: pixels in memory, not files.
//
// When the interpreter exits with keys still running (on daemon threads),
// stopRunningKeys cancels them and waits until each has stopped and cleaned
// up; their threads then never take the lock again, since the interpreter
// would end a thread that does with an unwinding that aborts the process.
void runWithoutGil(const std::shared_ptr<CancellationToken>& token, std::function<void()> work,
                   const std::function<void()>& poll = {}, bool abandon = false);

// For the interpreter's exit (atexit): called with the lock held.
void stopRunningKeys();

}  // namespace veilcast::python
