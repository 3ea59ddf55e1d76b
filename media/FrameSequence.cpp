// SPDX-License-Identifier: Apache-2.0
#include "veilcast/media/FrameSequence.h"

#include "veilcast/common/UsageError.h"

#include <OpenImageIO/strutil.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <limits>
#include <regex>
#include <stdexcept>

namespace veilcast {

namespace fs = std::filesystem;

namespace {

// Frames of `frames` in `present` (keep = true) or not in it (keep = false),
// in order, keeping each run's step and visiting only the present frames.
FrameList splitByPresence(const FrameList& frames, const std::vector<int>& present, bool keep)
{
    FrameList result;
    for (const FrameList::Run& run : frames.runs()) {
        std::int64_t next = run.first;  // the first frame of the run not yet accounted for
        for (auto it = std::lower_bound(present.begin(), present.end(), run.first);
             it != present.end() && *it <= run.last; ++it) {
            if ((*it - run.first) % run.step)
                continue;
            if (!keep && *it > next)
                result.add({next, *it - run.step, run.step});
            if (keep)
                result.append(*it);
            next = *it + run.step;
        }
        if (!keep && next <= run.last)
            result.add({next, run.last, run.step});
    }
    return result;
}

std::string runText(const FrameList::Run& r)
{
    std::string text = std::to_string(r.first);
    if (r.last != r.first)
        text += "-" + std::to_string(r.last) + (r.step != 1 ? "x" + std::to_string(r.step) : "");
    return text;
}

}  // namespace

void FrameList::append(std::int64_t frame)
{
    if (!runs_.empty()) {
        Run& last = runs_.back();
        // The step stays a number parseFrameRange reads back.
        if (last.first == last.last && frame > last.last && frame - last.last <= std::numeric_limits<int>::max()) {
            last.step = frame - last.last;
            last.last = frame;
            return;
        }
        if (frame == last.last + last.step) {
            last.last = frame;
            return;
        }
        if (last.step > 1 && last.count() == 2) {
            // Two frames are a stepped run only if a third continues it.
            const std::int64_t second = last.last;
            last = {last.first, last.first, 1};
            runs_.push_back({second, second, 1});
            append(frame);
            return;
        }
    }
    runs_.push_back({frame, frame, 1});
}

int FrameList::first() const
{
    if (runs_.empty())
        throw std::out_of_range("an empty frame list has no first frame");
    return static_cast<int>(runs_.front().first);
}

bool FrameList::contains(std::int64_t frame) const
{
    return std::any_of(runs_.begin(), runs_.end(), [&](const Run& r) {
        return frame >= r.first && frame <= r.last && (frame - r.first) % r.step == 0;
    });
}

std::optional<int> FrameList::repeatedFrame() const
{
    std::vector<int> all;
    all.reserve(static_cast<std::size_t>(size()));
    forEach([&](int f) {
        all.push_back(f);
        return true;
    });
    std::sort(all.begin(), all.end());
    const auto twice = std::adjacent_find(all.begin(), all.end());
    return twice == all.end() ? std::nullopt : std::optional<int>(*twice);
}

std::uint64_t FrameList::size() const
{
    std::uint64_t n = 0;
    for (const Run& r : runs_)
        n += r.count();
    return n;
}

std::string FrameList::format() const
{
    std::string text;
    for (const Run& r : runs_)
        text += (text.empty() ? "" : ",") + runText(r);
    return text;
}

std::string FrameList::describe(std::size_t maxRuns) const
{
    std::string text;
    for (std::size_t i = 0; i < runs_.size(); ++i) {
        if (i == maxRuns) {
            text += ", ... (" + std::to_string(runs_.size() - maxRuns) + " more runs)";
            break;
        }
        text += (i ? ", " : "") + runText(runs_[i]);
    }
    return text;
}

FrameList parseFrameRange(const std::string& text, UserChoice choice)
{
    static const std::regex part(R"(\s*(-?\d+)(?:\s*-\s*(-?\d+)(?:\s*x\s*(\d+))?)?\s*)");
    const auto number = [&](const std::string& digits) {
        std::int64_t v = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
        if (error != std::errc() || end != digits.data() + digits.size() || v < std::numeric_limits<int>::min() ||
            v > std::numeric_limits<int>::max())
            throw UsageError(Wording{"", choice, ": " + digits + " is out of range (frame numbers run from " +
                             std::to_string(std::numeric_limits<int>::min()) + " to " +
                             std::to_string(std::numeric_limits<int>::max()) + ")"});
        return v;
    };
    FrameList frames;
    for (const auto& piece : OIIO::Strutil::splits(text, ",")) {
        std::smatch m;
        const std::string s(piece);
        if (!std::regex_match(s, m, part))
            throw UsageError(Wording{"", choice, ": \"" + text + "\" is not a frame range like 1001-1100 or 1001-1100x2"});
        const std::int64_t first = number(m.str(1));
        const std::int64_t last = m[2].matched ? number(m.str(2)) : first;
        const std::int64_t step = m[3].matched ? number(m.str(3)) : 1;
        if (step <= 0 || last < first)
            throw UsageError(Wording{"", choice, ": \"" + s + "\" runs backwards or has a zero step"});
        frames.add({first, last - (last - first) % step, step});
    }
    if (frames.empty())
        throw UsageError(Wording{"", choice, ": no frames in \"" + text + "\""});
    return frames;
}

FrameCheck checkFrames(const std::string& pattern, const FrameList& frames)
{
    if (const std::optional<std::vector<int>> present = scanSequenceFolder(pattern))
        return {splitByPresence(frames, *present, true), splitByPresence(frames, *present, false)};
    FrameCheck check;
    frames.forEach([&](int f) {
        std::error_code ec;
        (fs::is_regular_file(framePath(pattern, f), ec) ? check.present : check.missing).append(f);
        return true;
    });
    return check;
}

}  // namespace veilcast
