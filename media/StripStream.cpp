// SPDX-License-Identifier: Apache-2.0
#include "veilcast/media/StripStream.h"

#include <algorithm>

namespace veilcast {

StripStream::StripStream(const std::string& path, const ReadOptions& options, const CancellationToken* cancellation,
                         std::size_t maxStrips)
    : path_(path), cancellation_(cancellation)
{
    ReadOptions quiet = options;
    quiet.progress = nullptr;
    opened_ = worker_
                  .submit([this, quiet] {
                      try {
                          reader_ = std::make_unique<ImageReader>(path_, quiet);
                          nextRow_ = reader_->box().y;
                      } catch (...) {
                          failed_ = true;
                          done_ = true;
                          throw;
                      }
                  })
                  .share();
    for (std::size_t i = 0; i < std::max<std::size_t>(maxStrips, 1); ++i)
        ahead_.push_back(worker_.submit([this] { return readNext(); }));
}

std::optional<StripStream::Strip> StripStream::readNext()
{
    if (failed_ || nextRow_ >= reader_->box().t)
        return std::nullopt;
    try {
        if (cancellation_ && cancellation_->cancelled())
            throw Cancelled();
        Strip strip;
        strip.y0 = nextRow_;
        strip.y1 = std::min(reader_->box().t, nextRow_ + reader_->stripRows());
        strip.pixels = reader_->makeStrip(strip.y0, strip.y1);
        reader_->read(strip.y0, strip.y1, strip.pixels);
        nextRow_ = strip.y1;
        if (nextRow_ >= reader_->box().t)
            done_ = true;
        return strip;
    } catch (...) {
        failed_ = true;
        done_ = true;
        throw;
    }
}

const ImageReader& StripStream::reader()
{
    opened_.get();
    return *reader_;
}

bool StripStream::next(Strip& strip)
{
    opened_.get();
    if (ahead_.empty())
        return false;
    std::future<std::optional<Strip>> front = std::move(ahead_.front());
    ahead_.pop_front();
    std::optional<Strip> got = front.get();
    if (!got) {
        ahead_.clear();
        return false;
    }
    strip = std::move(*got);
    ahead_.push_back(worker_.submit([this] { return readNext(); }));
    return true;
}

}  // namespace veilcast
