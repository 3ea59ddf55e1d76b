// SPDX-License-Identifier: Apache-2.0
#include "veilcast/farm/FrozenSettings.h"

#include "veilcast/host/UsageError.h"
#include "veilcast/media/FrameSequence.h"

#include <OpenImageIO/strutil.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace veilcast::farm {

namespace fs = std::filesystem;
namespace Strutil = OIIO::Strutil;

namespace {

constexpr char kMarker[] = "# veilcast frozen settings";
constexpr char kPickLine[] = "# pick: ";
constexpr char kPickedOnLine[] = "# picked on: ";

// The output's file name up to its frame number, without the separator before it.
std::string sequenceStem(const std::string& outputPattern)
{
    const std::string name = fs::path(outputPattern).filename().string();
    std::string stem;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (c == '\\' && i + 1 < name.size()) {
            stem += name[++i];
            continue;
        }
        if (c == '#' || c == '@' || (c == '%' && i + 1 < name.size() && name[i + 1] != '%'))
            break;
        stem += c;
    }
    while (!stem.empty() && (stem.back() == '.' || stem.back() == '_' || stem.back() == '-'))
        stem.pop_back();
    return stem.empty() ? "veilcast" : stem;
}

bool startsWith(const std::string& line, const char* prefix)
{
    return line.compare(0, std::strlen(prefix), prefix) == 0;
}

}  // namespace

FarmFiles farmFilesFor(const std::string& outputPattern)
{
    const fs::path folder = fs::path(framePath(fs::path(outputPattern).parent_path().string(), 0));
    const std::string stem = sequenceStem(outputPattern);
    const auto beside = [&](const std::string& suffix) { return (folder / (stem + suffix)).string(); };
    return {beside(".farm.settings"), beside(".farm.sh"), beside(".farm.summary"), beside(".farm.%A_%a.log"),
            beside(".farm.%j.check.log")};
}

FrozenSettings freezeSettings(const Controls& controls, const std::string& pick, const std::string& pickedOn)
{
    FrozenSettings frozen;
    frozen.pick = pick;
    frozen.pickedOn = pickedOn;
    frozen.values = currentSettings(controls);
    return frozen;
}

std::string formatFrozenSettings(const FrozenSettings& frozen, const std::string& outputPattern)
{
    std::ostringstream os;
    os << kMarker << " for " << outputPattern << "\n"
       << "# Written once by veilcast submit; every task of the job keys with exactly these values.\n"
       << kPickLine << frozen.pick << "\n";
    if (!frozen.pickedOn.empty())
        os << kPickedOnLine << frozen.pickedOn << "\n";
    for (const Setting& s : frozen.values)
        os << s.name << "=" << s.value << "\n";
    return os.str();
}

FrozenSettings readFrozenSettings(const std::string& path)
{
    const std::vector<Setting> values = readSettingsFile(path);
    std::ifstream in(path);
    std::string line;
    if (!std::getline(in, line) || !startsWith(line, kMarker))
        throw UsageError(path + ": is not a frozen settings file written by veilcast submit");
    FrozenSettings frozen;
    frozen.pick.clear();
    while (std::getline(in, line) && startsWith(line, "#")) {
        if (startsWith(line, kPickLine))
            frozen.pick = line.substr(std::strlen(kPickLine));
        else if (startsWith(line, kPickedOnLine))
            frozen.pickedOn = line.substr(std::strlen(kPickedOnLine));
    }
    if (frozen.pick.empty())
        throw UsageError(path + ": the frozen settings file does not say how its screen colour was found");
    frozen.values = values;
    for (Setting& s : frozen.values)
        s.origin = "current";
    return frozen;
}

bool sameKey(const FrozenSettings& a, const FrozenSettings& b, bool withScreen)
{
    if (a.pick != b.pick || a.values.size() != b.values.size())
        return false;
    for (std::size_t i = 0; i < a.values.size(); ++i) {
        const Setting &x = a.values[i], &y = b.values[i];
        if (!Strutil::iequals(x.name, y.name))
            return false;
        if (x.value != y.value && (withScreen || !Strutil::iequals(x.name, "Screen Color")))
            return false;
    }
    return true;
}

void writeFileAtomically(const std::string& path, const std::string& text, mode_t mode)
{
    const fs::path target(path);
    const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    std::string temp = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    const int fd = mkstemp(temp.data());
    if (fd < 0)
        throw std::runtime_error(path + ": cannot write: " + std::strerror(errno));
    const auto fail = [&](int error) {
        close(fd);
        unlink(temp.c_str());
        return std::runtime_error(path + ": cannot write: " + std::strerror(error));
    };
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw fail(n < 0 ? errno : EIO);
        done += static_cast<std::size_t>(n);
    }
    if (fchmod(fd, mode) != 0 || fsync(fd) != 0)
        throw fail(errno);
    if (close(fd) != 0) {
        const int error = errno;
        unlink(temp.c_str());
        throw std::runtime_error(path + ": cannot write: " + std::strerror(error));
    }
    if (rename(temp.c_str(), path.c_str()) != 0) {
        const int error = errno;
        unlink(temp.c_str());
        throw std::runtime_error(path + ": cannot write: " + std::strerror(error));
    }
}

}  // namespace veilcast::farm
