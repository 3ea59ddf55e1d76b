// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>

namespace veilcast {

// How stored values relate to linear light: one curve and, for a plain
// power, its exponent. Stills read it from their tags; a movie's frames
// written as decoded are tagged with it.
struct StillEncoding {
    enum class Curve { Linear, Srgb, Rec709, Gamma, Log };
    Curve curve = Curve::Linear;
    float gamma = 1.0f;  // Gamma: linear light is the stored value to this power

    // The image library's name for it ("linear", "sRGB", "Rec709", "Gamma1.96", "KodakLog").
    std::string tag() const;
    bool operator==(const StillEncoding& o) const { return curve == o.curve && gamma == o.gamma; }
};

// The encoding a tag names, ignoring case ("Cineon" is the log curve too);
// none for "Gamma…" (its exponent is read apart) or a name of no curve.
std::optional<StillEncoding::Curve> curveNamed(const std::string& tag);

}  // namespace veilcast
