// SPDX-License-Identifier: Apache-2.0
#include "veilcast/media/FileExtensions.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <initializer_list>

namespace veilcast {

namespace {

struct AlphaFormat {
    const char* name;
    std::initializer_list<const char*> extensions;
};

const AlphaFormat kWithAlpha[] = {
    {"EXR", {".exr"}}, {"PNG", {".png"}}, {"TIFF", {".tif", ".tiff"}},
    {"DPX", {".dpx"}}, {"TGA", {".tga"}}, {"WebP", {".webp"}},
};

}  // namespace

std::string lowerExtension(const std::string& path)
{
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

bool namesFormatWithAlpha(const std::string& path)
{
    const std::string ext = lowerExtension(path);
    for (const AlphaFormat& f : kWithAlpha)
        for (const char* e : f.extensions)
            if (ext == e)
                return true;
    return false;
}

std::string formatsWithAlpha()
{
    std::string names;
    const std::size_t count = std::size(kWithAlpha);
    for (std::size_t i = 0; i < count; ++i)
        names += std::string(i == 0 ? "" : i + 1 == count ? " or " : ", ") + kWithAlpha[i].name;
    return names;
}

}  // namespace veilcast
