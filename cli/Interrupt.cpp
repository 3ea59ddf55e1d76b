// SPDX-License-Identifier: Apache-2.0
#include "Interrupt.h"

#include "veilcast/media/PendingOutput.h"

#include <unistd.h>

#include <csignal>

namespace veilcast {

namespace {

volatile std::sig_atomic_t receivedSignal = 0;
CancellationToken* token = nullptr;

extern "C" void onInterrupt(int signal)
{
    // The first interrupt lets work in flight stop and clean up; a second one
    // means now: remove what is pending and leave.
    if (receivedSignal != 0) {
        discardPendingOutputsNow();
        _exit(128 + receivedSignal);
    }
    receivedSignal = signal;
    if (token)
        token->cancel();
}

}  // namespace

void installInterruptHandlers(CancellationToken& cancellation)
{
    token = &cancellation;
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A file-size limit must surface as a write error, not kill the process
    // with a half-written file.
    std::signal(SIGXFSZ, SIG_IGN);
}

void catchHangUp()
{
    struct sigaction previous = {};
    if (sigaction(SIGHUP, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
        return;
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGHUP, &action, nullptr);
}

int interruptSignal()
{
    return receivedSignal;
}

}  // namespace veilcast
