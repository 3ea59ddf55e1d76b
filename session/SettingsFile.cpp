// SPDX-License-Identifier: Apache-2.0
// Settings files: NAME=VALUE lines, read whole and checked before use.
#include "veilcast/session/ControlSettings.h"

#include "veilcast/common/UsageError.h"
#include "veilcast/session/SmallFile.h"

#include <OpenImageIO/strutil.h>

#include <cstring>

namespace veilcast {

namespace Strutil = OIIO::Strutil;

Setting parseSetting(const std::string& text, const std::string& origin)
{
    const auto eq = text.find('=');
    if (eq == std::string::npos || eq == 0)
        throw UsageError(origin + ": \"" + text + "\" is not NAME=VALUE");
    return {std::string(Strutil::strip(text.substr(0, eq))), std::string(Strutil::strip(text.substr(eq + 1))),
            origin};
}

std::vector<Setting> parseSettings(std::string_view text, const std::string& origin)
{
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    std::vector<Setting> settings;
    for (int number = 1; !text.empty(); ++number) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        const std::string_view content = Strutil::strip(line.substr(0, line.find('#')));
        if (!content.empty())
            settings.push_back(parseSetting(std::string(content), origin + ":" + std::to_string(number)));
    }
    return settings;
}

std::string formatSettings(const std::vector<Setting>& settings, const std::string& heading)
{
    std::string text = "# " + heading + "\n";
    for (const Setting& s : settings)
        text += s.name + "=" + s.value + "\n";
    return text;
}

std::vector<Setting> readSettingsFile(const std::string& path)
{
    const SmallFile file = readSmallFile(path, true);
    if (file.openError != 0)
        throw UsageError(path + ": cannot read the settings file: " + std::strerror(file.openError));
    if (!file.regular)
        throw UsageError(path + ": the settings file is not a regular file");
    if (!file.small)
        throw UsageError(path + ": the settings file is larger than " + std::to_string(kMaxSmallFileBytes) +
                         " bytes; it holds NAME=VALUE lines");
    return parseSettings(file.bytes, path);
}

}  // namespace veilcast
