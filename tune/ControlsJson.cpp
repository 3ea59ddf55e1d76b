// SPDX-License-Identifier: Apache-2.0
#include "ControlsJson.h"

#include "Views.h"
#include "veilcast/session/ControlSettings.h"

#include <cstdio>

namespace veilcast::tune {

using namespace DD::Image;
using nlohmann::json;

namespace {

json typedValue(const ControlValue& value)
{
    return std::visit([](const auto& v) { return json(v); }, value);
}

}  // namespace

json controlTable(const Controls& defaults)
{
    json table = json::array();
    for (const Controls::Control& c : defaults.all()) {
        const Knob& k = *c.knob;
        if (k.type() == GROUP_KNOB && !isGroupEnd(k)) {
            table.push_back({{"kind", "group"}, {"name", c.name()}, {"label", c.label()}});
            continue;
        }
        if (!c.hasValue())
            continue;
        json entry = {{"kind", controlKind(k)},
                      {"name", c.name()},
                      {"label", c.label()},
                      {"group", c.group},
                      {"default", typedValue(c.value())},
                      {"defaultText", formatControlValue(c, c.value())},
                      {"range", nullptr},
                      {"items", c.items()}};
        if (k.hasRange())
            entry["range"] = {k.rangeMin(), k.rangeMax()};
        table.push_back(std::move(entry));
    }
    return table;
}

json controlValues(const Controls& current)
{
    json values = json::object();
    for (const Controls::Control& c : current.all()) {
        if (!c.hasValue())
            continue;
        const ControlValue value = c.value();
        json& entry = values[c.name()] = {{"value", typedValue(value)}, {"text", formatControlValue(c, value)}};
        if (const auto* colour = std::get_if<std::array<float, 3>>(&value)) {
            char swatch[8];
            std::snprintf(swatch, sizeof swatch, "#%02x%02x%02x", srgbByte((*colour)[0]), srgbByte((*colour)[1]),
                          srgbByte((*colour)[2]));
            entry["swatch"] = swatch;
        }
    }
    return values;
}

}  // namespace veilcast::tune
