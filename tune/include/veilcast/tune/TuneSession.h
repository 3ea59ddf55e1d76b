// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/session/KeySession.h"
#include "veilcast/tune/FrameSource.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veilcast::tune {

class History;

struct TuneOptions {
    std::string input;         // as the user gave it: shown in the command line
    std::string settingsFile;  // empty: beside the input (defaultSettingsPath)
    std::vector<std::string> pluginDirectories;
    // How to key, as for `veilcast`: threads, settings given besides the
    // file (applied after it), the screen pick. Frames are read by the FrameSource.
    KeyJobOptions job;
};

// An image of a view, 8-bit RGBA rows top first, and where it sits in the
// frame: pixel (i, j) covers full-resolution pixels from
// (originX + i * scale, originY + j * scale), `scale` wide.
struct ViewImage {
    int width = 0, height = 0, scale = 1, originX = 0, originY = 0;
    std::uint64_t generation = 0;
    std::string rgba;
};

// What the viewer shows.
enum class View { Source, Matte, Checker, Colour, Status };

// What the viewer asks for: the whole frame shrunk by the whole factor that
// comes nearest to fitting fitWidth x fitHeight (the page scales the rest),
// or (region) a part at full resolution for 1:1.
struct ViewRequest {
    View view = View::Checker;
    int fitWidth = 1024, fitHeight = 1024;
    std::optional<std::array<int, 4>> region;  // x, y, width, height in frame pixels
    std::array<float, 3> background{0.18f, 0.18f, 0.18f};
};

// Thrown for a request that cannot be honoured as asked: the server answers 400.
struct BadRequest : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The state of one tuning session: the loaded operator and its controls, the
// frame being looked at, undo history and the settings file. Every call
// takes one lock, so two tabs (or any number of requests) interleave safely,
// one key at a time.
class TuneSession {
public:
    // Reads the settings file when it exists (UsageError when it is invalid),
    // loads the first frame and picks the screen colour on it when
    // `veilcast` would (screenPickFor).
    TuneSession(const TuneOptions& options, std::unique_ptr<FrameSource> frames);
    ~TuneSession();

    // The control table (see ControlsJson.h), for building the page.
    nlohmann::json controlTable();
    // Everything the page shows: what changes() holds, and what stays as it
    // is for the whole session (the input and its frames, the settings file,
    // the command line, the notice of the start).
    nlohmann::json state();
    // What a change can change: values, history, the frame and its box,
    // whether it is saved. Every action answers with this alone, so a slider
    // move does not carry a long sequence's frame list.
    nlohmann::json changes();

    // Sets one control by name or label from text as --set takes it. `merge`:
    // continues a drag of the same control, one undo step for all of it.
    // Throws BadRequest.
    void setControl(const std::string& name, const std::string& value, bool merge);
    bool undo();
    bool redo();
    // The eyedropper: the mean of the box (frame pixels, inclusive), or Auto,
    // set as the screen colour. Throws BadRequest when there is no backing to pick.
    void pickBox(int x0, int y0, int x1, int y1);
    void pickAuto();
    // Throws BadRequest for a frame the input does not have.
    void setFrame(int frame);

    ViewImage render(const ViewRequest& request);
    // Throws BadRequest when render would: for refusing a request before it changes anything.
    void checkView(const ViewRequest& request);
    // Source and keyed values of one frame pixel; BadRequest outside the image.
    nlohmann::json probe(int x, int y);
    // Writes the settings file atomically; returns changes() with the file
    // and the command line that keys with it.
    nlohmann::json save();

    const std::string& settingsFile() const { return settingsFile_; }

private:
    void changed();
    bool travel(bool back);  // undo (back) or redo
    std::vector<Setting> snapshot();
    void restore(const std::vector<Setting>& settings);
    const PlanarImage& sourceProxy(int scale);
    nlohmann::json changesLocked();

    std::mutex mutex_;
    TuneOptions options_;
    std::string settingsFile_;
    std::unique_ptr<FrameSource> frames_;
    KeySession defaults_;  // a fresh node: the control table's defaults
    KeySession keyer_;
    std::unique_ptr<History> history_;
    int frame_ = 0;
    PlanarImage source_;
    std::string notice_;
    std::uint64_t generation_ = 1;  // bumped by every change of controls or frame
    bool savedSinceChange_ = false;
    std::map<int, PlanarImage> sourceProxies_;  // by scale, for the current frame
    struct KeyedProxy {
        std::uint64_t generation = 0;
        int scale = 0;
        PlanarImage keyed, unmasked;
    } keyedProxy_;
};

}  // namespace veilcast::tune
