// SPDX-License-Identifier: Apache-2.0
#include "veilcast/session/FileClashes.h"

#include "veilcast/common/UsageError.h"
#include "veilcast/session/KeySession.h"

#include <cctype>
#include <charconv>
#include <filesystem>
#include <limits>
#include <optional>

namespace veilcast {

namespace fs = std::filesystem;

namespace {

const char* roleName(JobFile::Role role)
{
    switch (role) {
    case JobFile::Role::Input: return "input";
    case JobFile::Role::CleanPlate: return "clean plate";
    case JobFile::Role::Settings: return "settings file";
    case JobFile::Role::Output: return "output";
    case JobFile::Role::Preview: return "preview";
    }
    return "";
}

// One file of a JobFile, with its frame number when it is a pattern's.
struct Concrete {
    std::string path;
    std::optional<int> frame;
};

bool keyed(const FrameList* frames, std::int64_t f)
{
    return f >= std::numeric_limits<int>::min() && f <= std::numeric_limits<int>::max() &&
           (!frames || frames->contains(f));
}

// The frames of `f` that the job touches: those it keys of what it writes,
// every frame of what it reads (a plate outside the range is a plate too).
const FrameList* touched(const JobFile& f, const FrameList* frames)
{
    return f.written() ? frames : nullptr;
}

// The files of `f` there are to lose: a single file whether it exists or not
// (an output may not exist yet), a pattern's frames that exist.
std::vector<Concrete> concreteFiles(const JobFile& f, const FrameList* frames)
{
    if (!isSequencePattern(f.path))
        return {{framePath(f.path, 0), std::nullopt}};
    std::vector<Concrete> files;
    const auto add = [&, only = touched(f, frames)](int frame) {
        if (keyed(only, frame))
            files.push_back({framePath(f.path, frame), frame});
        return true;
    };
    if (const std::optional<std::vector<int>> found = scanSequenceFolder(f.path)) {
        for (const int frame : *found)
            add(frame);
    } else if (frames) {
        checkFrames(f.path, *frames).present.forEach(add);
    }
    return files;
}

// The frame of `pattern` that is `file`, if one the job keys is: the same
// frame number, or any number `file`'s name holds that framePath writes into
// the same name, the same file on disk or by path. So p.0001.png is frame 1
// of p.%d.png too, and p.10002.exr frame 2 of p.1####.exr.
std::optional<std::string> frameFile(const std::string& pattern, const Concrete& file, const FrameList* frames)
{
    if (!isSequencePattern(pattern))
        return samePath(framePath(pattern, 0), file.path) ? std::optional(framePath(pattern, 0)) : std::nullopt;
    if (file.frame && keyed(frames, *file.frame)) {
        const std::string candidate = framePath(pattern, *file.frame);
        if (samePath(candidate, file.path))
            return candidate;
    }
    const std::string name = fs::path(file.path).filename().string();
    const auto digit = [&](std::size_t i) { return std::isdigit(static_cast<unsigned char>(name[i])) != 0; };
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (!digit(i))
            continue;
        const bool negative = i > 0 && name[i - 1] == '-';
        for (std::size_t end = i + 1; end <= name.size() && digit(end - 1); ++end) {
            std::int64_t value = 0;
            const auto [last, error] = std::from_chars(name.data() + i, name.data() + end, value);
            if (error != std::errc() || last != name.data() + end || value > std::numeric_limits<int>::max())
                break;
            for (const std::int64_t f : {value, negative ? -value : value}) {
                if (!keyed(frames, f))
                    continue;
                const std::string candidate = framePath(pattern, static_cast<int>(f));
                if (fs::path(candidate).filename() == name && samePath(candidate, file.path))
                    return candidate;
            }
        }
    }
    return std::nullopt;
}

// Two patterns in one folder that name every frame alike, whether or not
// any frame exists yet.
bool samePattern(const std::string& a, const std::string& b)
{
    if (!isSequencePattern(a) || !isSequencePattern(b))
        return false;
    const auto pieces = [](const std::string& p) {
        std::vector<std::pair<std::string, int>> out;
        for (const PatternPiece& piece : splitPattern(fs::path(p).filename().string()))
            out.emplace_back(piece.text, piece.width);
        return out;
    };
    const auto folder = [](const std::string& p) {
        const fs::path parent = fs::path(p).parent_path();
        return parent.empty() ? std::string(".") : parent.string();
    };
    return pieces(a) == pieces(b) && samePath(folder(a), folder(b));
}

// Where `a` and `b` name the same file: that file as each names it.
std::optional<std::pair<std::string, std::string>> clash(const JobFile& a, const JobFile& b, const FrameList* frames)
{
    for (const Concrete& file : concreteFiles(a, frames))
        if (const auto other = frameFile(b.path, file, touched(b, frames)))
            return std::make_pair(file.path, *other);
    for (const Concrete& file : concreteFiles(b, frames))
        if (const auto mine = frameFile(a.path, file, touched(a, frames)))
            return std::make_pair(*mine, file.path);
    if (samePattern(a.path, b.path))
        return std::make_pair(a.path, b.path);
    return std::nullopt;
}

}  // namespace

void refuseClashes(const std::vector<JobFile>& files, const FrameList* frames)
{
    using Role = JobFile::Role;
    for (std::size_t i = 0; i < files.size(); ++i) {
        for (std::size_t j = 0; j < files.size(); ++j) {
            const JobFile& mine = files[i];
            const JobFile& other = files[j];
            // Each pair once, told from the side that would be written, or
            // from the clean plate when the plate is its own.
            const bool plateItself = mine.role == Role::CleanPlate && other.role == Role::Input;
            if (i == j || !(plateItself || (mine.written() && (!other.written() || j < i))))
                continue;
            const auto found = clash(mine, other, frames);
            if (!found)
                continue;
            const auto& [myFile, otherFile] = *found;
            if (plateItself)
                throw UsageError(Wording{myFile + ": the clean plate given to ", UserChoice::ScreenMap,
                                         " is the plate being keyed (" + otherFile +
                                             "): a clean plate is the backing shot without the subject, and "
                                             "keying against the plate itself keys the subject away"});
            throw UsageError(myFile + ": the " + roleName(mine.role) + " would overwrite the " +
                             roleName(other.role) + (otherFile == myFile ? "" : " " + otherFile));
        }
    }
}

}  // namespace veilcast
