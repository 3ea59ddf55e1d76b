// SPDX-License-Identifier: Apache-2.0
#include "veilcast/tune/FrameSource.h"

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
    MovieFrames(const std::string& path, bool raw) : path_(path), raw_(raw)
    {
        reader_ = std::make_unique<MovieReader>(path_, readOptions());
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

    MovieReadOptions readOptions() const
    {
        MovieReadOptions options;
        options.raw = raw_;
        return options;
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
            reader_ = std::make_unique<MovieReader>(path_, readOptions());
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
    bool raw_;
    std::vector<int> frames_;
    mutable std::unique_ptr<MovieReader> reader_;
};

}  // namespace

std::unique_ptr<FrameSource> openMovie(const std::string& path, bool raw)
{
    return std::make_unique<MovieFrames>(path, raw);
}

}  // namespace veilcast::tune
