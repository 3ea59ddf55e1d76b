// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/common/Cancellation.h"

namespace veilcast {

// Catches SIGINT and SIGTERM: the first cancels `token`, so that work in
// flight stops cleanly; a second exits at once, removing pending outputs.
void installInterruptHandlers(CancellationToken& token);
// Catches SIGHUP (its terminal closed) as an interrupt too, for a command
// that would otherwise leave files behind; unless it is ignored (nohup).
void catchHangUp();
// The signal received so far, or 0.
int interruptSignal();

}  // namespace veilcast
