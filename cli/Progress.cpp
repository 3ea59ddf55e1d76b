// SPDX-License-Identifier: Apache-2.0
#include "Progress.h"

#include "Text.h"

#include <algorithm>
#include <cstdio>

namespace veilcast {

void Progress::startFrame(int index, int count, const std::string& name)
{
    if (style_ == Style::None)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    label_ = "frame " + std::to_string(index + 1) + "/" + std::to_string(count) + " " + printable(name);
    frameStart_ = std::chrono::steady_clock::now();
    lastDraw_ = {};
    if (style_ == Style::Bar)
        draw(0);
}

void Progress::update(double fraction)
{
    if (style_ != Style::Bar)
        return;
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastDraw_ < std::chrono::milliseconds(100))
        return;
    lastDraw_ = now;
    draw(fraction);
}

void Progress::endFrame()
{
    if (style_ == Style::None)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (style_ == Style::Bar) {
        draw(1);
        return;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - frameStart_).count();
    std::fprintf(stderr, "%s %.2f s\n", label_.c_str(), seconds);
    std::fflush(stderr);
}

void Progress::draw(double fraction)
{
    constexpr int kWidth = 30;
    const double f = std::clamp(fraction, 0.0, 1.0);
    const int filled = static_cast<int>(f * kWidth);
    std::fprintf(stderr, "\r\033[K[%-*s] %3d%%  %s", kWidth, std::string(static_cast<std::size_t>(filled), '#').c_str(),
                 static_cast<int>(f * 100), label_.c_str());
    std::fflush(stderr);
}

void Progress::finish()
{
    if (style_ != Style::Bar)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
}

}  // namespace veilcast
