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
    if (index == 0)
        runStart_ = frameStart_;
    index_ = index;
    count_ = count;
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
    const std::string left = timeLeft(1);
    std::fprintf(stderr, "%s %.2f s%s\n", label_.c_str(), seconds, left.empty() ? "" : (", " + left).c_str());
    std::fflush(stderr);
}

void Progress::draw(double fraction)
{
    constexpr int kWidth = 30;
    const double f = std::clamp(fraction, 0.0, 1.0);
    const int filled = static_cast<int>(f * kWidth);
    const std::string left = timeLeft(f);
    std::fprintf(stderr, "\r\033[K[%-*s] %3d%%  %s%s", kWidth, std::string(static_cast<std::size_t>(filled), '#').c_str(),
                 static_cast<int>(f * 100), label_.c_str(), left.empty() ? "" : ("  " + left).c_str());
    std::fflush(stderr);
}

std::string Progress::timeLeft(double fraction) const
{
    const double done = index_ + fraction;
    if (count_ < 2 || done < 1 || done >= count_)
        return {};
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - runStart_).count();
    char text[48];
    std::snprintf(text, sizeof text, "~%.0f s left", elapsed / done * (count_ - done));
    return text;
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
