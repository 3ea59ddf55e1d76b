// SPDX-License-Identifier: Apache-2.0
#include "veilcast/media/ColourSpaces.h"

#include "veilcast/common/UsageError.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace veilcast {

using namespace DD::Image;

namespace {

std::string joined(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& n : names)
        text += (text.empty() ? "" : ", ") + n;
    return text;
}

}  // namespace

bool ColourSpaces::configured(const std::string& configPath)
{
    const char* env = std::getenv("OCIO");
    return !configPath.empty() || (env && *env);
}

ColourSpaces::ColourSpaces(const std::string& configPath, std::string inSpace, std::string outSpace)
    : in_(std::move(inSpace)), out_(std::move(outSpace))
{
    const char* env = std::getenv("OCIO");
    path_ = configPath.empty() ? std::string(env ? env : "") : configPath;
    const std::string origin = configPath.empty() ? "$OCIO " + path_ : path_;
    if (path_.empty())
        throw UsageError(Wording{"no colour configuration: give ", UserChoice::ColourConfig, " or set $OCIO"});
    config_ = std::make_shared<OIIO::ColorConfig>(path_);
    if (config_->has_error())
        throw std::runtime_error(origin + ": cannot read the colour configuration: " + config_->geterror());
    names_ = config_->getColorSpaceNames();
    if (names_.empty())
        throw std::runtime_error(origin + ": the colour configuration has no colour spaces");
    const char* linear = config_->getColorSpaceNameByRole("scene_linear");
    if (!linear || !*linear)
        throw std::runtime_error(origin + ": the colour configuration has no scene_linear role to key in");
    sceneLinear_ = linear;
    checkName(in_, UserChoice::InColourSpace);
    checkName(out_, UserChoice::OutColourSpace);
}

void ColourSpaces::checkName(const std::string& name, UserChoice choice) const
{
    if (!name.empty() && std::find(names_.begin(), names_.end(), name) == names_.end())
        throw UsageError(Wording{"", choice, " " + name + ": no such colour space in " + path_ + "; it has: " + joined(names_)});
}

std::string ColourSpaces::inputSpace(const OIIO::ImageSpec& spec) const
{
    if (!in_.empty())
        return in_;
    const std::string tag = spec.get_string_attribute("oiio:ColorSpace");
    return std::find(names_.begin(), names_.end(), tag) != names_.end() ? tag : std::string();
}

std::string ColourSpaces::outputSpace(const OIIO::ImageSpec& sourceSpec) const
{
    return out_.empty() ? inputSpace(sourceSpec) : out_;
}

OIIO::ColorProcessorHandle ColourSpaces::processor(const std::string& from, const std::string& to,
                                                   const std::string& what) const
{
    if (from == to)
        return nullptr;
    OIIO::ColorProcessorHandle p = config_->createColorProcessor(from, to);
    if (!p)
        throw std::runtime_error(what + ": cannot convert from " + from + " to " + to + ": " +
                                 config_->geterror());
    return p;
}

void ColourSpaces::apply(const OIIO::ColorProcessor& processor, PlanarImage& image, int y0, int y1)
{
    // OpenColorIO takes planes only as whole images, and the image library's
    // own sRGB processor, given planes through a channel stride, leaves some
    // pixels unconverted; rows are interleaved into a buffer one at a time.
    const Box& box = image.box();
    const int width = box.w();
    std::vector<float> rgb(static_cast<std::size_t>(width) * 3);
    for (int y = y0; y < y1; ++y) {
        float* planes[3] = {image.row(Chan_Red, y) + box.x, image.row(Chan_Green, y) + box.x,
                            image.row(Chan_Blue, y) + box.x};
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                rgb[static_cast<std::size_t>(x) * 3 + c] = planes[c][x];
        processor.apply(rgb.data(), width, 1, 3, sizeof(float), 3 * sizeof(float),
                        static_cast<OIIO::stride_t>(width * 3 * sizeof(float)));
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                planes[c][x] = rgb[static_cast<std::size_t>(x) * 3 + c];
    }
}

}  // namespace veilcast
