// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/session/ControlSettings.h"
#include "veilcast/session/KeySession.h"

#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <vector>

namespace veilcast::python {

namespace py = pybind11;

// The values a user gave, one per control, by its label and in the
// command line's text for it, in the order first given: what a settings
// file holds and what a key is asked for with.
class Settings {
public:
    // Gives the control named `control` (by name or label, any case) the
    // value written as `text`, replacing one given before. Throws
    // UsageError in the command line's words, naming `origin`.
    void set(const std::string& control, const std::string& text, const std::string& origin);
    // False when the control was not given.
    bool unset(const std::string& control);
    // The given setting for the control, null if none.
    const Setting* find(const std::string& control) const;
    const std::vector<Setting>& given() const { return given_; }

private:
    std::vector<Setting> given_;
};

// A session over the operator module, settings applied, nothing keyed yet.
std::unique_ptr<KeySession> openSession(const KeyJobOptions& job = {});

// A control's value as Python holds it: bool, float, (r, g, b) or the item's label.
py::object pythonValue(const Controls::Control& control, const ControlValue& value);
py::float_ pythonNumber(float v);
py::tuple pythonColour(const std::array<float, 3>& colour);

// Defines Settings and controls() in `module`.
void bindSettings(py::module_& module);

}  // namespace veilcast::python
