// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

// How the platform loads a module: the one part of the host that differs
// between dlopen and LoadLibraryW. Loading runs the module's static
// initialisers; nothing is looked up in it by name.
namespace veilcast::module {

// The file name ending of a loadable module: ".so", or ".dll" on Windows.
extern const char* const suffix;

// Loads the module at `path` (UTF-8) and returns its handle, or returns null
// and says why in `error`.
void* open(const std::string& path, std::string& error);

void close(void* handle);

}  // namespace veilcast::module
