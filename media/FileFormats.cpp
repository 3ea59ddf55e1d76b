// SPDX-License-Identifier: Apache-2.0
#include "FileFormats.h"

#include "veilcast/common/UsageError.h"

#include <OpenImageIO/strutil.h>

#include <algorithm>
#include <vector>

namespace veilcast {

namespace {

using OIIO::TypeDesc;

struct FormatTypes {
    const char* name;
    std::vector<TypeDesc::BASETYPE> holds;  // the first is the integer default
};

// What each common writer stores without converting behind our back.
const FormatTypes kFormats[] = {
    {"openexr", {TypeDesc::HALF, TypeDesc::FLOAT}},
    {"hdr", {TypeDesc::FLOAT}},
    {"png", {TypeDesc::UINT16, TypeDesc::UINT8}},
    {"tiff", {TypeDesc::UINT16, TypeDesc::UINT8, TypeDesc::FLOAT}},
    {"dpx", {TypeDesc::UINT16, TypeDesc::UINT8}},
    {"jpeg", {TypeDesc::UINT8}},
    {"targa", {TypeDesc::UINT8}},
    {"bmp", {TypeDesc::UINT8}},
    {"webp", {TypeDesc::UINT8}},
    {"pnm", {TypeDesc::UINT16, TypeDesc::UINT8}},
    {"sgi", {TypeDesc::UINT16, TypeDesc::UINT8}},
};

const FormatTypes* findFormat(const std::string& name)
{
    for (const FormatTypes& f : kFormats)
        if (name == f.name)
            return &f;
    return nullptr;
}

bool holds(const FormatTypes& f, TypeDesc t)
{
    return std::find(f.holds.begin(), f.holds.end(), static_cast<TypeDesc::BASETYPE>(t.basetype)) != f.holds.end();
}

std::string typeNames(const FormatTypes& f)
{
    std::vector<std::string> names;
    for (TypeDesc::BASETYPE t : f.holds)
        names.emplace_back(TypeDesc(t).c_str());
    std::sort(names.begin(), names.end());
    return OIIO::Strutil::join(names, ", ");
}

}  // namespace

std::string oiioError(const std::string& fallback, const std::string& specific)
{
    std::string e(OIIO::Strutil::strip(specific));
    const std::string global(OIIO::Strutil::strip(OIIO::geterror()));
    if (e.empty())
        e = global;
    e = OIIO::Strutil::replace(e, "\n", "; ", true);
    return e.empty() ? fallback : e;
}

bool storesLinear(const std::string& formatName)
{
    return formatName == "openexr" || formatName == "hdr";
}

void checkDataType(const std::string& formatName, TypeDesc requested)
{
    const FormatTypes* f = findFormat(formatName);
    if (requested != TypeDesc::UNKNOWN && f && !holds(*f, requested))
        throw UsageError(std::string("-d ") + requested.c_str() + ": " + formatName + " files hold " + typeNames(*f));
}

TypeDesc outputDataType(const std::string& formatName, TypeDesc sourceType, TypeDesc requested)
{
    checkDataType(formatName, requested);
    if (requested != TypeDesc::UNKNOWN)
        return requested;
    const FormatTypes* f = findFormat(formatName);
    if (storesLinear(formatName)) {
        const TypeDesc preferred = sourceType == TypeDesc::FLOAT ? TypeDesc::FLOAT : TypeDesc::HALF;
        return !f || holds(*f, preferred) ? preferred : TypeDesc(f->holds.front());
    }
    // Display-referred formats take integers: the source's own when it has
    // one the format holds, else 16 bits where the format has them.
    const bool integerSource = sourceType == TypeDesc::UINT8 || sourceType == TypeDesc::UINT16;
    if (!f)
        return integerSource ? sourceType : TypeDesc(TypeDesc::UINT16);
    if (integerSource && holds(*f, sourceType))
        return sourceType;
    return f->holds.front();
}

}  // namespace veilcast
