// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/host/PlanarImage.h"

namespace veilcast {

// A synthetic green-screen plate, the same every time: an unevenly lit
// backing with a hotspot and falloff, a subject with hard, soft and
// hair-fine edges, green spill near its silhouette, a semi-transparent veil,
// and a little sensor noise. Linear RGB floats.
PlanarImage makeDemoPlate(int width = 960, int height = 540);

}  // namespace veilcast
