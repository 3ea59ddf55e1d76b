// SPDX-License-Identifier: Apache-2.0
#include "WithoutGil.h"

#include "veilcast/common/Worker.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

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
    // Runs whose work has ended, not yet seen by their caller.
    std::set<CancellationToken*> ended;
    // Workers whose caller raised without waiting, by run, until their work
    // ends; then spent, to be joined by the next run (a worker cannot join
    // itself).
    std::map<CancellationToken*, std::unique_ptr<Worker>> abandoned;
    std::vector<std::unique_ptr<Worker>> spent;
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
            all.ended.erase(&token);
            all.changed.notify_all();
        }
    }
    if (closing)
        parkForever();
    PyEval_RestoreThread(state);
    std::lock_guard<std::mutex> lock(all.mutex);
    all.active.erase(&token);
    all.ended.erase(&token);
    all.changed.notify_all();
}

// The end of a run's work, on its worker.
void ended(CancellationToken* token)
{
    Runs& all = runs();
    std::lock_guard<std::mutex> lock(all.mutex);
    if (const auto left = all.abandoned.find(token); left != all.abandoned.end()) {
        all.spent.push_back(std::move(left->second));
        all.abandoned.erase(left);
        all.active.erase(token);
        all.changed.notify_all();
    } else {
        all.ended.insert(token);
    }
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
    std::vector<std::unique_ptr<Worker>> spent;
    {
        std::lock_guard<std::mutex> lock(all.mutex);
        if (all.closing)
            throw Cancelled();
        all.active.insert(token.get());
        spent.swap(all.spent);
    }
    spent.clear();
    auto worker = std::make_unique<Worker>();
    std::future<void> done = worker->submit([token, work = std::move(work)]() mutable {
        // What the work holds goes before the run is seen to end, so that
        // nothing of it is left to destroy once the interpreter may exit.
        struct End {
            std::function<void()>& work;
            CancellationToken* token;
            ~End()
            {
                work = nullptr;
                ended(token);
            }
        } end{work, token.get()};
        work();
    });

    // Signals reach Python only when this thread asks, so it cannot simply
    // block until the work ends.
    std::optional<py::error_already_set> raised;
    for (;;) {
        PyThreadState* saved = PyEval_SaveThread();
        const bool over = done.wait_for(std::chrono::milliseconds(50)) == std::future_status::ready;
        if (!over && raised && abandon) {
            {
                std::lock_guard<std::mutex> lock(all.mutex);
                // Its work ended meanwhile: nothing is left to wait for.
                if (all.ended.erase(token.get()) != 0)
                    all.active.erase(token.get()), all.changed.notify_all();
                else
                    all.abandoned.emplace(token.get(), std::move(worker));
            }
            PyEval_RestoreThread(saved);
            throw *raised;
        }
        bool closing = false;
        {
            std::lock_guard<std::mutex> lock(all.mutex);
            closing = all.closing;
        }
        if (closing) {
            token->cancel();
            worker.reset();
            finish(*token, saved);
        }
        if (over) {
            worker.reset();
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
    done.get();
    if (poll)
        poll();
}

}  // namespace veilcast::python
