// SPDX-License-Identifier: Apache-2.0
#include "StillEncoding.h"

#include "FileFormats.h"

#include <OpenImageIO/strutil.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace veilcast {

namespace {

namespace Strutil = OIIO::Strutil;
using Curve = StillEncoding::Curve;

constexpr double kCodes = 1023.0, kRefBlack = 95.0, kRefWhite = 685.0;
constexpr double kDensityPerCode = 0.002, kNegativeGamma = 0.6;

double cineonBlack()
{
    return std::pow(10.0, (kRefBlack - kRefWhite) * kDensityPerCode / kNegativeGamma);
}

// The image library has no log curve of its own, and its gamma curves are
// approximations (off by 2e-4); these are exact, and go wherever its
// processors go (strips, image buffers), on R, G and B only.
class CurveProcessor final : public OIIO::ColorProcessor {
public:
    CurveProcessor(const StillEncoding& encoding, bool toLinear) : encoding_(encoding), toLinear_(toLinear) {}

    void apply(float* data, int width, int height, int channels, OIIO::stride_t chanstride, OIIO::stride_t xstride,
               OIIO::stride_t ystride) const override
    {
        char* base = reinterpret_cast<char*>(data);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                for (int c = 0; c < std::min(channels, 3); ++c) {
                    float& v = *reinterpret_cast<float*>(base + y * ystride + x * xstride + c * chanstride);
                    v = static_cast<float>(convert(v));
                }
    }

private:
    double convert(double v) const
    {
        if (encoding_.curve == Curve::Log)
            return toLinear_ ? cineonToLinear(v) : linearToCineon(v);
        // Negative values keep their sign, as the image library's curves do.
        const double power = toLinear_ ? encoding_.gamma : 1.0 / encoding_.gamma;
        return v < 0 ? -std::pow(-v, power) : std::pow(v, power);
    }

    StillEncoding encoding_;
    bool toLinear_;
};

OIIO::ColorProcessorHandle builtin(const std::string& from, const std::string& to, const std::string& what)
{
    static const OIIO::ColorConfig colours;
    OIIO::ColorProcessorHandle p = colours.createColorProcessor(from, to);
    if (!p)
        throw std::runtime_error(what + ": cannot convert from " + from + " to " + to);
    return p;
}

}  // namespace

double cineonToLinear(double value)
{
    const double black = cineonBlack();
    return (std::pow(10.0, (value * kCodes - kRefWhite) * kDensityPerCode / kNegativeGamma) - black) / (1.0 - black);
}

double linearToCineon(double linear)
{
    const double black = cineonBlack();
    const double light = linear * (1.0 - black) + black;
    // Below the film's base there is no density to store: the lowest code.
    if (light <= 0)
        return 0.0;
    return (kRefWhite + std::log10(light) * kNegativeGamma / kDensityPerCode) / kCodes;
}

namespace {

// Each curve's name as the image library writes it, then names it reads as the same curve.
const struct {
    Curve curve;
    const char* name;
} kCurveNames[] = {
    {Curve::Linear, "linear"}, {Curve::Srgb, "sRGB"}, {Curve::Rec709, "Rec709"},
    {Curve::Log, "KodakLog"},  {Curve::Log, "Cineon"},
};

}  // namespace

std::optional<Curve> curveNamed(const std::string& tag)
{
    for (const auto& named : kCurveNames)
        if (Strutil::iequals(tag, named.name))
            return named.curve;
    return std::nullopt;
}

std::string StillEncoding::tag() const
{
    if (curve != Curve::Gamma)
        for (const auto& named : kCurveNames)
            if (named.curve == curve)
                return named.name;
    char text[32];
    std::snprintf(text, sizeof text, "Gamma%g", static_cast<double>(gamma));
    return text;
}

