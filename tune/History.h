// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/session/ControlSettings.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace veilcast::tune {

// Undo and redo of control changes, as snapshots of every control's value:
// a snapshot is the same NAME=VALUE list a settings file holds, so restoring
// one goes through the same parsing as --settings.
class History {
public:
    using Snapshot = std::vector<Setting>;

    // Call before changing `control`, with the settings as they are. A change
    // that continues the previous one (a slider being dragged: `merge`, same
    // control) adds no step, so one drag is undone at once.
    void recordBefore(Snapshot before, const std::string& control, bool merge);
    // A change that is no control's (eyedropper, Auto): always its own step.
    void recordBefore(Snapshot before) { recordBefore(std::move(before), std::string(), false); }

    // The snapshot to restore, given the current one (kept for the way back);
    // nullopt when there is nothing to undo or redo.
    std::optional<Snapshot> undo(Snapshot current);
    std::optional<Snapshot> redo(Snapshot current);

    bool canUndo() const { return !undo_.empty(); }
    bool canRedo() const { return !redo_.empty(); }

private:
    // Takes the snapshot to restore off `from`, keeping `current` on `to` for the way back.
    std::optional<Snapshot> step(std::vector<Snapshot>& from, std::vector<Snapshot>& to, Snapshot current);

    static constexpr std::size_t kMaxSteps = 1000;  // a long session must not grow without bound
    std::vector<Snapshot> undo_, redo_;
    std::string lastControl_;
};

}  // namespace veilcast::tune
