// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <string_view>

namespace veilcast {

// `text` made safe to print on a terminal: control characters (C0, DEL and
// the UTF-8 encoded C1 range, which terminals take as escape sequences) are
// shown as \xNN, and a backslash as itself. Names and values that come from
// files or the command line pass through here before they reach a message.
std::string printable(std::string_view text);

}  // namespace veilcast
