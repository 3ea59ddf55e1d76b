// SPDX-License-Identifier: Apache-2.0
#include "WithoutGil.h"

#include <pybind11/pybind11.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

namespace py = pybind11;

namespace veilcast::python {

void runWithoutGil(CancellationToken& token, const std::function<void()>& work, const std::function<void()>& poll)
{
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        finished.notify_all();
    });

    // Signals reach Python only when this thread asks, so it cannot simply
    // block until the work ends.
    std::optional<py::error_already_set> raised;
    for (;;) {
        {
            py::gil_scoped_release unlocked;
            std::unique_lock<std::mutex> lock(mutex);
            if (finished.wait_for(lock, std::chrono::milliseconds(50), [&] { return done; }))
                break;
        }
        if (raised)
            continue;
        try {
            if (PyErr_CheckSignals() != 0)
                throw py::error_already_set();
            if (poll)
                poll();
        } catch (py::error_already_set& e) {
            raised = std::move(e);
            token.cancel();
        }
    }
    {
        py::gil_scoped_release unlocked;
        worker.join();
    }
    if (raised)
        throw *raised;
    if (failure)
        std::rethrow_exception(failure);
    if (poll)
        poll();
}

}  // namespace veilcast::python
