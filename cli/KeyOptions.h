// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "Arguments.h"

#include <CLI/CLI.hpp>

#include <string_view>

namespace veilcast {

// The command line's words for the choices a message may name, and the
// options that make them: a new option is one row of the table and one
// option added here (and one field of KeyRequest with its check).

// How the command line names each choice: by its option.
std::string_view flagFor(UserChoice choice);

// The options of what to key and how, which the subcommands that key share.
void addKeyOptions(CLI::App& app, Arguments& args);

// The options of where the operator, the pixels and their colours come from
// and how results are written and told.
void addFileOptions(CLI::App& app, Arguments& args);

}  // namespace veilcast
