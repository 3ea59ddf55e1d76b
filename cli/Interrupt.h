#pragma once

#include <stdexcept>

namespace veilcast {

// Thrown when the user interrupted the run; the exit code tells which signal.
struct Interrupted : std::runtime_error {
    Interrupted() : std::runtime_error("interrupted") {}
};

// Catches SIGINT and SIGTERM so that work in flight can stop cleanly; a
// second one exits at once, removing pending outputs.
void installInterruptHandlers();
// The signal received so far, or 0.
int interruptSignal();
inline bool interrupted() { return interruptSignal() != 0; }

}  // namespace veilcast
