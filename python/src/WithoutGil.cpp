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

void runWithoutGil(const std::shared_ptr<CancellationToken>& token, std::function<void()> work,
                   const std::function<void()>& poll, bool abandon)
{
    Runs& all = runs();
    {
        std::lock_guard<std::mutex> lock(all.mutex);
        if (all.closing)
            throw Cancelled();
        all.active.insert(token.get());
    }
    // Shared with the worker, which may outlive this call when abandoned.
    struct State {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        bool abandoned = false;
        std::exception_ptr failure;
    };
    const auto state = std::make_shared<State>();
    std::thread worker([state, token, work = std::move(work)]() mutable {
        try {
            work();
        } catch (...) {
            state->failure = std::current_exception();
        }
        // What the work holds goes before the run is seen to end, so that
        // nothing of it is left to destroy once the interpreter may exit.
        work = nullptr;
        std::unique_lock<std::mutex> lock(state->mutex);
        state->done = true;
        state->finished.notify_all();
        if (state->abandoned) {
            lock.unlock();
            Runs& listed = runs();
            std::lock_guard<std::mutex> listLock(listed.mutex);
            listed.active.erase(token.get());
            listed.changed.notify_all();
        }
    });

    // Signals reach Python only when this thread asks, so it cannot simply
    // block until the work ends.
    std::optional<py::error_already_set> raised;
    for (;;) {
        PyThreadState* saved = PyEval_SaveThread();
        bool over = false;
        {
            std::unique_lock<std::mutex> lock(state->mutex);
            over = state->finished.wait_for(lock, std::chrono::milliseconds(50), [&] { return state->done; });
            if (!over && raised && abandon) {
                // Still listed: the worker takes itself off the list once it stops.
                state->abandoned = true;
                lock.unlock();
                worker.detach();
                PyEval_RestoreThread(saved);
                throw *raised;
            }
        }
        bool closing = false;
        {
            std::lock_guard<std::mutex> lock(all.mutex);
            closing = all.closing;
        }
        if (closing) {
            token->cancel();
            worker.join();
            finish(*token, saved);
        }
        if (over) {
            worker.join();
            finish(*token, saved);
            break;
        }
        PyEval_RestoreThread(saved);
        if (raised)
            continue;
        try {
            if (PyErr_CheckSignals() != 0)
                throw py::error_already_set();
            if (poll)
                poll();
        } catch (py::error_already_set& e) {
            raised = std::move(e);
            token->cancel();
        }
    }
    if (raised)
        throw *raised;
    if (state->failure)
        std::rethrow_exception(state->failure);
    if (poll)
        poll();
}

}  // namespace veilcast::python
