// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/session/KeySession.h"
#include "veilcast/session/ScreenMapping.h"
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
    // file (applied after it), the screen pick, the screen map and whether
    // the clips are chosen. Frames are read by the FrameSource.
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
enum class View { Source, Matte, Checker, Colour, Status, ScreenMap };

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
    // loads the first frame and finds on it what `veilcast` would: the
    // screen colour (screenPickFor), the screen map and the clips, as asked.
    // The screen map is in use while Use Screen Map is on: from the start
    // when a map is asked for (or the settings turn it on), else once Auto
    // or the control turns it on; it comes from the clean plate given, else
    // from each frame itself.
    TuneSession(const TuneOptions& options, std::unique_ptr<FrameSource> frames);
    ~TuneSession();

    // The control table (see ControlsJson.h), for building the page.
    nlohmann::json controlTable();
    // Everything the page shows: what changes() holds, and what stays as it
    // is for the whole session (the input and its frames, the settings file,
    // the notice of the start).
    nlohmann::json state();
    // What a change can change: values, history, the frame and its box,
    // whether it is saved, the command line (which names the screen map in
    // use). Every action answers with this alone, so a slider
    // move does not carry a long sequence's frame list.
    nlohmann::json changes();

    // Sets one control by name or label from text as --set takes it. `merge`:
    // continues a drag of the same control, one undo step for all of it.
    // Throws BadRequest.
    void setControl(const std::string& name, const std::string& value, bool merge);
    bool undo();
    bool redo();
    // The eyedropper: the mean of the box (frame pixels, inclusive) set as
    // the screen colour. Throws BadRequest when there is no backing to pick.
    void pickBox(int x0, int y0, int x1, int y1);
    // Auto: on the frame shown, the screen colour, the screen map (turned
    // on) and the clips, found as `veilcast --pick-screen auto --screen-map
    // auto --clip auto` finds them (the map is the clean plate's when one
    // was given at start); one undo step for all. Throws BadRequest, having
    // changed nothing, when the frame gives any of them not.
    void autoKey();
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
    // The frame shown, as messages name it.
    std::string frameName() const;
    // Finds `request` on the frame shown (see findOnImage).
    KeyFindings find(const FindRequest& request);
    // Sets what was found: the screen colour and the clips in the controls,
    // the map as the frame's.
    void take(const KeyFindings& found, const FindRequest& request);
    // Why it found nothing, as the page says it.
    std::string findingText(const std::exception& e) const;
    bool mapInUse();
    // The frame's screen map while one is in use, made once per frame; null
    // when none is. Throws BadRequest when the frame gives none.
    const zav::ScreenMap* frameMap();
    // The map to key with and the data window it lies over: for the frame
    // or a crop of it (`proxy` null), the frame's; for a proxy, the same map
    // laid over it. No map when none is in use.
    struct PlacedMap {
        std::optional<zav::ScreenMap> map;
        DD::Image::Box box;
    };
    PlacedMap mapFor(const PlanarImage* proxy);
    const PlanarImage& sourceProxy(int scale);
    // `part` of the source at full resolution keyed as the whole frame keys it.
    PlanarImage keyPart(const PlanarImage& part);
    // --screen-map shot: the plate gathered and the clips chosen over the
    // input's frames, as `veilcast` gathers them before a sequence's first
    // frame; made the first time a find asks for them.
    const ShotFindings& shot();
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
    std::optional<ShotFindings> shot_;
    std::string notice_;
    std::uint64_t generation_ = 1;  // bumped by every change of controls or frame
    bool savedSinceChange_ = false;
    std::map<int, PlanarImage> sourceProxies_;  // by scale, for the current frame
    ScreenMapChoice mapSource_;                 // where a map comes from: the clean plate given, else auto
    std::optional<zav::ScreenMap> map_;         // of the current frame, once made
    bool mapMade_ = false;
    struct KeyedProxy {
        std::uint64_t generation = 0;
        int scale = 0;
        PlanarImage keyed, unmasked;
    } keyedProxy_;
};

}  // namespace veilcast::tune
