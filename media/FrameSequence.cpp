// SPDX-License-Identifier: Apache-2.0
#include "veilcast/media/FrameSequence.h"

#include "veilcast/common/UsageError.h"

#include <OpenImageIO/strutil.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <limits>
#include <cstdio>
#include <regex>
#include <set>

namespace veilcast {

namespace fs = std::filesystem;

std::vector<PatternPiece> splitPattern(const std::string& pattern)
{
    std::vector<PatternPiece> pieces;
    const auto literal = [&](char c) {
        if (pieces.empty() || pieces.back().width)
            pieces.push_back({});
        pieces.back().text += c;
    };
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        const char next = i + 1 < pattern.size() ? pattern[i + 1] : '\0';
        if (c == '\\' && (next == '#' || next == '@' || next == '%')) {
            literal(next);
            ++i;
        } else if (c == '%' && next == '%') {
            literal('%');
            ++i;
        } else if (c == '#' || c == '@') {
            std::size_t end = i;
            while (end < pattern.size() && pattern[end] == c)
                ++end;
            pieces.push_back({"", static_cast<int>(std::min<std::size_t>(end - i, 32))});
            i = end - 1;
        } else if (c == '%') {
            std::size_t end = i + 1;
            while (end < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[end])))
                ++end;
            if (end < pattern.size() && pattern[end] == 'd') {
                int width = 1;
                const std::string digits = pattern.substr(i + 1, end - i - 1);
                std::from_chars(digits.data(), digits.data() + digits.size(), width);
                pieces.push_back({"", std::clamp(width, 1, 32)});
                i = end;
            } else {
                literal(c);
            }
        } else {
            literal(c);
        }
    }
    return pieces;
}

namespace {

// The frame number as printf's %0*d writes it: the sign counts in the width.
std::string padded(int frame, int width)
{
    char text[48];
    std::snprintf(text, sizeof text, "%0*d", width, frame);
    return text;
}


// Frames that are present, sorted, for answering "which of this run exist".
using FrameSet = std::set<std::int64_t>;

// Appends `f`, merging it into the last run when it continues it.
void appendFrame(std::vector<FrameList::Run>& runs, std::int64_t f, std::int64_t step)
{
    if (!runs.empty()) {
        FrameList::Run& last = runs.back();
        if (last.first == last.last && f > last.last) {
            last.step = f - last.last;
            last.last = f;
            return;
        }
        if (f == last.last + last.step) {
            last.last = f;
            return;
        }
    }
    runs.push_back({f, f, step});
}

FrameList fromRuns(const std::vector<FrameList::Run>& runs)
{
    FrameList list;
    for (const FrameList::Run& r : runs)
        list.add(r);
    return list;
}

// Frames of `frames` in `present` (keep = true) or not in it (keep = false), in order,
// visiting only the present frames of each run.
FrameList splitByPresence(const FrameList& frames, const FrameSet& present, bool keep)
{
    std::vector<FrameList::Run> runs;
    for (const FrameList::Run& run : frames.runs()) {
        std::int64_t next = run.first;  // the first frame of the run not yet accounted for
        for (auto it = present.lower_bound(run.first); it != present.end() && *it <= run.last; ++it) {
            if ((*it - run.first) % run.step)
                continue;
            if (!keep && *it > next)
                runs.push_back({next, *it - run.step, run.step});
            if (keep)
                appendFrame(runs, *it, run.step);
            next = *it + run.step;
        }
        if (!keep && next <= run.last)
            runs.push_back({next, run.last, run.step});
    }
    return fromRuns(runs);
}

bool isFile(const fs::path& p)
{
    std::error_code ec;
    return fs::is_regular_file(p, ec);
}

}  // namespace

bool isSequencePattern(const std::string& path)
{
    const auto pieces = splitPattern(path);
    return std::any_of(pieces.begin(), pieces.end(), [](const PatternPiece& p) { return p.width > 0; });
}

std::string framePath(const std::string& pattern, int frame)
{
    std::string out;
    for (const PatternPiece& p : splitPattern(pattern))
        out += p.width ? padded(frame, p.width) : p.text;
    return out;
}

std::uint64_t FrameList::size() const
{
    std::uint64_t n = 0;
    for (const Run& r : runs_)
        n += r.count();
    return n;
}

