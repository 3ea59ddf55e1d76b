// SPDX-License-Identifier: Apache-2.0
#include "Text.h"

#include <cstdio>

namespace veilcast {

namespace {

void appendEscaped(std::string& out, unsigned char byte)
{
    char code[5];
    std::snprintf(code, sizeof code, "\\x%02X", byte);
    out += code;
}

}  // namespace

std::string printable(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool c1 = c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (c < 0x20 || c == 0x7F) {
            appendEscaped(out, c);
        } else if (c1) {
            appendEscaped(out, c);
            appendEscaped(out, static_cast<unsigned char>(text[++i]));
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace veilcast
