// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/core/ScreenMap.h"
#include "veilcast/host/PlanarImage.h"
#include "veilcast/tune/TuneSession.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace veilcast::tune {

// The view a page names ("status"); nullopt for any other name.
std::optional<View> parseView(const std::string& name);

// The page's colours are sRGB (a colour chooser's, a swatch's), the key's are
// linear: the two conversions live here only, the page does neither.
std::uint8_t srgbByte(float linear);
float linearFromSrgbByte(std::uint8_t encoded);

// The image shrunk by a whole factor, each pixel the mean of the up to
// factor x factor pixels it covers (non-finite ones count as 0); its box
// starts at 0,0. factor 1 copies.
PlanarImage shrink(const PlanarImage& image, int factor);

// The pixels of `image` inside `region` (clipped to its box), keeping their
// coordinates: keying is per pixel, so keying a crop gives the same values
// as keying the whole frame.
PlanarImage crop(const PlanarImage& image, const DD::Image::Box& region);

// The screen colour the key uses under each pixel of `view`: `map`, laid
// over `mapBox` (its pixel 0,0 is the box's first), or without a map
// `screen` everywhere. RGB, with `view`'s box, which lies within `mapBox`.
PlanarImage screenImage(const zav::ScreenMap* map, const zav::Colour& screen, const DD::Image::Box& mapBox,
                        const DD::Image::Box& view);

// Everything a view is drawn from. `keyed` has alpha unless Check Alpha is
// on, when its red is the matte. `filled`, for Status, is the matte the key
// would have without the inside mask (null when no mask is in use): where
// the final alpha exceeds it, the mask filled in.
struct ViewInputs {
    const PlanarImage* source = nullptr;
    const PlanarImage* keyed = nullptr;
    const PlanarImage* unmasked = nullptr;
    const PlanarImage* screen = nullptr;  // for ScreenMap: screenImage over the keyed image's box
    std::array<float, 3> background{0.18f, 0.18f, 0.18f};  // Result over colour, linear
};

// The view as 8-bit RGBA rows, top row first, ready for a canvas's
// ImageData: colour (the screen map's too) sRGB-encoded, the matte and
// Status as they are. On `threads` threads (0: every core), as the key.
std::string renderView(View view, const ViewInputs& in, int threads);

}  // namespace veilcast::tune
