// SPDX-License-Identifier: Apache-2.0
// Settings files: NAME=VALUE lines, read whole and checked before use.
#include "veilcast/session/ControlSettings.h"

#include "veilcast/common/UsageError.h"

#include <OpenImageIO/strutil.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace veilcast {

namespace Strutil = OIIO::Strutil;

namespace {

// Settings files are a few lines; anything much larger is the wrong file.
constexpr off_t kMaxSettingsFileBytes = 1 << 20;

}  // namespace

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

std::vector<Setting> readSettingsFile(const std::string& path)
{
        // O_NONBLOCK: a FIFO must not hang the run before it is refused as not a regular file.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        throw UsageError(path + ": cannot read the settings file: " + std::strerror(errno));
    struct stat st;
    std::string text;
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const bool small = regular && st.st_size <= kMaxSettingsFileBytes;
    if (small) {
        text.resize(static_cast<std::size_t>(st.st_size));
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = read(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        text.resize(done);
    }
    close(fd);
    if (!regular)
        throw UsageError(path + ": the settings file is not a regular file");
    if (!small)
        throw UsageError(path + ": the settings file is larger than " + std::to_string(kMaxSettingsFileBytes) +
                         " bytes; it holds NAME=VALUE lines");

    return parseSettings(text, path);
}

}  // namespace veilcast
