// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/common/UsageError.h"
#include "veilcast/host/PlanarImage.h"

#include <OpenImageIO/color.h>
#include <OpenImageIO/imagebuf.h>

#include <memory>
#include <string>
#include <vector>

namespace veilcast {

// Colour management through an OpenColorIO configuration, by way of the
// image library's colour configuration: what a file is in, the config's
// scene-linear role where keys are pulled, and what is written.
class ColourSpaces {
public:
    // True when a configuration is named: `configPath`, else $OCIO.
    static bool configured(const std::string& configPath);

    // Opens `configPath` (empty: $OCIO). `inSpace` and `outSpace` may be
    // empty (see inputSpace and outputSpace). Throws std::runtime_error
    // naming the config when it cannot be read or has no scene_linear role,
    // UsageError listing the config's spaces for a name it does not have.
    ColourSpaces(const std::string& configPath, std::string inSpace, std::string outSpace);

    const std::string& path() const { return path_; }
    const std::vector<std::string>& names() const { return names_; }
    const std::string& sceneLinear() const { return sceneLinear_; }
    const std::string& askedInput() const { return in_; }
    const std::string& askedOutput() const { return out_; }

    // The space a file's pixels are in: the one asked for, else the file's
    // own tag (oiio:ColorSpace) when the config has that space; empty when
    // neither, and the usual rules apply.
    std::string inputSpace(const OIIO::ImageSpec& spec) const;
    // The space to write: the one asked for, else the input's (as above).
    std::string outputSpace(const OIIO::ImageSpec& sourceSpec) const;

    // The conversion between two spaces; null when they are the same.
    // Throws std::runtime_error naming `what` when the config cannot make it.
    OIIO::ColorProcessorHandle processor(const std::string& from, const std::string& to, const std::string& what) const;

    // Converts the R, G and B planes of rows [y0, y1) in place.
    static void apply(const OIIO::ColorProcessor& processor, PlanarImage& image, int y0, int y1);

private:
    void checkName(const std::string& name, UserChoice choice) const;

    std::string path_;
    std::shared_ptr<OIIO::ColorConfig> config_;
    std::vector<std::string> names_;
    std::string sceneLinear_, in_, out_;
};

}  // namespace veilcast
