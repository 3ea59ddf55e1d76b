// SPDX-License-Identifier: Apache-2.0
#pragma once

// A denoised view of a plate for the matte (--screen-map shot): the matte
// is pulled from the plate with its sensor noise averaged away over each
// pixel's 3x3 neighbourhood, so the noise neither reaches the matte nor
// flickers from frame to frame; the detail the view leaves out is put back
// into the keyed colour in proportion to its alpha. The keyer itself is
// untouched: it keys the view.

#include "veilcast/host/PlanarImage.h"

namespace veilcast {

// Rows [y0, y1) of `rows` with red, green and blue each the 1-2-1 x 1-2-1
// binomial mean of its 3x3 neighbourhood. `rows` holds rows y0..y1-1 and,
// where the frame has them, the row above y0 and the row below y1-1; beyond
// those and the image's sides the edge rows and columns stand in. Pixels
// that are not finite stay as they are and are no neighbour's part. Other
// channels are copied.
PlanarImage denoisedRows(const PlanarImage& rows, int y0, int y1);

// `strip` with the last row of `above` before it and the first row of
// `below` after it (each when given), every channel of `strip`.
PlanarImage withNeighbours(const PlanarImage* above, const PlanarImage& strip, const PlanarImage* below);

// The last row of `strip`, every channel.
PlanarImage lastRow(const PlanarImage& strip);

// Puts the detail the view left out back into the keyed colour: each
// finite colour channel of `keyed` gains alpha x (plate - view), where both
// are finite. `keyed` must have alpha (a matte alone is left as it is).
void restoreDetail(PlanarImage& keyed, const PlanarImage& plate, const PlanarImage& view);

}  // namespace veilcast
