// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

namespace veilcast {

// `text` as one word for a POSIX shell: as it is when it holds only
// characters no shell treats specially, else in single quotes. For the
// `veilcast` command lines front ends show or write into scripts.
std::string shellQuote(const std::string& text);

// `argv` as one line a POSIX shell reads back as those words.
std::string commandText(const std::vector<std::string>& argv);

}  // namespace veilcast
