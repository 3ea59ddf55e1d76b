// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/session/ControlSettings.h"

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace veilcast {

// A farm task keys with settings frozen once for the whole job, in a file
// the job script names with its SHA-256.

// Every value a key depends on, resolved once for all tasks: each control's
// value by label, the screen colour explicit, and how that colour was found.
struct FrozenSettings {
    std::string pick = "none";  // "none", "auto" or "box X0,Y0,X1,Y1": what the command asked for
    std::string pickedOn;       // the frame number the colour (and the clips) were found on; empty for neither
    std::string clips;          // "auto" when the clips were chosen on that frame; empty: as set
    // Which input it was frozen for: inputIdentity of the input pattern, so a
    // later submit to the same output from another plate cannot adopt a
    // screen colour picked on this one. Empty in files written before it was kept.
    std::string input;
    std::vector<Setting> values;
};

// The controls' current values, each as formatControlValue writes it (floats
// in their shortest round-trip form, so they read back to the same bits).
FrozenSettings freezeSettings(const Controls& controls, const std::string& pick, const std::string& pickedOn);

// What a frozen file records of its input pattern: the SHA-256 of the
// pattern made absolute and lexically normal. A hash, not the path: a path
// can hold anything, a newline included, and the file holds no path at all.
std::string inputIdentity(const std::string& inputPattern);

// The file's text: comments saying what it is, which input it is for and how
// the screen colour was found, NAME=VALUE lines that readSettingsFile reads,
// and a closing line that tells a whole file from a cut one. No path is
// written into it.
std::string formatFrozenSettings(const FrozenSettings& frozen);

// Parses exactly the text formatFrozenSettings writes: the opening and
// closing lines, the pick, a Screen Color and NAME=VALUE lines, nothing else.
// Throws UsageError naming `origin` (and the line) otherwise.
FrozenSettings parseFrozenSettings(std::string_view text, const std::string& origin);

// A frozen settings file as read, once: its bytes, their SHA-256 and what they say.
struct FrozenFile {
    std::string bytes;
    std::string sha256;  // 64 lowercase hex digits
    FrozenSettings settings;
    uid_t owner = 0;     // as fstat saw the descriptor the bytes were read through
    mode_t mode = 0;
};

// Reads the file once, refusing a symbolic link (O_NOFOLLOW), anything but a
// regular file and files over 1 MiB, then hashes and parses those bytes.
// With `expectedSha256`, bytes that hash to anything else are refused before
// they are parsed. Throws UsageError naming the file.
FrozenFile readFrozenFile(const std::string& path, const std::string& expectedSha256 = {});

// Each byte of `bytes` as two lowercase hex digits.
std::string hexDigits(std::string_view bytes);

// The SHA-256 of `bytes` as 64 lowercase hex digits.
std::string sha256Hex(std::string_view bytes);

// True when both key alike: the same input, values, pick and clips asked
// for; the screen colour itself is compared only when `withScreen`, the clip
// levels only when neither chose them.
bool sameKey(const FrozenSettings& a, const FrozenSettings& b, bool withScreen);

}  // namespace veilcast
