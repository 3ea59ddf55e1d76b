// SPDX-License-Identifier: Apache-2.0
#include "veilcast/host/ParallelRows.h"

#ifdef VEILCAST_STD_THREADS
#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>
#else
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>
#endif

namespace veilcast {

#ifndef VEILCAST_STD_THREADS

void parallelRows(int first, int last, int grain, int threads, const std::function<void(int, int)>& body)
{
    tbb::task_arena arena(threads > 0 ? threads : tbb::task_arena::automatic);
    arena.execute([&] {
        tbb::parallel_for(
            tbb::blocked_range<int>(first, last, grain),
            [&](const tbb::blocked_range<int>& rows) { body(rows.begin(), rows.end()); },
            tbb::simple_partitioner());
    });
}

#else

// ThreadSanitizer cannot see the synchronisation inside the prebuilt oneTBB
// library and reports its work stealing as races. Builds for that sanitizer
// use plain threads handing out chunks instead, so that what it checks is the
// operator and the image library running rows concurrently. Cross builds use
// them too: Debian packages oneTBB for the build machine only.
void parallelRows(int first, int last, int grain, int threads, const std::function<void(int, int)>& body)
{
    const int workers = threads > 0 ? threads : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    std::atomic<int> next{first};
    auto work = [&] {
        for (int begin; (begin = next.fetch_add(grain)) < last;)
            body(begin, std::min(last, begin + grain));
    };
    std::vector<std::thread> pool;
    for (int i = 1; i < workers; ++i)
        pool.emplace_back(work);
    work();
    for (std::thread& t : pool)
        t.join();
}

#endif

}  // namespace veilcast
