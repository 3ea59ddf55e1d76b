// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/common/UsageError.h"
#include "veilcast/session/KeyJob.h"

#include <cstdint>
#include <string>
#include <vector>

namespace veilcast {

// What a user asked a front end to key, as they asked it: each front end
// fills one (the command line from its options, Python from its keywords,
// the tuner and the farm from the command line's) and checkRequest turns it
// into the job, so that every front end keys by the same checks and each
// message names a choice in its own user's words. A new option is one field
// here, one check in checkRequest and one word in each front end's table.
struct KeyRequest {
    std::string input, output;
    std::string frames;  // as written: 1001-1100, 1001-1100x2, 1,5,9-12; empty: none
    std::string shotFrames;  // see KeyJobOptions::shotFrames
    bool skipMissing = false;

    // The settings: a file's first, then each NAME=VALUE text given, then
    // values a front end holds already parsed (Python's Settings).
    std::string settingsFile;
    std::vector<std::string> sets;
    std::vector<Setting> settings;
    // A farm task's frozen settings and the SHA-256 they must hash to: both or neither.
    std::string frozenSettings, settingsSha256;

    std::string pick;       // see pickFromWords
    std::string screenMap;  // see screenMapFromWords
    std::string clip;       // "auto"; empty: the clips as set

    ReadOptions read;  // but its colour, which comes from ocio and the two spaces
    std::string ocio;  // the colour configuration; empty: $OCIO, if set
    std::string inColourSpace, outColourSpace;

    std::string dataType;  // half, float, uint8, uint16; empty: the format's own choice
    std::string dateTime;  // see WriteOptions::dateTime
    std::string fps;       // a movie made from images: 25, 23.976, 30000/1001; empty: the default
    std::string codec;     // a movie output's; empty: its container's own
    std::string preview;   // a contact sheet; empty: none
    long threads = 0;      // 0: every core
};

// The keying job `request` describes, checked once for every front end:
// the settings read and parsed, the pick, map and clip words, the colour
// configuration, the output's data type, date and codec, the movie options.
// Messages name choices by `words`. Throws UsageError.
KeyJobOptions checkRequest(const KeyRequest& request, ChoiceWords words,
                           const CancellationToken* cancellation = nullptr);

// The colour configuration `request` asks for (its ocio, else $OCIO); null
// when there is none. Throws UsageError for names it lacks or spaces named
// without one.
std::shared_ptr<const ColourSpaces> requestedColourSpaces(const KeyRequest& request, ChoiceWords words);

// The words every front end shares for the screen pick and the screen map,
// and the way back to them for the commands a front end writes.

// "auto": found on the image; "X0,Y0,X1,Y1": the mean of that pixel box;
// empty: none. Throws UsageError naming UserChoice::PickScreen.
ScreenPick pickFromWords(const std::string& text);
// The words that give `pick` back; empty for none.
std::string pickWords(const ScreenPick& pick);
// "auto": found on each frame; anything else a clean plate file or
// pattern; empty: none.
ScreenMapChoice screenMapFromWords(const std::string& text);
// The words that give `choice` back: a clean plate named like a word as
// ./auto, so that it is read as the file; empty for none.
std::string screenMapWords(const ScreenMapChoice& choice);

// A refused choice: "--max-pixels takes a positive number of pixels, not 0".
void checkMaxPixels(long long pixels, ChoiceWords words);

}  // namespace veilcast
