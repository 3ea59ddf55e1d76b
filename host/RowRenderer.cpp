// SPDX-License-Identifier: Apache-2.0
#include "veilcast/host/RowRenderer.h"

#include "veilcast/host/ParallelRows.h"

#include "DDImage/Row.h"

#include <algorithm>
#include <atomic>

namespace veilcast {

using namespace DD::Image;

namespace {

// Enough pixels per task that scheduling costs little next to the keying.
constexpr int kPixelsPerTask = 1 << 16;

}  // namespace

void validateAndRequest(Iop& op, const ChannelSet& channels, int count)
{
    op.cancel_abort();
    op.validate(true);
    const Box& b = op.info().box();
    op.request(b.x, b.y, b.r, b.t, channels, count);
}

RenderResult renderRows(Iop& op, PlanarImage& out, const RenderOptions& options)
{
    const Box box = out.box();
    const ChannelSet channels = out.channelSet();
    if (box.w() <= 0 || box.h() <= 0)
        return op.aborted() ? RenderResult::Aborted : RenderResult::Complete;

    const int grain = std::max(1, kPixelsPerTask / box.w());
    std::atomic<int> rowsDone{0};
    auto renderRange = [&](int first, int last) {
        for (int y = first; y != last; ++y) {
            if (options.cancelled && options.cancelled())
                op.abort();
            if (op.aborted())
                return;
            Row row(box.x, box.r);
            for (Channel z = channels.first(); z; z = channels.next(z))
                row.attach(z, out.row(z, y));
            op.get(y, box.x, box.r, channels, row);
        }
        const int done = rowsDone.fetch_add(last - first) + (last - first);
        if (options.progress)
            options.progress(done);
    };

    parallelRows(box.y, box.t, grain, options.threads, renderRange);
    return op.aborted() ? RenderResult::Aborted : RenderResult::Complete;
}

}  // namespace veilcast
