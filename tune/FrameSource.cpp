// SPDX-License-Identifier: Apache-2.0
#include "veilcast/tune/FrameSource.h"

#include "veilcast/common/UsageError.h"
#include "veilcast/media/FrameSequence.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace veilcast::tune {

namespace fs = std::filesystem;

namespace {

class ImageFiles final : public FrameSource {
public:
    ImageFiles(std::string input, const ReadOptions& options)
        : input_(std::move(input)), options_(options), sequence_(isSequencePattern(input_))
    {
        frames_ = sequence_ ? findSequenceFrames(input_) : std::vector<int>{0};
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

std::vector<int> findSequenceFrames(const std::string& pattern)
{
    // A frame number wider than any padding marks where the number goes; the
    // text around it is what every frame's name shares.
    constexpr int kMarker = 987654321;
    const std::string marked = framePath(pattern, kMarker);
    const std::size_t at = marked.rfind(std::to_string(kMarker));
    if (at == std::string::npos)
        return {};
    const fs::path folder = fs::path(marked).parent_path();
    const std::string prefix = fs::path(marked.substr(0, at)).filename().string();
    const std::string suffix = marked.substr(at + std::to_string(kMarker).size());
    if (suffix.find('/') != std::string::npos)
        return {};  // the number is in a folder's name: not supported here
    std::vector<int> frames;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder.empty() ? fs::path(".") : folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
        const bool numeric = digits.size() <= 10 &&
                             std::all_of(digits.begin() + (digits[0] == '-' ? 1 : 0), digits.end(),
                                         [](unsigned char c) { return std::isdigit(c) != 0; }) &&
                             digits != "-";
        if (!numeric)
            continue;
        const long long n = std::stoll(digits);
        if (n < INT32_MIN || n > INT32_MAX)
            continue;
        const int frame = static_cast<int>(n);
        // Padding must match too: plate.1.exr is not frame 1 of plate.####.exr.
        std::error_code typeError;
        if (fs::path(framePath(pattern, frame)).filename() == name && entry.is_regular_file(typeError))
            frames.push_back(frame);
    }
    std::sort(frames.begin(), frames.end());
    frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
    return frames;
}

std::unique_ptr<FrameSource> openImageFiles(const std::string& input, const ReadOptions& options)
{
    return std::make_unique<ImageFiles>(input, options);
}

}  // namespace veilcast::tune
