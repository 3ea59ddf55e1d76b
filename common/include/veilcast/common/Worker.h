// SPDX-License-Identifier: Apache-2.0
#pragma once

// Every hand-off between two threads here (a movie decoded ahead of its
// keying, encoded behind it, a file's strips read ahead, a Python call's work
// run away from the interpreter lock) is the same: one thread that runs what
// it is given, in order, with what each returns or throws carried back to
// whoever waits for it. This is that thread.

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>

namespace veilcast {

class Worker {
public:
    Worker() : thread_([this] { run(); }) {}

    // Finishes the task running, drops those not yet started (their futures
    // then throw std::future_error, broken_promise) and joins the thread.
    ~Worker()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            queue_.clear();
        }
        changed_.notify_all();
        thread_.join();
    }

    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Runs `task` after those given before it. Its future gives back what it
    // returned, or throws what it threw.
    template <typename Task>
    auto submit(Task&& task) -> std::future<std::invoke_result_t<std::decay_t<Task>&>>
    {
        using Result = std::invoke_result_t<std::decay_t<Task>&>;
        // std::function must be copyable, a packaged_task is not.
        auto packaged = std::make_shared<std::packaged_task<Result()>>(std::forward<Task>(task));
        std::future<Result> result = packaged->get_future();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.emplace_back([packaged] { (*packaged)(); });
        }
        changed_.notify_all();
        return result;
    }

private:
    void run()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty())
                return;
            std::function<void()> task = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            // A packaged task keeps what it throws for its future.
            task();
            // What the task held goes before the next is waited for.
            task = nullptr;
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> queue_;
    bool stopping_ = false;
    std::thread thread_;  // last: it starts once the rest is made
};

}  // namespace veilcast
