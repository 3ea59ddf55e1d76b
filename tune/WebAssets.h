// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace veilcast::tune {

// Every file of tune/web/, embedded at build time, by its file name
// ("index.html", "app.js"): the server makes each a route of the page.
const std::map<std::string, std::string_view>& webAssets();

}  // namespace veilcast::tune
