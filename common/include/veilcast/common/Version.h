// SPDX-License-Identifier: Apache-2.0
#pragma once

namespace veilcast {

// Set by the build from the project's version.
inline constexpr const char* kVersion = VEILCAST_VERSION;

}  // namespace veilcast
