// SPDX-License-Identifier: Apache-2.0
#include "veilcast/media/FramePattern.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <limits>

namespace veilcast {

namespace fs = std::filesystem;

// Read here rather than by the image library's parse_pattern and
// scan_for_matching_filenames: those take '#' as four digits, know none of
// the escapes, and match names through a regular expression that a '+' or
// '*' in a folder's name would change.
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

bool isSequencePattern(const std::string& path)
{
    const auto pieces = splitPattern(path);
    return std::any_of(pieces.begin(), pieces.end(), [](const PatternPiece& p) { return p.width > 0; });
}

std::string framePath(const std::string& pattern, int frame)
{
    std::string out;
    for (const PatternPiece& p : splitPattern(pattern)) {
        if (!p.width) {
            out += p.text;
            continue;
        }
        // As printf's %0*d writes it: the sign counts in the width.
        char number[48];
        std::snprintf(number, sizeof number, "%0*d", p.width, frame);
        out += number;
    }
    return out;
}

std::optional<std::vector<int>> scanSequenceFolder(const std::string& pattern)
{
    const fs::path patternPath(pattern);
    const std::string name = patternPath.filename().string();
    const fs::path folder = patternPath.parent_path();
    if (isSequencePattern(folder.string()))
        return std::nullopt;
    // The text before and after the one number in the name: a file of the
    // sequence is that text around the digits, checked by writing it back.
    std::string before, after;
    int numbers = 0;
    for (const PatternPiece& p : splitPattern(name)) {
        numbers += p.width > 0;
        (numbers ? after : before) += p.text;
    }
    if (numbers != 1)
        return std::nullopt;
    const fs::path listed = framePath(folder.string(), 0);  // the folder's escapes undone
    std::vector<int> frames;
    std::error_code ec;
    for (fs::directory_iterator it(listed.empty() ? fs::path(".") : listed, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string file = it->path().filename().string();
        if (file.size() <= before.size() + after.size() || file.compare(0, before.size(), before) != 0 ||
            file.compare(file.size() - after.size(), after.size(), after) != 0)
            continue;
        const char* digits = file.data() + before.size();
        const char* digitsEnd = file.data() + file.size() - after.size();
        std::int64_t f = 0;
        const auto [last, error] = std::from_chars(digits, digitsEnd, f);
        if (error != std::errc() || last != digitsEnd || f < std::numeric_limits<int>::min() ||
            f > std::numeric_limits<int>::max() || framePath(name, static_cast<int>(f)) != file)
            continue;
        std::error_code typeError;
        if (it->is_regular_file(typeError))
            frames.push_back(static_cast<int>(f));
    }
    std::sort(frames.begin(), frames.end());
    frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
    return frames;
}

}  // namespace veilcast
