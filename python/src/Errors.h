// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/common/UsageError.h"

#include <pybind11/pybind11.h>

#include <exception>
#include <string>
#include <string_view>

namespace veilcast::python {

namespace py = pybind11;

// The module's exceptions, all below veilcast.Error so that a pipeline can
// catch whatever a key raises in one clause, yet each still the built-in
// class callers caught before there was a base of our own:
// UsageError (a ValueError) for a mistake in what was asked, FileError (an
// OSError) for a failure with a file, ArgumentTypeError (a TypeError) for a
// value of the wrong kind. Made once, when the module is imported.
void defineErrors(py::module_& module);

[[noreturn]] void raiseUsage(const std::string& text);
[[noreturn]] void raiseFile(const std::string& text);
[[noreturn]] void raiseType(const std::string& text);

// The session's message with the choice it names in Python's words: the
// keyword a caller gave it by (threads, frames, screen_map...).
std::string pythonText(const Wording& wording);
std::string pythonText(const std::exception& e);

// Turns whatever a bound function throws into the module's exceptions.
void translateErrors();

}  // namespace veilcast::python
