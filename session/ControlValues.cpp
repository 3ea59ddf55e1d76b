// SPDX-License-Identifier: Apache-2.0
// Control values: the text a user writes for each kind of control, both ways.
#include "veilcast/session/ControlSettings.h"

#include "veilcast/common/UsageError.h"
#include "veilcast/common/KnobNames.h"

#include <OpenImageIO/strutil.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
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
    // Infinity and NaN, written or reached by overflow (1e40), are typing errors, not settings.
    if (end != s.c_str() + s.size() || !std::isfinite(v))
        return false;
    out = v;
    return true;
}

// The shortest text that reads back as the same float, so that printed
// settings reproduce a key exactly.
std::string formatFloat(float v)
{
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, v);
    return std::string(text, result.ptr);
}

}  // namespace

ControlValue parseControlValue(const Controls::Control& control, const std::string& text)
{
    // As the user knows it: the label the tuner and --list-knobs show.
    const std::string name = control.label().empty() ? control.name() : control.label();
    switch (control.knob->type()) {
    case BOOL_KNOB: {
        for (const char* on : {"on", "true", "yes", "1"})
            if (Strutil::iequals(text, on))
                return true;
        for (const char* off : {"off", "false", "no", "0"})
            if (Strutil::iequals(text, off))
                return false;
        throw UsageError(name + " is on or off, not \"" + text + "\"");
    }
    case FLOAT_KNOB: {
        float v;
        if (!parseFloat(text, v))
            throw UsageError(name + " takes a finite number, not \"" + text + "\"");
        return v;
    }
    case COLOR_KNOB: {
        const auto parts = Strutil::splits(text, ",");
        std::array<float, 3> c{};
        const bool ok = (parts.size() == 1 && parseFloat(parts[0], c[0])) ||
                        (parts.size() == 3 && parseFloat(parts[0], c[0]) && parseFloat(parts[1], c[1]) &&
                         parseFloat(parts[2], c[2]));
        if (!ok)
            throw UsageError(name + " takes a colour as r,g,b or one number, each finite, not \"" + text + "\"");
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
        throw UsageError(name + " takes one of \"" + Strutil::join(items, "\", \"") +
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
            throw UsageError(Wording{s.origin + ": unknown control \"" + s.name + "\" (", UserChoice::Controls, " shows them all)"});
        try {
            controls.set(s.name, parseControlValue(*control, s.value));
        } catch (const std::invalid_argument& e) {
            throw UsageError(s.origin + ": " + e.what());
        }
    }
}

std::string formatControlValue(const Controls::Control& control, const ControlValue& value)
{
    struct Format {
        const Controls::Control& control;
        std::string operator()(bool on) const { return on ? "on" : "off"; }
        std::string operator()(float v) const { return formatFloat(v); }
        std::string operator()(const std::array<float, 3>& c) const
        {
            return formatFloat(c[0]) + "," + formatFloat(c[1]) + "," + formatFloat(c[2]);
        }
        std::string operator()(int item) const
        {
            const auto items = control.items();
            return item >= 0 && item < static_cast<int>(items.size()) ? items[static_cast<std::size_t>(item)]
                                                                      : std::to_string(item);
        }
    };
    return std::visit(Format{control}, value);
}

std::vector<Setting> currentSettings(const Controls& controls)
{
    std::vector<Setting> settings;
    for (const Controls::Control& c : controls.all()) {
        if (!c.hasValue())
            continue;
        settings.push_back({c.label(), formatControlValue(c, c.value()), "current"});
    }
    return settings;
}

std::string settingsSummary(const Controls& controls)
{
    std::vector<std::string> parts;
    for (const Setting& s : currentSettings(controls))
        parts.push_back(s.name + "=" + s.value);
    return Strutil::join(parts, "; ");
}

std::vector<std::string> settingWarnings(const Controls& controls, bool screenToBePicked, bool clipsToBeChosen)
{
    std::vector<std::string> warnings;
    const Controls::Control* screen = controls.find(knob::kScreenColor);
    if (screen && !screenToBePicked && screen->value() == ControlValue(std::array<float, 3>{0, 0, 0}))
        warnings.push_back("Screen Color is 0,0,0: a black screen colour keys nothing");
    for (const Controls::Control& c : controls.all()) {
        if (!c.hasValue() || !c.knob->hasRange() || c.knob->type() != FLOAT_KNOB)
            continue;
        const float v = std::get<float>(c.value());
        if (v < c.knob->rangeMin() || v > c.knob->rangeMax())
            warnings.push_back(Strutil::fmt::format("{} {} lies outside its slider range {}..{}", c.label(),
                                                    formatFloat(v), c.knob->rangeMin(), c.knob->rangeMax()));
    }
    const Controls::Control* black = controls.find(knob::kClipBlack);
    const Controls::Control* white = controls.find(knob::kClipWhite);
    if (!clipsToBeChosen && black && white && std::get<float>(black->value()) >= std::get<float>(white->value()))
        warnings.push_back("Clip Black " + formatFloat(std::get<float>(black->value())) + " is not below Clip White " +
                           formatFloat(std::get<float>(white->value())) + ": the matte will be all or nothing");
    return warnings;
}

}  // namespace veilcast
