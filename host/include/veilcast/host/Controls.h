// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "DDImage/Knob.h"

#include <array>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace veilcast {

// A control's value, by kind: check box, float slider, colour, enumeration index.
using ControlValue = std::variant<bool, float, std::array<float, 3>, int>;

// The host's record of a node's controls: every call an operator's knobs()
// makes, in order, with the group each control sits in. Values are read and
// written through the storage the operator bound, by control name or label.
class Controls : public DD::Image::Knob_Closure {
public:
    struct Control {
        std::unique_ptr<DD::Image::Knob> knob;
        std::string group;  // name of the enclosing group, empty outside any

        bool hasValue() const;  // bound to storage: a check box, slider, colour or enumeration
        std::string name() const;
        std::string label() const;
        std::vector<std::string> items() const;  // an enumeration's labels, in stored order
        ControlValue value() const;
    };

    const std::vector<Control>& all() const { return controls_; }

    // The value control whose name or label matches, ignoring case; null if none.
    const Control* find(const std::string& nameOrLabel) const;

    ControlValue get(const std::string& nameOrLabel) const;
    // Throws std::invalid_argument for an unknown control or a value of the
    // wrong kind (an enumeration index outside its items included).
    void set(const std::string& nameOrLabel, const ControlValue& value);

protected:
    DD::Image::Knob* makeKnob(int type, DD::Image::StoreType store, void* storage, const char* name,
                              const char* label, const void* extra) override;

private:
    std::vector<Control> controls_;
    std::vector<std::string> openGroups_;
};

// True for the call that closes a group (a group knob whose extra is all bits set).
bool isGroupEnd(const DD::Image::Knob& knob);

// Human-readable kind of a control ("bool", "float", "color", "enum", "group", "text").
const char* controlKind(const DD::Image::Knob& knob);

}  // namespace veilcast
