// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/common/Cancellation.h"
#include "veilcast/media/ImageReader.h"
#include "veilcast/media/ImageWriter.h"
#include "veilcast/session/ControlSettings.h"
#include "veilcast/session/ScreenMapping.h"
#include "veilcast/session/ScreenPicker.h"

#include <functional>
#include <string>
#include <vector>

namespace veilcast {

// Everything a keying job was asked for, whichever front end asked: built
// once from what the user said and handed alike to keying files, movies,
// the tuner and the farm (which turns it back into its tasks' arguments).
struct KeyJobOptions {
    // What to key.
    std::string input, output;
    std::string frames;             // as the user wrote them (1001-1100, 1001-1100x2, 1,5,9-12); empty: none
    bool skipMissing = false;       // key the frames there are instead of refusing a sequence with gaps
    // --screen-map shot on a sequence: the frames its plate and clips are
    // gathered over, as written; empty: the frames keyed.
    std::string shotFrames;
    // A movie made from an image sequence; 0: not given (the frames' own, else 24).
    int rateNum = 0, rateDen = 1;
    std::string codec;  // a movie output's, by name; empty: its container's own

    // How every frame is read, the one the screen is picked on included.
    ReadOptions read;
    // How it is keyed: the settings in order, then the screen pick (see screenPickFor).
    std::vector<Setting> settings;
    std::string settingsFile;  // the file they were read from, never to be written over; empty: none
    ScreenPick pick;
    // A screen colour per pixel: none, found on each frame, or a clean plate.
    ScreenMapChoice screenMap;
    // Clip Black and Clip White chosen on the first frame, over what the settings say.
    bool autoClips = false;
    // The settings were frozen for a farm job: they must give every control
    // a value, the screen colour included, and the screen is never picked.
    bool frozen = false;
    // How results are written; its raw and colour are always the read's (see writeOptions).
    WriteOptions write;
    std::string previewPath;  // empty: none
    int threads = 0;          // 0: every core
    const CancellationToken* cancellation = nullptr;  // asked between and within frames; null: never

    // The question long work asks to know whether to stop.
    std::function<bool()> cancelled() const
    {
        return [token = cancellation] { return token && token->cancelled(); };
    }
    // The write options for one result, recording the settings `summary` in it.
    WriteOptions writeOptions(const std::string& summary) const
    {
        WriteOptions options = write;
        options.raw = read.raw;
        options.colour = read.colour;
        options.settings = summary;
        options.cancelled = cancelled();
        return options;
    }
};

}  // namespace veilcast
