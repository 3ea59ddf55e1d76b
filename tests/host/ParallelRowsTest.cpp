// SPDX-License-Identifier: Apache-2.0
#include "veilcast/host/ParallelRows.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Case {
    int first, last, grain, threads;
};

// Every row of the range is handed out exactly once, in chunks of one to
// `grain` rows, whatever the number of workers.
TEST(ParallelRows, HandsOutEveryRowOnceInChunksOfAtMostTheGrain)
{
    const Case cases[] = {
        {0, 10, 3, 1},  {0, 10, 3, 2},   {-5, 7, 1, 2}, {0, 1, 100, 0},
        {3, 3, 1, 2},   {0, 1000, 7, 0}, {-9, -2, 2, 1}, {0, 64, 64, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.first) + ".." + std::to_string(c.last) + " grain " + std::to_string(c.grain) +
                     " threads " + std::to_string(c.threads));
        std::mutex mutex;
        std::vector<std::pair<int, int>> chunks;
        veilcast::parallelRows(c.first, c.last, c.grain, c.threads, [&](int begin, int end) {
            std::lock_guard<std::mutex> lock(mutex);
            chunks.emplace_back(begin, end);
        });
        std::vector<int> times(static_cast<std::size_t>(c.last - c.first), 0);
        for (const auto& [begin, end] : chunks) {
            ASSERT_GE(end - begin, 1) << "chunk " << begin << ".." << end;
            ASSERT_LE(end - begin, c.grain) << "chunk " << begin << ".." << end;
            ASSERT_GE(begin, c.first);
            ASSERT_LE(end, c.last);
            for (int y = begin; y < end; ++y)
                ++times[static_cast<std::size_t>(y - c.first)];
        }
        for (std::size_t i = 0; i < times.size(); ++i)
            EXPECT_EQ(times[i], 1) << "row " << c.first + static_cast<int>(i);
    }
}

}  // namespace
