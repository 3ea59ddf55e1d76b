// SPDX-License-Identifier: Apache-2.0
#include "veilcast/common/Worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace veilcast {
namespace {

TEST(Worker, RunsTasksInOrderAndCarriesBackWhatEachGaveOrThrew)
{
    std::vector<int> order;  // touched only on the worker, read after its futures
    Worker worker;
    std::vector<std::future<int>> results;
    for (int i = 0; i < 100; ++i)
        results.push_back(worker.submit([&order, i] {
            order.push_back(i);
            if (i % 10 == 3)
                throw std::runtime_error("task " + std::to_string(i));
            return i * i;
        }));
    for (int i = 0; i < 100; ++i) {
        if (i % 10 == 3) {
            try {
                results[i].get();
                ADD_FAILURE() << "task " << i << " threw nothing";
            } catch (const std::runtime_error& e) {
                EXPECT_EQ(std::string(e.what()), "task " + std::to_string(i));
            }
        } else {
            EXPECT_EQ(results[i].get(), i * i);
        }
    }
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(order[i], i);
}

TEST(Worker, GoingAwayFinishesTheRunningTaskAndDropsTheRest)
{
    std::atomic<bool> started{false}, release{false};
    std::atomic<int> ran{0};
    std::future<void> running, queued;
    std::thread releaser;
    {
        Worker worker;
        running = worker.submit([&] {
            started = true;
            while (!release)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ++ran;
        });
        queued = worker.submit([&] { ++ran; });
        while (!started)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        // Let go only once the worker is being destroyed, most likely.
        releaser = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            release = true;
        });
    }
    releaser.join();
    EXPECT_EQ(ran.load(), 1);
    EXPECT_NO_THROW(running.get());
    try {
        queued.get();
        ADD_FAILURE() << "a task never started gave a result";
    } catch (const std::future_error& e) {
        EXPECT_EQ(e.code(), std::future_errc::broken_promise);
    }
}

}  // namespace
}  // namespace veilcast
