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
    return step(undo_, redo_, std::move(current));
}

std::optional<History::Snapshot> History::redo(Snapshot current)
{
    return step(redo_, undo_, std::move(current));
}

std::optional<History::Snapshot> History::step(std::vector<Snapshot>& from, std::vector<Snapshot>& to, Snapshot current)
{
    if (from.empty())
        return std::nullopt;
    Snapshot next = std::move(from.back());
    from.pop_back();
    to.push_back(std::move(current));
    lastControl_.clear();
    return next;
}

}  // namespace veilcast::tune
