// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/common/Cancellation.h"
#include "veilcast/session/ControlSettings.h"
#include "veilcast/media/ImageReader.h"
#include "veilcast/media/ImageWriter.h"
#include "veilcast/host/OperatorNode.h"
#include "veilcast/host/PluginLibrary.h"
#include "veilcast/session/KeyJob.h"
#include "veilcast/session/KeyProgress.h"
#include "veilcast/session/ScreenPicker.h"
#include "veilcast/media/StripStream.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace veilcast {

struct KeyedFrame {
    long pixels = 0;
    std::optional<Colour> pickedScreen;
    std::optional<zav::ClipLevels> chosenClips;
    Wording notice;  // about the input, for the user; empty if nothing
    std::string warning;  // about what was written (NaN pixels an integer format cannot hold); empty if nothing
};

// Keys image files through the loaded operator module: one node, its controls
// set once, each file read, served as the node's input, pulled on all cores
// and written.
class KeySession {
public:
    // Loads the "ZAVVeilcast" module from the first directory that has it,
    // makes the node keyerClassFor names and applies the settings; the
    // screen is picked as screenPickFor says.
    KeySession(const std::vector<std::string>& pluginDirectories, const KeyJobOptions& options);

    Controls& controls() { return node_.controls(); }
    // True when the result has alpha (Check Alpha is off).
    bool keysAlpha() const;
    // How an image keyed now is written: the job's options, the settings
    // recorded, and whether it is a matte (written as data).
    WriteOptions writeOptions() const;
    // How the screen colour is to be picked, automatic when nothing set it.
    const ScreenPick& screenPick() const { return options_.pick; }
    // Settings that are allowed but probably not meant (see settingWarnings).
    std::vector<std::string> warnings() const;

    // True when the node is the screen-map keyer (see keyerClassFor).
    bool mapsScreen() const;
    // True when the matte is pulled from a denoised view of the plate
    // (--screen-map shot with Use Screen Map on; see DenoisedView.h):
    // keyImage and keyFile key the view and put its detail back.
    bool denoisesMatte() const;
    // The screen map keyImage and keyFile key with from now on, made for
    // plates whose data window is `box`; none: the screen colour alone. Only
    // the screen-map keyer takes one (std::logic_error otherwise).
    void setScreenMap(std::optional<zav::ScreenMap> map, const DD::Image::Box& box);
    const std::optional<zav::ScreenMap>& screenMap() const { return map_; }

    // Finds on a frame what the job asks before the frame is keyed, and
    // applies it (see findOnImage): the screen pick and the clips on the
    // first frame only, later frames reusing them, so a sequence keys
    // consistently; the screen map on every frame, or once for a clean
    // plate that serves every frame. `frame` is the frame's number, which
    // picks its clean plate from a pattern; `what` names it. keyFile does
    // this itself. A front end that holds the clean plate in memory gives
    // it as `cleanPlate`, named `cleanWhat`, in place of the job's file.
    KeyFindings prepareImage(const PlanarImage& source, int frame, const std::string& what,
                             const PlanarImage* cleanPlate = nullptr, const std::string& cleanWhat = {});

    // Keys an image already in memory with the controls as they are now, on
    // the session's threads; `rowsDone` (may be empty) hears the rows done.
    // Throws Cancelled when the session's token is set.
    PlanarImage keyImage(const PlanarImage& source, const std::function<void(int)>& rowsDone = {});

    // Keys one file a strip at a time: it is read on a thread of its own
    // while the strips before are keyed and written, so memory stays a few
    // strips whatever the frame's size. What the job asks to find on the
    // frame is found first, as prepareImage finds it, on a sample read a
    // strip at a time; `cleanPlate` is this frame's, when the screen map is
    // one. `upcoming`, the file the next call will key, if any, is read
    // ahead once this one has been read. Throws std::runtime_error naming
    // the file, or Cancelled; the output is then left as it was.
    KeyedFrame keyFile(const std::string& input, const std::string& output, KeyProgress& progress, int index,
                       int count, const std::string& upcoming = {}, const std::string& cleanPlate = {});
    // What keyFile finds on `input` before keying it, applied as it applies it.
    KeyFindings prepareFile(const std::string& input, const std::string& cleanPlate);

    // For --screen-map shot, before a sequence's first frame: gathers the
    // shot's plate from several of `inputs`, or of the job's shot frames
    // when it names them (see findInShot), which every
    // frame's map then uses, and chooses the clips once for the shot when
    // the job asks (returned, and applied as the first frame's would be).
    // Does nothing for other maps. Frames keyed without it (Python's, the
    // tuner's) gather the plate as they come instead.
    std::optional<zav::ClipLevels> prepareShot(const std::vector<std::string>& inputs);
    // The same over `count` frames held elsewhere (a movie's): `sampleOf(i)`
    // gives frame i's plate sample, asked in increasing order of i.
    std::optional<zav::ClipLevels> prepareShot(std::size_t count,
                                               const std::function<PlateSample(std::size_t)>& sampleOf);

    // Keys `source` into `result`, made anew when its box or channels
    // differ: a strip of a frame keys as the same rows of the whole would.
    void keyInto(const PlanarImage& source, PlanarImage& result, const std::function<void(int)>& rowsDone);

private:
    // The files of the job's shot frames, those there are with --skip-missing.
    // Throws std::runtime_error for missing ones otherwise.
    std::vector<std::string> shotFramePaths() const;

    // What is left to find on a frame of data window `box` whose clean plate is `cleanPlate`.
    FindRequest findRequest(const DD::Image::Box& box, const std::string& cleanPlate) const;
    void apply(const KeyFindings& found, const DD::Image::Box& box, const std::string& cleanPlate);
    KeyFindings prepareFile(const std::string& input, const DD::Image::Box& box, const std::string& cleanPlate);

    PluginLibrary plugin_;
    OperatorNode node_;
    KeyJobOptions options_;
    bool screenPicked_ = false;
    bool clipsChosen_ = false;
    std::optional<zav::ScreenMap> map_;
    DD::Image::Box mapBox_;
    std::string mapCleanPlate_;  // the clean plate map_ was made from; empty when found on the frame
    ShotFindings shot_;          // --screen-map shot: the plate gathered over the shot
    bool shotGathered_ = false;  // gathered before the first frame (prepareShot), not frame by frame
    std::unique_ptr<StripStream> ahead_;
};

// The directories searched for the operator module by default: beside the
// executable's build or install tree.
std::vector<std::string> defaultPluginDirectories();

// True when the two paths name the same file (existing or not).
bool samePath(const std::string& a, const std::string& b);

}  // namespace veilcast
