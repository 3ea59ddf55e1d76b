// SPDX-License-Identifier: Apache-2.0
#include "veilcast/tune/FrameSource.h"

#include "veilcast/common/UsageError.h"
#include "veilcast/movie/MovieReader.h"

#include <filesystem>
#include <stdexcept>

namespace veilcast::tune {

namespace {

// A movie's frames, numbered from 1. Movies decode forwards only: a later
// frame is reached by decoding on from the last one asked for, an earlier
// one by starting again, so stepping through a shot costs one frame a step.
class MovieFrames final : public FrameSource {
public:
    MovieFrames(const std::string& path, const ReadOptions& read) : path_(path)
    {
        options_.raw = read.raw;
        options_.stream = read.part;
        reader_ = std::make_unique<MovieReader>(path_, options_);
        // Before a frame is decoded (counting them decodes every one): the
        // tuner opens what keying opens, and refuses what keying refuses.
        const MovieInfo& info = reader_->info();
        if (static_cast<std::uint64_t>(info.width) * static_cast<std::uint64_t>(info.height) > read.maxPixels)
            throw Failure(Wording{path_ + ": its " + std::to_string(info.width) + "x" + std::to_string(info.height) +
                                      " frames are larger than ", UserChoice::MaxPixels, " allows"});
        long count = reader_->info().frameCount;
        if (count <= 0) {  // the container does not say: count them once
            for (count = 0; reader_->skip();)
                ++count;
            reader_.reset();
        }
        if (count <= 0)
            throw std::runtime_error(path_ + ": holds no video frame");
        for (int f = 1; f <= count; ++f)
            frames_.push_back(f);
    }

    const std::vector<int>& frames() const override { return frames_; }
    bool isSequence() const override { return frames_.size() > 1; }
    std::string describe(int frame) const override
    {
        return std::filesystem::path(path_).filename().string() + " frame " + std::to_string(frame);
    }

    PlanarImage read(int frame) const override
    {
        if (!reader_ || frame <= reader_->frameNumber())
            reader_ = std::make_unique<MovieReader>(path_, options_);
        while (reader_->frameNumber() < frame - 1)
            if (!reader_->skip())
                throw std::runtime_error(path_ + ": has no frame " + std::to_string(frame));
        PlanarImage pixels;
        if (!reader_->read(pixels))
            throw std::runtime_error(path_ + ": has no frame " + std::to_string(frame));
        return pixels;
    }

private:
    std::string path_;
    MovieReadOptions options_;
    std::vector<int> frames_;
    mutable std::unique_ptr<MovieReader> reader_;
};

}  // namespace

std::unique_ptr<FrameSource> openMovie(const std::string& path, const ReadOptions& read)
{
    return std::make_unique<MovieFrames>(path, read);
}

}  // namespace veilcast::tune
