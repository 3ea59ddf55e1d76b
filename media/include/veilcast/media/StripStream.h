// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/common/Cancellation.h"
#include "veilcast/media/ImageReader.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

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
    // Stops reading and waits for the thread.
    ~StripStream();
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
    bool doneReading();

private:
    void run(ReadOptions options);

    std::string path_;
    const CancellationToken* cancellation_;
    std::size_t maxStrips_;
    std::unique_ptr<ImageReader> reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Strip> strips_;
    bool opened_ = false, done_ = false, stop_ = false;
    std::exception_ptr error_;
    std::thread thread_;
};

}  // namespace veilcast
