// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/host/Controls.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veilcast {

// A control assignment as the user wrote it: NAME=VALUE, and where it came from.
struct Setting {
    std::string name;
    std::string value;
    std::string origin;  // where it came from (an option, or FILE:LINE), for messages
};

// Splits "NAME=VALUE"; throws UsageError when there is no '='.
Setting parseSetting(const std::string& text, const std::string& origin);

// Parses NAME=VALUE lines; blank lines and '#' comments are skipped, and so
// is a UTF-8 byte-order mark. `origin` names the text in messages, with the
// line number. Throws UsageError.
std::vector<Setting> parseSettings(std::string_view text, const std::string& origin);

// A settings file's text, which parseSettings reads back: the comment line
// "# `heading`", then one NAME=VALUE line per setting.
std::string formatSettings(const std::vector<Setting>& settings, const std::string& heading);

// Reads NAME=VALUE lines; blank lines and '#' comments are skipped, and so is
// a UTF-8 byte-order mark. Only regular files of at most 1 MiB are read.
// Throws UsageError naming the file (and line).
std::vector<Setting> readSettingsFile(const std::string& path);

// Converts a value written for `control` to its kind: on/off/true/false/yes/no/1/0
// for a check box; a number for a slider; "r,g,b" or one number for a colour;
// an item's label (any case) or index for an enumeration.
// Numbers must be finite. Throws UsageError saying what the control accepts.
ControlValue parseControlValue(const Controls::Control& control, const std::string& text);

// Applies settings in order; throws UsageError naming the setting.
void applySettings(Controls& controls, const std::vector<Setting>& settings);

// The value as a user would write it back.
std::string formatControlValue(const Controls::Control& control, const ControlValue& value);

// Every value control's current value, by label, as a user would write it.
std::vector<Setting> currentSettings(const Controls& controls);
// "Screen Color=0.1,0.6,0.1; Screen Gain=1; ...": for recording in a file.
std::string settingsSummary(const Controls& controls);
// Settings that are allowed but probably not meant, one sentence each: a
// black screen colour (unless `screenToBePicked`: the pick replaces it), a
// slider value outside its slider's range, Clip Black at or above Clip White
// (unless `clipsToBeChosen`: the levels chosen replace them).
std::vector<std::string> settingWarnings(const Controls& controls, bool screenToBePicked = false,
                                         bool clipsToBeChosen = false);

// Every control in order, with its kind, default, range and items, indented by group.
std::string describeControls(const Controls& controls);

}  // namespace veilcast
