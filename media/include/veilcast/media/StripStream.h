// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/common/Cancellation.h"
#include "veilcast/common/Worker.h"
#include "veilcast/media/ImageReader.h"

#include <atomic>
#include <cstddef>
#include <deque>
#include <future>
#include <memory>
#include <optional>
#include <string>

namespace veilcast {

// One image file read on a thread of its own, a strip at a time, at most
// `maxStrips` ahead of whoever takes them: reading overlaps keying and
// writing, and memory stays a few strips whatever the frame's height.
class StripStream {
public:
    struct Strip {
        int y0 = 0, y1 = 0;
        PlanarImage pixels;  // rows y0..y1-1 at the data window's full width
    };

    StripStream(const std::string& path, const ReadOptions& options, const CancellationToken* cancellation,
                std::size_t maxStrips = 3);
    StripStream(const StripStream&) = delete;
    StripStream& operator=(const StripStream&) = delete;

    const std::string& path() const { return path_; }
    // The open file, once open; throws what opening it threw.
    const ImageReader& reader();
    // The next strip, top to bottom; false after the last. Throws what
    // reading threw, or Cancelled.
    bool next(Strip& strip);
    // True once every strip has been read (or reading failed): the next
    // file may start.
    bool doneReading() const { return done_; }

private:
    // On the reading thread: the next strip, none past the last or once
    // reading has failed.
    std::optional<Strip> readNext();

    std::string path_;
    const CancellationToken* cancellation_;
    std::unique_ptr<ImageReader> reader_;
    int nextRow_ = 0;
    bool failed_ = false;  // reading thread's own
    std::atomic<bool> done_{false};
    std::shared_future<void> opened_;
    std::deque<std::future<std::optional<Strip>>> ahead_;
    // Last: it finishes the strip it reads before what it reads into goes.
    Worker worker_;
};

}  // namespace veilcast
