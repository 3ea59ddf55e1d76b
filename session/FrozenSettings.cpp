// SPDX-License-Identifier: Apache-2.0
#include "veilcast/session/FrozenSettings.h"

#include "veilcast/common/UsageError.h"
#include "veilcast/common/KnobNames.h"
#include "veilcast/session/SmallFile.h"

#include <OpenImageIO/strutil.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace veilcast {

namespace fs = std::filesystem;
namespace Strutil = OIIO::Strutil;

namespace {

constexpr char kMarker[] = "# veilcast frozen settings";
constexpr char kEnd[] = "# end of veilcast frozen settings";
constexpr char kPickLine[] = "# pick: ";
constexpr char kPickedOnLine[] = "# picked on frame: ";
constexpr char kInputLine[] = "# input: sha256 ";
constexpr char kClipsLine[] = "# clips: ";

bool startsWith(std::string_view line, std::string_view prefix)
{
    return line.substr(0, prefix.size()) == prefix;
}

}  // namespace

FrozenSettings freezeSettings(const Controls& controls, const std::string& pick, const std::string& pickedOn)
{
    FrozenSettings frozen;
    frozen.pick = pick;
    frozen.pickedOn = pickedOn;
    frozen.values = currentSettings(controls);
    return frozen;
}

std::string formatFrozenSettings(const FrozenSettings& frozen)
{
    std::ostringstream os;
    os << kMarker << "\n"
       << "# Written once by veilcast submit; every task of the job keys with exactly these values and\n"
       << "# refuses to start when this file differs from what the job script's SHA-256 says.\n"
       << kPickLine << frozen.pick << "\n";
    if (!frozen.input.empty())
        os << kInputLine << frozen.input << "\n";
    if (!frozen.pickedOn.empty())
        os << kPickedOnLine << frozen.pickedOn << "\n";
    if (!frozen.clips.empty())
        os << kClipsLine << frozen.clips << "\n";
    for (const Setting& s : frozen.values)
        os << s.name << "=" << s.value << "\n";
    os << kEnd << "\n";
    return os.str();
}

FrozenSettings parseFrozenSettings(std::string_view text, const std::string& origin)
{
    const auto refuse = [&](const std::string& why) {
        return UsageError(origin + ": " + why + "; it is not a whole frozen settings file written by veilcast submit");
    };
    if (text.empty() || text.back() != '\n')
        throw refuse("the file does not end with a whole line");
    std::vector<std::string_view> lines;
    for (std::string_view rest = text.substr(0, text.size() - 1);;) {
        const std::size_t end = rest.find('\n');
        lines.push_back(rest.substr(0, end));
        if (end == std::string_view::npos)
            break;
        rest.remove_prefix(end + 1);
    }
    if (lines.front() != kMarker)
        throw refuse("the first line is not \"" + std::string(kMarker) + "\"");
    if (lines.size() < 2 || lines.back() != kEnd)
        throw refuse("the last line is not \"" + std::string(kEnd) + "\" (the file was cut short or added to)");
    FrozenSettings frozen;
    frozen.pick.clear();
    bool screen = false;
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        const std::string line(lines[i]);
        const std::string where = origin + ":" + std::to_string(i + 1);
        if (std::any_of(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
            throw UsageError(where + ": a control character in the line");
        if (startsWith(line, kPickLine))
            frozen.pick = line.substr(std::strlen(kPickLine));
        else if (startsWith(line, kPickedOnLine))
            frozen.pickedOn = line.substr(std::strlen(kPickedOnLine));
        else if (startsWith(line, kInputLine))
            frozen.input = line.substr(std::strlen(kInputLine));
        else if (startsWith(line, kClipsLine))
            frozen.clips = line.substr(std::strlen(kClipsLine));
        else if (startsWith(line, "#"))
            continue;
        else {
            Setting s = parseSetting(line, where);
            if (s.value.empty())
                throw UsageError(where + ": " + s.name + " has no value");
            screen = screen || Strutil::iequals(s.name, "Screen Color") || Strutil::iequals(s.name, knob::kScreenColor);
            s.origin = where;
            frozen.values.push_back(s);
        }
    }
    if (frozen.pick.empty())
        throw refuse("it does not say how its screen colour was found");
    if (!screen)
        throw refuse("it holds no Screen Color");
    return frozen;
}

std::string inputIdentity(const std::string& inputPattern)
{
    return sha256Hex(fs::absolute(inputPattern).lexically_normal().string());
}

std::string hexDigits(std::string_view bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        hex += {digits[c >> 4], digits[c & 15]};
    }
    return hex;
}

std::string sha256Hex(std::string_view bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1 || length != 32)
        throw std::runtime_error("SHA-256: the crypto library failed");
    return hexDigits(std::string_view(reinterpret_cast<const char*>(digest), length));
}

FrozenFile readFrozenFile(const std::string& path, const std::string& expectedSha256)
{
    // Not through a link: one planted in place of the file would let whoever
    // owns its target change the key.
    const SmallFile read = readSmallFile(path, false);
    if (read.openError != 0)
        throw UsageError(path + ": cannot read the frozen settings: " +
                         (read.openError == ELOOP ? std::string("it is a symbolic link") : std::strerror(read.openError)));
    if (!read.regular)
        throw UsageError(path + ": the frozen settings are not a regular file");
    if (!read.small)
        throw UsageError(path + ": the frozen settings file is larger than " + std::to_string(kMaxSmallFileBytes) +
                         " bytes");
    if (read.readError != 0)
        throw UsageError(path + ": cannot read the frozen settings: " + std::strerror(read.readError));
    FrozenFile file;
    file.bytes = read.bytes;
    file.owner = read.owner;
    file.mode = read.mode;
    file.sha256 = sha256Hex(file.bytes);
    if (!expectedSha256.empty() && file.sha256 != expectedSha256)
        throw UsageError(path + ": the frozen settings have changed since the job was submitted (SHA-256 " +
                         file.sha256 + ", the job's is " + expectedSha256 +
                         "); nothing was keyed. Submit again to freeze them anew.");
    file.settings = parseFrozenSettings(file.bytes, path);
    return file;
}

bool sameKey(const FrozenSettings& a, const FrozenSettings& b, bool withScreen)
{
    if (a.pick != b.pick || a.input != b.input || a.clips != b.clips || a.values.size() != b.values.size())
        return false;
    const bool withClips = a.clips.empty();
    for (std::size_t i = 0; i < a.values.size(); ++i) {
        const Setting &x = a.values[i], &y = b.values[i];
        if (!Strutil::iequals(x.name, y.name))
            return false;
        const bool found = (!withScreen && Strutil::iequals(x.name, "Screen Color")) ||
                           (!withClips && (Strutil::iequals(x.name, "Clip Black") || Strutil::iequals(x.name, "Clip White") ||
                                            Strutil::iequals(x.name, "Screen Balance")));
        if (x.value != y.value && !found)
            return false;
    }
    return true;
}

}  // namespace veilcast
