// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace veilcast::tune {

// A file of tune/web/, embedded at build time, by its file name
// ("index.html"); nullopt for any other name.
std::optional<std::string_view> webAsset(const std::string& name);

}  // namespace veilcast::tune
