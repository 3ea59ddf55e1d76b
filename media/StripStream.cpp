// SPDX-License-Identifier: Apache-2.0
#include "veilcast/media/StripStream.h"

#include <algorithm>

namespace veilcast {

StripStream::StripStream(const std::string& path, const ReadOptions& options, const CancellationToken* cancellation,
                         std::size_t maxStrips)
    : path_(path), cancellation_(cancellation), maxStrips_(std::max<std::size_t>(maxStrips, 1))
{
    thread_ = std::thread([this, options] { run(options); });
}

StripStream::~StripStream()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void StripStream::run(ReadOptions options)
{
    options.progress = nullptr;
    try {
        auto reader = std::make_unique<ImageReader>(path_, options);
        ImageReader& r = *reader;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            reader_ = std::move(reader);
            opened_ = true;
        }
        changed_.notify_all();
        const DD::Image::Box box = r.box();
        for (int y = box.y; y < box.t; y += r.stripRows()) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] { return stop_ || strips_.size() < maxStrips_; });
                if (stop_)
                    break;
            }
            if (cancellation_ && cancellation_->cancelled())
                throw Cancelled();
            Strip strip;
            strip.y0 = y;
            strip.y1 = std::min(box.t, y + r.stripRows());
            strip.pixels = r.makeStrip(strip.y0, strip.y1);
            r.read(strip.y0, strip.y1, strip.pixels);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                strips_.push_back(std::move(strip));
            }
            changed_.notify_all();
        }
    } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        error_ = std::current_exception();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        opened_ = done_ = true;
    }
    changed_.notify_all();
}

const ImageReader& StripStream::reader()
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return opened_; });
    if (!reader_)
        std::rethrow_exception(error_);
    return *reader_;
}

bool StripStream::next(Strip& strip)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !strips_.empty() || done_; });
    if (strips_.empty()) {
        if (error_)
            std::rethrow_exception(error_);
        return false;
    }
    strip = std::move(strips_.front());
    strips_.pop_front();
    lock.unlock();
    changed_.notify_all();
    return true;
}

bool StripStream::doneReading()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return done_;
}

}  // namespace veilcast
