// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/host/Controls.h"

#include <nlohmann/json.hpp>

namespace veilcast::tune {

// The control table as the page builds its controls from it, in the order
// the operator declared them: groups ({"kind": "group", name, label}) and
// value controls ({kind: bool|float|color|enum, name, label, group, default,
// defaultText, range [min, max] or null, items}). Text lines, which only
// space the host's panel, and group ends are left out. `defaults` is a fresh
// node's controls, `current` the session's.
nlohmann::json controlTable(const Controls& defaults);

// Every value control's current value, by name: {"value": typed, "text": as a
// settings file writes it}, and for a colour "swatch": "#rrggbb" to show it.
nlohmann::json controlValues(const Controls& current);

}  // namespace veilcast::tune
