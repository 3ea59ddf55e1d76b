// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>

// What a frame's key is given beyond the values of its controls, found on
// the frame itself: the screen colour picked, a screen colour per pixel (the
// screen map) and the clip levels. Every front end finds them here, all from
// one sample of the plate, so that none finds them otherwise.

#include "veilcast/common/KnobNames.h"
#include "veilcast/core/ClipChoice.h"
#include "veilcast/core/ScreenMap.h"
#include "veilcast/core/ShotPlate.h"
#include "veilcast/host/Controls.h"
#include "veilcast/session/ScreenPicker.h"

#include <optional>
#include <string>
#include <vector>

namespace veilcast {

// Where the screen map comes from.
struct ScreenMapChoice {
    // Auto: found on each frame. CleanPlate: read off a clean plate. Shot:
    // a clean plate found in the shot itself (see zav::ShotPlate), each
    // frame's own backing where it is seen. Given: a screen colour per pixel
    // handed over as an image of the plate's window (what a find returned),
    // keyed with as it is.
    enum class Kind { None, Auto, CleanPlate, Shot, Given } kind = Kind::None;
    // CleanPlate: the backing shot without the subject, one file for every
    // frame or a sequence pattern giving frame N's for frame N.
    std::string cleanPlate;
    // Given: the map was found for a shot, on the plate's denoised view, so
    // the matte is pulled from that view as the shot's was.
    bool denoised = false;
};

// What to find on a frame.
struct FindRequest {
    ScreenPick pick;  // None: the screen colour stays as the controls have it
    ScreenMapChoice::Kind map = ScreenMapChoice::Kind::None;
    bool clips = false;
    // Shot: the plate gathered over the shot so far; none: the frame alone.
    const zav::ShotPlate* shot = nullptr;
};

// What was found. The map covers the plate's data window, its pixel (0, 0)
// the window's first.
struct KeyFindings {
    std::optional<Colour> screen;
    std::optional<zav::ScreenMap> map;
    std::optional<zav::ClipLevels> clips;
};

// The keying core's settings as the controls hold them.
zav::KeyParams keyParams(const Controls& controls);

// The controls that chosen clip levels set, in the order they are reported.
inline constexpr const char* kChosenClipControls[] = {knob::kClipBlack, knob::kClipWhite, knob::kScreenBalance};

// Sets the controls to the colour and the clip levels found (the map is not
// a control: the keyer takes it apart).
void applyFindings(Controls& controls, const KeyFindings& found);

// Finds what `request` asks on an image in memory (a movie's frame, the
// tuner's), as findInFile does on a file: the pick first, then the map
// (auto, from the shot, or from `cleanPlate`, which must then be given and
// which, for Given, is the map itself), then the clips,
// chosen with `controls`' values, the picked colour and the map. `what` and
// `cleanWhat` name the frame and the clean plate in messages. Throws
// UsageError (a box that misses the frame, a clean plate of another size)
// or Failure (no backing found), naming them.
KeyFindings findOnImage(const PlanarImage& image, const FindRequest& request, const Controls& controls,
                        const std::string& what, const PlanarImage* cleanPlate = nullptr,
                        const std::string& cleanWhat = {});

// The same on a file, reading it a strip at a time; the clean plate, when
// the map is one, is the file `cleanPlate`, read with the same options.
KeyFindings findInFile(const std::string& path, const FindRequest& request, const Controls& controls,
                       const ReadOptions& read, const std::string& cleanPlate = {});

// True when two data windows are the same rectangle of the picture.
bool sameWindow(const DD::Image::Box& a, const DD::Image::Box& b);

// The plate gathered over a shot from the samples of up to `most` of its
// frames (`paths`, evenly spread), read with `read`, and, with `clips`, the
// clip levels chosen once for it (see zav::chooseShotClips) with `controls`'
// values. The shot's frames are those whose data window most of the
// sampled frames share (the earliest such window on a tie): a slate or a
// frame reformatted or placed elsewhere adds nothing, as a frame with no
// backing adds nothing, and is keyed alone.
struct ShotFindings {
    zav::ShotPlate plate;
    DD::Image::Box window;  // where in the picture the plate lies
    std::optional<zav::ClipLevels> clips;
    // The plate, for a frame whose data window is `box`; none for a frame
    // placed elsewhere, which the plate does not describe.
    const zav::ShotPlate* plateFor(const DD::Image::Box& box) const;
};
ShotFindings findInShot(const std::vector<std::string>& paths, const ReadOptions& read, const Controls& controls,
                        bool clips, int most = 8);
// The same over `count` frames held elsewhere (a movie's, the tuner's):
// `sampleOf(i)` gives frame i's plate sample, asked only of the frames used.
ShotFindings findInShot(std::size_t count, const std::function<PlateSample(std::size_t)>& sampleOf,
                        const Controls& controls, bool clips, int most = 8);

// The sample as the denoised view of the plate (see DenoisedView.h) shows
// it to the map and the clips: each pixel the 1-2-1 x 1-2-1 mean of its 3x3
// neighbourhood of sample pixels, non-finite ones kept and left out.
PlateSample denoisedSample(const PlateSample& sample);

// The clean plate of frame `frame` (a file serves every frame).
std::string cleanPlateFor(const ScreenMapChoice& choice, int frame);

}  // namespace veilcast
