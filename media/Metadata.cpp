// SPDX-License-Identifier: Apache-2.0
#include "veilcast/media/Metadata.h"

#include "veilcast/common/UsageError.h"
#include "veilcast/common/Version.h"

#include <OpenImageIO/strutil.h>

#include <ctime>
#include <regex>

namespace veilcast {

namespace {

namespace Strutil = OIIO::Strutil;

// Attributes that describe the source file or how it was read, not the picture.
bool staleAttribute(const std::string& name, bool sameFormat)
{
    static const char* const kDropped[] = {
        "ImageDescription", "DateTime", "Software", "Exif:ColorSpace", "ICCProfile", "textureformat",
        "wrapmodes", "fovcot", "planarconfig", "Orientation", "openexr:chunkCount", "tiff:PhotometricInterpretation",
        "tiff:ColorSpace", "tiff:subfiletype", "jpeg:subsampling",
    };
    for (const char* d : kDropped)
        if (Strutil::iequals(name, d))
            return true;
    if (Strutil::istarts_with(name, "oiio:") || Strutil::istarts_with(name, "veilcast:"))
        return true;
    return !sameFormat && Strutil::icontains(name, "compression");
}

std::string now()
{
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", &local);
    return text;
}

}  // namespace

void carryMetadata(const OIIO::ImageSpec& source, const std::string& sourceFormat, const std::string& outputFormat,
                   const std::string& settings, OIIO::ImageSpec& out, const std::string& dateTime)
{
    out.extra_attribs.clear();
    const bool sameFormat = sourceFormat == outputFormat;
    for (const OIIO::ParamValue& p : source.extra_attribs)
        if (!staleAttribute(p.name().string(), sameFormat))
            out.extra_attribs.push_back(p);
    if (dateTime.empty() || dateTime == "now") {
        out.attribute("DateTime", now());
    } else if (dateTime != "source") {
        out.attribute("DateTime", dateTime);
    } else if (const OIIO::ParamValue* p = source.find_attribute("DateTime", OIIO::TypeDesc::STRING)) {
        out.attribute("DateTime", p->get_string());
    }
    out.attribute("Software", std::string("veilcast ") + kVersion);
    out.attribute("veilcast:settings", settings);
}

void checkDateTime(const std::string& dateTime)
{
    if (dateTime.empty() || dateTime == "now" || dateTime == "source")
        return;
    static const std::regex fixed(R"((\d{4}):(\d\d):(\d\d) (\d\d):(\d\d):(\d\d))");
    std::smatch part;
    bool real = std::regex_match(dateTime, part, fixed);
    if (real) {
        const auto number = [&](int i) { return std::stoi(part[i].str()); };
        const int year = number(1), month = number(2), day = number(3);
        const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        const int days[12] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        real = year >= 1 && month >= 1 && month <= 12 && day >= 1 && day <= days[month - 1] && number(4) < 24 &&
               number(5) < 60 && number(6) < 60;
    }
    if (!real)
        throw UsageError(Wording{"", UserChoice::DateTime, " takes now, source or a real \"YYYY:MM:DD HH:MM:SS\", not \"" + dateTime + "\""});
}

}  // namespace veilcast
