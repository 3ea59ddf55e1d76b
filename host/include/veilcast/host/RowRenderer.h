// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/host/PlanarImage.h"

#include "DDImage/Iop.h"

#include <functional>

namespace veilcast {

// Validates the operator and its inputs, then asks it for `channels` over its box.
void validateAndRequest(DD::Image::Iop& op, const DD::Image::ChannelSet& channels, int count = 1);

struct RenderOptions {
    int threads = 0;  // 0: all cores
    // Polled before each row; returning true aborts the operator tree, which
    // stops the rows in flight and skips the rest.
    std::function<bool()> cancelled;
    // Called with the number of rows finished so far, from worker threads.
    std::function<void(int rowsDone)> progress;
};

enum class RenderResult { Complete, Aborted };

// Pulls every row of out.box() for out's channels from `op`, several rows at a
// time on the worker threads, writing straight into `out`. Pixels the operator
// does not write keep what `out` held. The operator must have been validated
// and requested; its settings must not change until this returns.
RenderResult renderRows(DD::Image::Iop& op, PlanarImage& out, const RenderOptions& options = {});

}  // namespace veilcast
