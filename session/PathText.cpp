// SPDX-License-Identifier: Apache-2.0
#include "veilcast/session/PathText.h"

#include "veilcast/common/UsageError.h"

#include <cstdio>

namespace veilcast {

namespace {

bool isControl(unsigned char c)
{
    return c < 0x20 || c == 0x7f;
}

}  // namespace

std::string escapedPath(const std::string& path)
{
    std::string text;
    for (const char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\n')
            text += "\\n";
        else if (c == '\r')
            text += "\\r";
        else if (c == '\t')
            text += "\\t";
        else if (isControl(c)) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            text += hex;
        } else
            text += ch;
    }
    return text;
}

void refuseControlCharacters(const std::string& path, const std::string& what)
{
    for (const char ch : path)
        if (isControl(static_cast<unsigned char>(ch)))
            throw UsageError(what + " \"" + escapedPath(path) +
                             "\" holds a control character (a newline, tab or other): rename it");
}

}  // namespace veilcast
