// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/common/Cancellation.h"

#include <functional>

namespace veilcast::python {

// Runs `work` on a thread of its own while the calling Python thread waits
// without the interpreter lock, so that other Python threads run meanwhile.
// A few times a second the caller takes the lock back to let Python handle
// its signals (Ctrl-C) and to call `poll` (progress), if given. A Python
// exception from either cancels `token`, waits for the work to stop and is
// raised; otherwise what `work` threw is rethrown. Call with the lock held;
// `work` must not touch Python objects.
void runWithoutGil(CancellationToken& token, const std::function<void()>& work,
                   const std::function<void()>& poll = {});

}  // namespace veilcast::python
