// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>

namespace veilcast {

// Runs body(begin, end) over [first, last) in chunks of `grain` rows on up to
// `threads` workers (0: all cores). The one place the host spreads work over
// threads.
void parallelRows(int first, int last, int grain, int threads, const std::function<void(int, int)>& body);

}  // namespace veilcast
