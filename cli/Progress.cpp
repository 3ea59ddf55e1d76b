#include "Progress.h"

#include <cstdio>

namespace veilcast {

void Progress::startFrame(int index, int count, const std::string& name, int rows)
{
    if (!enabled_)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    label_ = "frame " + std::to_string(index + 1) + "/" + std::to_string(count) + " " + name;
    totalRows_ = rows > 0 ? rows : 1;
    lastDraw_ = {};
    draw(0);
}

void Progress::rowsDone(int rows)
{
    if (!enabled_)
        return;
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastDraw_ < std::chrono::milliseconds(100) && rows < totalRows_)
        return;
    lastDraw_ = now;
    draw(rows);
}

void Progress::draw(int rows)
{
    constexpr int kWidth = 30;
    const int filled = static_cast<int>(static_cast<long>(rows) * kWidth / totalRows_);
    std::fprintf(stderr, "\r\033[K[%-*s] %3d%% rows  %s", kWidth, std::string(static_cast<std::size_t>(filled), '#').c_str(),
                 static_cast<int>(static_cast<long>(rows) * 100 / totalRows_), label_.c_str());
    std::fflush(stderr);
}

void Progress::finish()
{
    if (!enabled_)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
}

}  // namespace veilcast
