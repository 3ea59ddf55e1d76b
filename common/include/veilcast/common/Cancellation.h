// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <atomic>
#include <stdexcept>

namespace veilcast {

// Asked by long work whether to stop; set by whoever started it (a signal
// handler included: setting it is a lock-free atomic store).
class CancellationToken {
public:
    void cancel() noexcept { cancelled_.store(true); }
    bool cancelled() const noexcept { return cancelled_.load(); }

private:
    std::atomic<bool> cancelled_{false};
    static_assert(std::atomic<bool>::is_always_lock_free);
};

// Thrown when work stops because its token was cancelled.
struct Cancelled : std::runtime_error {
    Cancelled() : std::runtime_error("cancelled") {}
};

}  // namespace veilcast
