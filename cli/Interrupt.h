// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/host/Cancellation.h"

namespace veilcast {

// Catches SIGINT and SIGTERM: the first cancels `token`, so that work in
// flight stops cleanly; a second exits at once, removing pending outputs.
void installInterruptHandlers(CancellationToken& token);
// The signal received so far, or 0.
int interruptSignal();

}  // namespace veilcast
