// SPDX-License-Identifier: Apache-2.0
#pragma once

// The clip levels and Screen Balance read off a plate's own matte (--clip
// auto). Standard library only; works from a plate's sample as the screen
// map does (see ScreenMap.h).

#include "veilcast/core/KeyParams.h"
#include "veilcast/core/ScreenPicking.h"

namespace zav {

class ScreenMap;

// Clip levels read off the plate's own matte, keyed with `params` (and
// `map`, when given, instead of the screen colour): Clip Black from the
// matte over the surely-backing area, Clip White from the surely-subject core.
// Clip Black never exceeds 0.3 and Clip White is never below 0.4; a plate
// with no backing to read them from keeps 0 and 1.
// The levels are read at the Screen Balance chosen with them: the one at
// which the colours of the subject's rim lean least towards the screen,
// so that its soft edges key to their coverage (params' own where there is
// no subject or no backing to read).
struct ClipLevels {
    float clipBlack = 0.0f;
    float clipWhite = 1.0f;
    float screenBalance = 0.5f;
};
// `rim`, when given, is the sample the rim's colours are read from for the
// balance (the plate as shot, when `sample` is a denoised view of it: the
// balance then also weighs the noise each channel brings); by default
// `sample`.
ClipLevels chooseClips(const RgbPlanes& sample, int step, const KeyParams& params, const ScreenMap* map,
                       const RgbPlanes* rim = nullptr);

}  // namespace zav
