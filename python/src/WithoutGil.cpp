// SPDX-License-Identifier: Apache-2.0
#include "WithoutGil.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace py = pybind11;

namespace veilcast::python {

namespace {

// Every run whose work has not yet been joined, and whether the interpreter
// is exiting. Never destroyed: threads parked at exit still hold its mutex's
// address when the process's static objects go.
struct Runs {
    std::mutex mutex;
    std::condition_variable changed;
    std::set<CancellationToken*> active;
    bool closing = false;
};

Runs& runs()
{
    static Runs* const all = new Runs;
    return *all;
}

[[noreturn]] void parkForever()
{
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

// Takes the interpreter lock back for a run that is over, unless the
// interpreter is exiting. A run stays listed until it holds the lock, so
// the interpreter cannot begin to finalize while it is on its way back.
void finish(CancellationToken& token, PyThreadState* state)
{
    Runs& all = runs();
    bool closing = false;
    {
        std::lock_guard<std::mutex> lock(all.mutex);
        closing = all.closing;
        if (closing) {
            all.active.erase(&token);
            all.changed.notify_all();
        }
    }
    if (closing)
        parkForever();
    PyEval_RestoreThread(state);
    std::lock_guard<std::mutex> lock(all.mutex);
    all.active.erase(&token);
    all.changed.notify_all();
}

}  // namespace

void stopRunningKeys()
{
    Runs& all = runs();
    PyThreadState* state = PyEval_SaveThread();
    {
        std::unique_lock<std::mutex> lock(all.mutex);
        all.closing = true;
        for (CancellationToken* token : all.active)
            token->cancel();
        all.changed.wait(lock, [&] { return all.active.empty(); });
    }
    PyEval_RestoreThread(state);
}

void runWithoutGil(CancellationToken& token, const std::function<void()>& work, const std::function<void()>& poll)
{
    Runs& all = runs();
    {
        std::lock_guard<std::mutex> lock(all.mutex);
        if (all.closing)
            throw Cancelled();
        all.active.insert(&token);
    }
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
        PyThreadState* state = PyEval_SaveThread();
        bool over = false;
        {
            std::unique_lock<std::mutex> lock(mutex);
            over = finished.wait_for(lock, std::chrono::milliseconds(50), [&] { return done; });
        }
        bool closing = false;
        {
            std::lock_guard<std::mutex> lock(all.mutex);
            closing = all.closing;
        }
        if (closing) {
            token.cancel();
            worker.join();
            finish(token, state);
        }
        if (over) {
            worker.join();
            finish(token, state);
            break;
        }
        PyEval_RestoreThread(state);
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
    if (raised)
        throw *raised;
    if (failure)
        std::rethrow_exception(failure);
    if (poll)
        poll();
}

}  // namespace veilcast::python
