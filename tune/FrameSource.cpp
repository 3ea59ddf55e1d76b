// SPDX-License-Identifier: Apache-2.0
#include "veilcast/tune/FrameSource.h"

#include "veilcast/common/UsageError.h"
#include "veilcast/media/FramePattern.h"

#include <filesystem>

namespace veilcast::tune {

namespace fs = std::filesystem;

namespace {

class ImageFiles final : public FrameSource {
public:
    ImageFiles(std::string input, const ReadOptions& options)
        : input_(std::move(input)), options_(options), sequence_(isSequencePattern(input_))
    {
        frames_ = sequence_ ? scanSequenceFolder(input_).value_or(std::vector<int>{}) : std::vector<int>{0};
        if (frames_.empty())
            throw UsageError(input_ + ": no frame of this sequence exists");
    }

    const std::vector<int>& frames() const override { return frames_; }
    bool isSequence() const override { return sequence_; }
    PlanarImage read(int frame) const override { return readSourceImage(path(frame), options_).pixels; }
    std::string describe(int frame) const override { return fs::path(path(frame)).filename().string(); }

private:
    // framePath also undoes the escapes of a single file's name (\#, \@, \%).
    std::string path(int frame) const { return framePath(input_, sequence_ ? frame : 0); }

    std::string input_;
    ReadOptions options_;
    bool sequence_;
    std::vector<int> frames_;
};

}  // namespace

std::unique_ptr<FrameSource> openImageFiles(const std::string& input, const ReadOptions& options)
{
    return std::make_unique<ImageFiles>(input, options);
}

}  // namespace veilcast::tune
