// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/session/KeyProgress.h"

#include <chrono>
#include <mutex>
#include <string>

namespace veilcast {

// Progress on standard error: on a terminal, a one-line bar redrawn a few
// times a second; elsewhere (a farm's log), one line per finished frame.
class Progress : public KeyProgress {
public:
    enum class Style { None, Bar, Log };
    explicit Progress(Style style) : style_(style) {}

    void startFrame(int index, int count, const std::string& name) override;
    void update(double fraction) override;
    void endFrame() override;
    // Clears the bar, so that other output starts on a clean line.
    void finish();

private:
    void draw(double fraction);
    // "~12 s left" from the run's pace so far; empty before a frame is done.
    std::string timeLeft(double fraction) const;

    const Style style_;
    std::mutex mutex_;
    std::string label_;
    std::chrono::steady_clock::time_point frameStart_{}, lastDraw_{}, runStart_{};
    int index_ = 0, count_ = 0;
};

}  // namespace veilcast
