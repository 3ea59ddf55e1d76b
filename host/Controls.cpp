// SPDX-License-Identifier: Apache-2.0
#include "veilcast/host/Controls.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace veilcast {

using namespace DD::Image;

namespace {

bool sameIgnoringCase(const std::string& a, const char* b)
{
    if (!b || a.size() != std::strlen(b))
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace

bool isGroupEnd(const Knob& k)
{
    return k.type() == GROUP_KNOB && reinterpret_cast<std::intptr_t>(k.extra()) == -1;
}

const char* controlKind(const Knob& knob)
{
    switch (knob.type()) {
    case BOOL_KNOB: return "bool";
    case FLOAT_KNOB: return "float";
    case COLOR_KNOB: return "color";
    case ENUMERATION_KNOB: return "enum";
    case GROUP_KNOB: return "group";
    case TEXT_KNOB: return "text";
    default: return "unknown";
    }
}

Knob* Controls::makeKnob(int type, StoreType store, void* storage, const char* name, const char* label,
                         const void* extra)
{
    Control c;
    c.knob = std::make_unique<Knob>(type, store, storage, name, label, extra);
    if (isGroupEnd(*c.knob) && !openGroups_.empty())
        openGroups_.pop_back();
    c.group = openGroups_.empty() ? std::string() : openGroups_.back();
    if (type == GROUP_KNOB && !isGroupEnd(*c.knob))
        openGroups_.push_back(name ? name : "");
    controls_.push_back(std::move(c));
    return controls_.back().knob.get();
}

bool Controls::Control::hasValue() const
{
    if (!knob->storage())
        return false;
    switch (knob->type()) {
    case BOOL_KNOB: return knob->storeType() == BoolPtr;
    case FLOAT_KNOB:
    case COLOR_KNOB: return knob->storeType() == FloatPtr;
    case ENUMERATION_KNOB: return knob->storeType() == IntPtr;
    default: return false;
    }
}

std::string Controls::Control::name() const
{
    return knob->name() ? knob->name() : "";
}

std::string Controls::Control::label() const
{
    return knob->label() ? knob->label() : "";
}

std::vector<std::string> Controls::Control::items() const
{
    std::vector<std::string> out;
    if (knob->type() != ENUMERATION_KNOB || !knob->extra())
        return out;
    for (auto* item = static_cast<const char* const*>(knob->extra()); *item; ++item)
        out.emplace_back(*item);
    return out;
}

ControlValue Controls::Control::value() const
{
    void* p = knob->storage();
    switch (knob->type()) {
    case BOOL_KNOB: return *static_cast<bool*>(p);
    case FLOAT_KNOB: return *static_cast<float*>(p);
    case COLOR_KNOB: {
        const float* f = static_cast<float*>(p);
        return std::array<float, 3>{f[0], f[1], f[2]};
    }
    default: return static_cast<int>(*static_cast<std::int32_t*>(p));
    }
}

const Controls::Control* Controls::find(const std::string& nameOrLabel) const
{
    for (const Control& c : controls_)
        if (c.hasValue() && sameIgnoringCase(nameOrLabel, c.knob->name()))
            return &c;
    for (const Control& c : controls_)
        if (c.hasValue() && sameIgnoringCase(nameOrLabel, c.knob->label()))
            return &c;
    return nullptr;
}

ControlValue Controls::get(const std::string& nameOrLabel) const
{
    const Control* c = find(nameOrLabel);
    if (!c)
        throw std::invalid_argument("unknown control \"" + nameOrLabel + "\"");
    return c->value();
}

void Controls::set(const std::string& nameOrLabel, const ControlValue& value)
{
    const Control* c = find(nameOrLabel);
    if (!c)
        throw std::invalid_argument("unknown control \"" + nameOrLabel + "\"");
    if (value.index() != c->value().index())
        throw std::invalid_argument("control " + c->name() + " takes a " + controlKind(*c->knob) + " value");
    void* p = c->knob->storage();
    switch (c->knob->type()) {
    case BOOL_KNOB: *static_cast<bool*>(p) = std::get<bool>(value); break;
    case FLOAT_KNOB: *static_cast<float*>(p) = std::get<float>(value); break;
    case COLOR_KNOB: std::copy_n(std::get<std::array<float, 3>>(value).data(), 3, static_cast<float*>(p)); break;
    default: {
        const int index = std::get<int>(value);
        if (index < 0 || index >= static_cast<int>(c->items().size()))
            throw std::invalid_argument("control " + c->name() + " has no item " + std::to_string(index));
        *static_cast<std::int32_t*>(p) = index;
    }
    }
}

}  // namespace veilcast
