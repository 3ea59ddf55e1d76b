// SPDX-License-Identifier: Apache-2.0
#include "veilcast/farm/FarmFiles.h"

#include "veilcast/media/FrameSequence.h"

#include <cctype>
#include <filesystem>
#include <string_view>

namespace veilcast::farm {

namespace fs = std::filesystem;

namespace {

bool keptInName(unsigned char c)
{
    return std::isalnum(c) || c >= 0x80 || std::string_view(".,_-+=").find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

std::string farmName(const std::string& pattern)
{
    // Read as framePath reads it, so that two spellings of one sequence
    // share their farm files and no two sequences do.
    std::string name;
    bool afterNumber = false;
    for (const PatternPiece& piece : splitPattern(pattern)) {
        if (piece.width) {
            if (afterNumber)
                name += '~';
            name += std::string(static_cast<std::size_t>(piece.width), '#');
        }
        for (const char ch : piece.text) {
            const auto c = static_cast<unsigned char>(ch);
            name += keptInName(c) ? std::string(1, ch) : "~" + hexDigits(std::string_view(&ch, 1));
        }
        afterNumber = piece.width > 0;
    }
    return name;
}

FarmFiles farmFilesFor(const std::string& outputPattern)
{
    const fs::path folder = fs::path(framePath(fs::path(outputPattern).parent_path().string(), 0));
    const std::string name = farmName(fs::path(outputPattern).filename().string());
    const auto beside = [&](const std::string& suffix) { return (folder / (name + suffix)).string(); };
    FarmFiles files{folder.string(), name, beside(".farm.settings"), beside(".farm.sh"), beside(".farm.summary"),
                    "", ""};
    if (files.folder.find('\\') == std::string::npos) {
        // The name holds neither '%' nor '\\' (farmName): only the folder's need escaping.
        std::string escaped;
        for (const char c : files.folder)
            escaped += c == '%' ? std::string("%%") : std::string(1, c);
        files.log = (fs::path(escaped) / (name + ".farm.%A_%a.log")).string();
        files.checkLog = (fs::path(escaped) / (name + ".farm.%j.check.log")).string();
    }
    return files;
}

}  // namespace veilcast::farm