void readExactPngGamma(const std::string& path, OIIO::ImageSpec& spec)
{
    if (!Strutil::istarts_with(spec.get_string_attribute("oiio:ColorSpace"), "Gamma"))
        return;
    std::ifstream file(path, std::ios::binary);
    const auto word = [&file](std::uint32_t& v) {
        unsigned char b[4];
        if (!file.read(reinterpret_cast<char*>(b), 4))
            return false;
        v = std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
        return true;
    };
    // The chunks before the pixels: length, type, data and checksum each.
    file.seekg(8);
    std::uint32_t length = 0, type = 0, value = 0;
    while (word(length) && word(type) && type != 0x49444154u /* IDAT */) {
        if (type == 0x67414d41u /* gAMA */ && length == 4 && word(value) && value > 0) {
            spec.attribute("oiio:Gamma", static_cast<float>(100000.0 / value));
            return;
        }
        file.seekg(static_cast<std::streamoff>(length) + 4, std::ios::cur);
    }
}

bool tagsItsEncoding(const OIIO::ImageSpec& spec)
{
    return !spec.get_string_attribute("oiio:ColorSpace").empty();
}

StillEncoding stillEncodingOf(const OIIO::ImageSpec& spec, const std::string& formatName)
{
    const std::string tag = spec.get_string_attribute("oiio:ColorSpace");
    StillEncoding e;
    const std::optional<Curve> named = curveNamed(tag);
    if (named)
        e.curve = *named;
    else if (Strutil::istarts_with(tag, "Gamma")) {
        // The name rounds (a PNG's gAMA of 1/1.96 is named "Gamma2"); the number does not.
        float g = spec.get_float_attribute("oiio:Gamma", 0.0f);
        if (!(g > 0.0f))
            g = Strutil::stof(tag.substr(5));
        if (g > 0.0f && std::abs(g - 1.0f) > 1e-4f) {
            e.curve = Curve::Gamma;
            e.gamma = g;
        }
    } else if (tag.empty() && !storesLinear(formatName) &&
               (spec.format.basetype == OIIO::TypeDesc::UINT8 || spec.format.basetype == OIIO::TypeDesc::UINT16))
        e.curve = Curve::Srgb;
    return e;
}

bool formatHolds(const std::string& formatName, const StillEncoding& encoding)
{
    const Curve c = encoding.curve;
    if (formatName == "openexr")
        return true;  // its header holds any name (see ImageWriter)
    if (formatName == "png")
        return c == Curve::Srgb || c == Curve::Linear || c == Curve::Gamma;  // sRGB and gAMA chunks
    if (formatName == "dpx")
        return c == Curve::Srgb || c == Curve::Linear || c == Curve::Rec709 || c == Curve::Log;  // its transfer field
    if (formatName == "hdr")
        return c == Curve::Linear;
    return c == Curve::Srgb;
}

void tagEncoding(OIIO::ImageSpec& spec, const StillEncoding& encoding)
{
    spec.attribute("oiio:ColorSpace", encoding.tag());
    if (encoding.curve == Curve::Gamma)
        spec.attribute("oiio:Gamma", encoding.gamma);
    else if (encoding.curve == Curve::Linear)
        spec.attribute("oiio:Gamma", 1.0f);
    else
        spec.erase_attribute("oiio:Gamma");
}

OIIO::ColorProcessorHandle decoderFor(const StillEncoding& encoding, const std::string& what)
{
    if (encoding.curve == Curve::Linear)
        return nullptr;
    if (encoding.curve == Curve::Log || encoding.curve == Curve::Gamma)
        return std::make_shared<CurveProcessor>(encoding, true);
    return builtin(encoding.tag(), "linear", what);
}

OIIO::ColorProcessorHandle encoderFor(const StillEncoding& encoding, const std::string& what)
{
    if (encoding.curve == Curve::Linear)
        return nullptr;
    if (encoding.curve == Curve::Log || encoding.curve == Curve::Gamma)
        return std::make_shared<CurveProcessor>(encoding, false);
    return builtin("linear", encoding.tag(), what);
}

}  // namespace veilcast
