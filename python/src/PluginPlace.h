// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

namespace veilcast::python {

// Where the operator module is looked for: beside this package in the build
// tree, inside it (a wheel), then where the install rules put it. Found from the extension's own
// file, since the running program is the interpreter, not ours.
std::vector<std::string> pluginDirectories();

}  // namespace veilcast::python
