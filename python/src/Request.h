// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/session/KeyRequest.h"

#include <pybind11/pybind11.h>

#include <string_view>

namespace veilcast::python {

namespace py = pybind11;

// Python's words for the choices a message may name, and the request
// key_file fills by them: a new option is one row of the table, one
// property of _Request (and one field of KeyRequest with its check).

// How Python names each choice: by the keyword a caller gives it.
std::string_view keywordFor(UserChoice choice);

// A thread count as Python gave it, checked by the rule every front end keys by.
int threadCount(const py::int_& threads);

// Defines _Request in `module`: what key_file was asked, by its keywords.
void bindRequest(py::module_& module);

}  // namespace veilcast::python
