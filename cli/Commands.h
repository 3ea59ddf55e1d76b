// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "Arguments.h"

#include <string>

namespace veilcast {

// The subcommands; each returns the exit status (see ExitStatus.h) and throws
// UsageError, std::runtime_error or Cancelled for main to report.

// Keys what `args` asks for: a still image, a sequence or a movie on either
// side; `settingsUsed`, when given, receives the --set options that
// reproduce the key.
int runKey(const Arguments& args, const CancellationToken& cancellation, std::string* settingsUsed = nullptr);

// Makes a synthetic plate in args.demoDir, keys it and writes a preview.
int runDemo(const Arguments& args, const CancellationToken& cancellation);

// Sends a sequence to the farm (see SubmitCommand.h), with the options it
// shares with keying taken from `args`.
struct FarmCommandLine;
int runSubmit(const Arguments& args, const FarmCommandLine& line);

// Prints the colour configuration's spaces, marking the scene-linear one.
int listColourSpaces(const Arguments& args);

// Prints every control with its kind, default, range and items.
int listKnobs(const Arguments& args);

}  // namespace veilcast
