#include "FrameSequence.h"

#include <OpenImageIO/strutil.h>

#include <cctype>
#include <regex>
#include <stdexcept>

namespace veilcast {

namespace {

const std::regex kPadding(R"(#+|%0?(\d*)d)");

}  // namespace

bool isSequencePattern(const std::string& path)
{
    return std::regex_search(path, kPadding);
}

std::string framePath(const std::string& pattern, int frame)
{
    std::string out;
    auto begin = pattern.cbegin();
    for (std::sregex_iterator it(pattern.begin(), pattern.end(), kPadding), end; it != end; ++it) {
        const std::smatch& m = *it;
        const std::size_t width = m.str(0)[0] == '#' ? m.length(0) : (m[1].length() ? std::stoul(m.str(1)) : 1);
        std::string number = std::to_string(frame < 0 ? -frame : frame);
        if (number.size() < width)
            number.insert(0, width - number.size(), '0');
        out.append(begin, m[0].first).append(frame < 0 ? "-" : "").append(number);
        begin = m[0].second;
    }
    return out.append(begin, pattern.cend());
}

std::vector<int> parseFrameRange(const std::string& text)
{
    static const std::regex part(R"(\s*(-?\d+)(?:\s*-\s*(-?\d+)(?:\s*x\s*(\d+))?)?\s*)");
    std::vector<int> frames;
    for (const auto& piece : OIIO::Strutil::splits(text, ",")) {
        std::smatch m;
        const std::string s(piece);
        if (!std::regex_match(s, m, part))
            throw std::invalid_argument("--frames: \"" + text + "\" is not a frame range like 1001-1100 or 1001-1100x2");
        const int first = std::stoi(m.str(1));
        const int last = m[2].matched ? std::stoi(m.str(2)) : first;
        const int step = m[3].matched ? std::stoi(m.str(3)) : 1;
        if (step <= 0 || last < first)
            throw std::invalid_argument("--frames: \"" + s + "\" runs backwards or has a zero step");
        for (long f = first; f <= last; f += step)
            frames.push_back(static_cast<int>(f));
    }
    if (frames.empty())
        throw std::invalid_argument("--frames: no frames in \"" + text + "\"");
    return frames;
}

}  // namespace veilcast
