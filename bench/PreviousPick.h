// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/core/ScreenPicking.h"

namespace zavbench {

// The automatic pick before it read only the backing's main areas.
zav::Colour previousPickScreenAuto(const zav::RgbPlanes& image);

}  // namespace zavbench
