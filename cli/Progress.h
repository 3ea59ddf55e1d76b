#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

namespace veilcast {

// A one-line progress bar on stderr, for terminals only; safe to update from
// worker threads and throttled to a few redraws a second.
class Progress {
public:
    explicit Progress(bool enabled) : enabled_(enabled) {}

    void startFrame(int index, int count, const std::string& name, int rows);
    void rowsDone(int rows);
    void finish();

private:
    void draw(int rows);

    bool enabled_;
    std::mutex mutex_;
    std::string label_;
    int totalRows_ = 1;
    std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace veilcast