std::string FrameList::describe(std::size_t maxRuns) const
{
    std::string text;
    for (std::size_t i = 0; i < runs_.size(); ++i) {
        if (i == maxRuns) {
            text += ", ... (" + std::to_string(runs_.size() - maxRuns) + " more runs)";
            break;
        }
        const Run& r = runs_[i];
        text += (i ? ", " : "") + std::to_string(r.first);
        if (r.last != r.first)
            text += "-" + std::to_string(r.last) + (r.step != 1 ? "x" + std::to_string(r.step) : "");
    }
    return text;
}

FrameList parseFrameRange(const std::string& text)
{
    static const std::regex part(R"(\s*(-?\d+)(?:\s*-\s*(-?\d+)(?:\s*x\s*(\d+))?)?\s*)");
    const auto number = [&](const std::string& digits) {
        std::int64_t v = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
        if (error != std::errc() || end != digits.data() + digits.size() || v < std::numeric_limits<int>::min() ||
            v > std::numeric_limits<int>::max())
            throw UsageError(Wording{"", UserChoice::Frames, ": " + digits + " is out of range (frame numbers run from " +
                             std::to_string(std::numeric_limits<int>::min()) + " to " +
                             std::to_string(std::numeric_limits<int>::max()) + ")"});
        return v;
    };
    FrameList frames;
    for (const auto& piece : OIIO::Strutil::splits(text, ",")) {
        std::smatch m;
        const std::string s(piece);
        if (!std::regex_match(s, m, part))
            throw UsageError(Wording{"", UserChoice::Frames, ": \"" + text + "\" is not a frame range like 1001-1100 or 1001-1100x2"});
        const std::int64_t first = number(m.str(1));
        const std::int64_t last = m[2].matched ? number(m.str(2)) : first;
        const std::int64_t step = m[3].matched ? number(m.str(3)) : 1;
        if (step <= 0 || last < first)
            throw UsageError(Wording{"", UserChoice::Frames, ": \"" + s + "\" runs backwards or has a zero step"});
        frames.add({first, last - (last - first) % step, step});
    }
    if (frames.empty())
        throw UsageError(Wording{"", UserChoice::Frames, ": no frames in \"" + text + "\""});
    return frames;
}

FrameCheck checkFrames(const std::string& pattern, const FrameList& frames)
{
    const fs::path patternPath(pattern);
    const std::string name = patternPath.filename().string();
    const fs::path folder = patternPath.parent_path();
    const auto walk = [&]() -> FrameCheck {
        std::vector<FrameList::Run> present, missing;
        frames.forEach([&](int f) {
            appendFrame(isFile(framePath(pattern, f)) ? present : missing, f, 1);
            return true;
        });
        return {fromRuns(present), fromRuns(missing)};
    };
    if (isSequencePattern(folder.string()) || !isSequencePattern(name))
        return walk();
    const fs::path listed = framePath(folder.string(), 0);  // the folder's escapes undone

    // Every file of the folder that the pattern could have written, by the
    // number in it: the part of the name between the text before and after
    // the padding, checked by writing the name back.
    const std::vector<PatternPiece> pieces = splitPattern(name);
    std::string before, after;
    bool seen = false;
    int numbers = 0;
    for (const PatternPiece& p : pieces) {
        numbers += p.width > 0;
        seen = seen || p.width > 0;
        (seen ? after : before) += p.text;
    }
    if (numbers != 1)
        return walk();
    FrameSet present;
    std::error_code ec;
    for (fs::directory_iterator it(listed.empty() ? fs::path(".") : listed, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string file = it->path().filename().string();
        if (file.size() <= before.size() + after.size() || file.compare(0, before.size(), before) != 0 ||
            file.compare(file.size() - after.size(), after.size(), after) != 0)
            continue;
        const std::string digits = file.substr(before.size(), file.size() - before.size() - after.size());
        std::int64_t f = 0;
        const auto [last, error] = std::from_chars(digits.data(), digits.data() + digits.size(), f);
        if (error != std::errc() || last != digits.data() + digits.size() || f < std::numeric_limits<int>::min() ||
            f > std::numeric_limits<int>::max() || framePath(name, static_cast<int>(f)) != file)
            continue;
        std::error_code typeError;
        if (it->is_regular_file(typeError))
            present.insert(f);
    }
    return {splitByPresence(frames, present, true), splitByPresence(frames, present, false)};
}

}  // namespace veilcast
