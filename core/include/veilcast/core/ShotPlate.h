// SPDX-License-Identifier: Apache-2.0
#pragma once

// A clean plate found in the shot itself (--screen-map shot): where the
// subject moves, each pixel's backing is seen in some frames, and the
// backing's colour gathered over the frames where it was surely backing is
// the backing behind the subject, with no clean pass shot on set. Works on
// plates' samples as the screen map does (see ScreenMap.h). Standard
// library only.

#include "veilcast/core/ClipChoice.h"
#include "veilcast/core/ScreenMap.h"

#include <cstdint>
#include <vector>

namespace zav {

class ShotPlate {
public:
    ShotPlate() = default;

    // Adds a frame of width x height pixels, sampled on every `step`-th
    // pixel: its surely-backing pixels (as the automatic map finds them) add
    // their colour. Returns false, adding nothing, when the frame shows no
    // backing of the shot's hue or is of another size than the frames added
    // before.
    bool add(const RgbPlanes& sample, int step, int width, int height);

    // Frames added.
    int frames() const { return frames_; }
    // True when a frame of this size and sampling can use the plate.
    bool fits(int step, int width, int height) const;
    // The share of the frame seen as backing in at least one frame.
    double seenShare() const;

    // Internal to the core: the plate's mean colour at sample pixel s (three
    // floats) when it was seen, else false.
    bool seen(std::size_t s, float* colour) const;
    int primary() const { return primary_; }

private:
    int step_ = 0, width_ = 0, height_ = 0, sw_ = 0, sh_ = 0;
    int primary_ = 1;
    int frames_ = 0;
    std::vector<double> sum_;          // 3 per sample pixel
    std::vector<std::uint32_t> count_;  // frames it was surely backing in
};

// The screen map of one frame of a shot: where the frame itself is surely
// backing, its own colour (so a moving shadow or a light change is
// followed); under the subject, the shot's plate wherever the backing was
// seen in some frame; the spatial fill only where it never was; scaled as
// screenMapAuto scales. With no plate (or one of another size) the frame
// alone, much as screenMapAuto. Throws std::invalid_argument when neither
// the frame nor the plate shows backing.
ScreenMap screenMapShot(const RgbPlanes& sample, int step, int width, int height, const ShotPlate* shot);

// Clip levels chosen once for a shot from several of its frames: each
// frame's as chooseClips reads them (with its map, if given), then the
// median of each level over the frames that show backing. `maps` is empty
// or one per sample; `rims` empty or one per sample (see chooseClips).
ClipLevels chooseShotClips(const std::vector<RgbPlanes>& samples, int step, const KeyParams& params,
                           const std::vector<const ScreenMap*>& maps, const std::vector<RgbPlanes>& rims = {});

}  // namespace zav
