// SPDX-License-Identifier: Apache-2.0
#include "veilcast/session/ShellQuote.h"

namespace veilcast {

std::string shellQuote(const std::string& text)
{
    const bool plain = !text.empty() && text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                               "0123456789_-+=.,/:@%") == std::string::npos;
    if (plain)
        return text;
    std::string quoted = "'";
    for (const char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string commandText(const std::vector<std::string>& argv)
{
    std::string text;
    for (const std::string& a : argv)
        text += (text.empty() ? "" : " ") + shellQuote(a);
    return text;
}

}  // namespace veilcast
