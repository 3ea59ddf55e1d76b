// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <stdexcept>

namespace veilcast {

// A mistake in what the user asked for (an option, a setting, a path), as
// opposed to a failure while working; front ends report the two apart.
struct UsageError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

}  // namespace veilcast
