// SPDX-License-Identifier: Apache-2.0
#include "History.h"

namespace veilcast::tune {

void History::recordBefore(Snapshot before, const std::string& control, bool merge)
{
    const bool continues = merge && !control.empty() && control == lastControl_ && !undo_.empty();
    lastControl_ = control;
    redo_.clear();
    if (continues)
        return;
    undo_.push_back(std::move(before));
    if (undo_.size() > kMaxSteps)
        undo_.erase(undo_.begin());
}

std::optional<History::Snapshot> History::undo(Snapshot current)
{
    if (undo_.empty())
        return std::nullopt;
    Snapshot back = std::move(undo_.back());
    undo_.pop_back();
    redo_.push_back(std::move(current));
    lastControl_.clear();
    return back;
}

std::optional<History::Snapshot> History::redo(Snapshot current)
{
    if (redo_.empty())
        return std::nullopt;
    Snapshot forward = std::move(redo_.back());
    redo_.pop_back();
    undo_.push_back(std::move(current));
    lastControl_.clear();
    return forward;
}

}  // namespace veilcast::tune
