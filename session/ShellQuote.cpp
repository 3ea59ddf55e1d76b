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

}  // namespace veilcast
