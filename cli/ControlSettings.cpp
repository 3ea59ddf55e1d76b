#include "ControlSettings.h"

#include <OpenImageIO/strutil.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace veilcast {

using namespace DD::Image;
namespace Strutil = OIIO::Strutil;

namespace {

bool parseFloat(std::string_view text, float& out)
{
    const std::string s(Strutil::strip(text));
    if (s.empty())
        return false;
    char* end = nullptr;
    const float v = std::strtof(s.c_str(), &end);
    if (end != s.c_str() + s.size() || std::isnan(v))
        return false;
    out = v;
    return true;
}

std::string formatFloat(float v)
{
    std::ostringstream os;
    os << v;
    return os.str();
}

}  // namespace

Setting parseSetting(const std::string& text, const std::string& origin)
{
    const auto eq = text.find('=');
    if (eq == std::string::npos || eq == 0)
        throw std::invalid_argument(origin + ": \"" + text + "\" is not NAME=VALUE");
    return {std::string(Strutil::strip(text.substr(0, eq))), std::string(Strutil::strip(text.substr(eq + 1))),
            origin};
}

std::vector<Setting> readSettingsFile(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error(path + ": cannot read the settings file");
    std::vector<Setting> settings;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const auto hash = line.find('#');
        const std::string_view content = Strutil::strip(std::string_view(line).substr(0, hash));
        if (content.empty())
            continue;
        try {
            settings.push_back(parseSetting(std::string(content), path + ":" + std::to_string(number)));
        } catch (const std::invalid_argument& e) {
            throw std::runtime_error(e.what());
        }
    }
    return settings;
}

ControlValue parseControlValue(const Controls::Control& control, const std::string& text)
{
    const std::string name = control.name();
    switch (control.knob->type()) {
    case BOOL_KNOB: {
        for (const char* on : {"on", "true", "yes", "1"})
            if (Strutil::iequals(text, on))
                return true;
        for (const char* off : {"off", "false", "no", "0"})
            if (Strutil::iequals(text, off))
                return false;
        throw std::invalid_argument(name + " is on or off, not \"" + text + "\"");
    }
    case FLOAT_KNOB: {
        float v;
        if (!parseFloat(text, v))
            throw std::invalid_argument(name + " takes a number, not \"" + text + "\"");
        return v;
    }
    case COLOR_KNOB: {
        const auto parts = Strutil::splits(text, ",");
        std::array<float, 3> c{};
        const bool ok = (parts.size() == 1 && parseFloat(parts[0], c[0])) ||
                        (parts.size() == 3 && parseFloat(parts[0], c[0]) && parseFloat(parts[1], c[1]) &&
                         parseFloat(parts[2], c[2]));
        if (!ok)
            throw std::invalid_argument(name + " takes a colour as r,g,b or one number, not \"" + text + "\"");
        if (parts.size() == 1)
            c[1] = c[2] = c[0];
        return c;
    }
    default: {
        const auto items = control.items();
        for (std::size_t i = 0; i < items.size(); ++i)
            if (Strutil::iequals(text, items[i]))
                return static_cast<int>(i);
        float index;
        if (parseFloat(text, index) && index >= 0 && index < static_cast<float>(items.size()) &&
            index == std::floor(index))
            return static_cast<int>(index);
        throw std::invalid_argument(name + " takes one of \"" + Strutil::join(items, "\", \"") +
                                    "\" (or its index 0-" + std::to_string(items.size() - 1) + "), not \"" +
                                    text + "\"");
    }
    }
}

void applySettings(Controls& controls, const std::vector<Setting>& settings)
{
    for (const Setting& s : settings) {
        const Controls::Control* control = controls.find(s.name);
        if (!control)
            throw std::invalid_argument(s.origin + ": unknown control \"" + s.name +
                                        "\" (--list-knobs shows them all)");
        try {
            controls.set(s.name, parseControlValue(*control, s.value));
        } catch (const std::invalid_argument& e) {
            throw std::invalid_argument(s.origin + ": " + e.what());
        }
    }
}

std::string formatControlValue(const Controls::Control& control, const ControlValue& value)
{
    switch (value.index()) {
    case 0: return std::get<bool>(value) ? "on" : "off";
    case 1: return formatFloat(std::get<float>(value));
    case 2: {
        const auto& c = std::get<std::array<float, 3>>(value);
        return formatFloat(c[0]) + "," + formatFloat(c[1]) + "," + formatFloat(c[2]);
    }
    default: {
        const int i = std::get<int>(value);
        const auto items = control.items();
        return i >= 0 && i < static_cast<int>(items.size()) ? "\"" + items[static_cast<std::size_t>(i)] + "\""
                                                            : std::to_string(i);
    }
    }
}

std::string describeControls(const Controls& controls)
{
    std::ostringstream os;
    std::string indent;
    for (const Controls::Control& c : controls.all()) {
        const Knob& k = *c.knob;
        if (k.type() == GROUP_KNOB) {
            if (reinterpret_cast<std::intptr_t>(k.extra()) == -1) {
                indent.clear();
            } else {
                os << "\n" << c.label() << " (group " << c.name() << ")\n";
                indent = "  ";
            }
            continue;
        }
        if (!c.hasValue())
            continue;
        os << indent << Strutil::fmt::format("{:<22} {:<28} {:<6} default {}", c.label(), c.name(),
                                             controlKind(k), formatControlValue(c, c.value()));
        if (k.hasRange())
            os << Strutil::fmt::format("  slider {}..{}", k.rangeMin(), k.rangeMax());
        if (k.type() == ENUMERATION_KNOB) {
            const auto items = c.items();
            os << "  items:";
            for (std::size_t i = 0; i < items.size(); ++i)
                os << (i ? "," : "") << " " << i << " \"" << items[i] << "\"";
        }
        os << "\n";
    }
    return os.str();
}

}  // namespace veilcast
