// SPDX-License-Identifier: Apache-2.0
#include "ControlsJson.h"

#include "veilcast/session/ControlSettings.h"

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
    for (const Controls::Control& c : current.all())
        if (c.hasValue())
            values[c.name()] = {{"value", typedValue(c.value())}, {"text", formatControlValue(c, c.value())}};
    return values;
}

}  // namespace veilcast::tune
