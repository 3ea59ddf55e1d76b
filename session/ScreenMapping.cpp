// SPDX-License-Identifier: Apache-2.0
#include "veilcast/session/ScreenMapping.h"

#include "veilcast/common/UsageError.h"
#include "veilcast/media/FramePattern.h"

#include <functional>
#include <stdexcept>

namespace veilcast {

using namespace DD::Image;

namespace {

std::string describeWindow(const Box& b)
{
    return std::to_string(b.w()) + "x" + std::to_string(b.h()) + " at " + std::to_string(b.x) + "," +
           std::to_string(b.y);
}

// Everything after the pick, once the plate's sample is in hand.
KeyFindings findOnSample(const PlateSample& plate, const FindRequest& request, const Controls& controls,
                         const std::string& what, KeyFindings found,
                         const std::function<PlateSample()>& cleanSample, const std::string& cleanWhat)
{
    const Box& box = plate.box;
    if (request.map == ScreenMapChoice::Kind::Auto) {
        try {
            found.map = zav::screenMapAuto(plate.planes(), plate.step, box.w(), box.h());
        } catch (const std::invalid_argument& e) {
            throw Failure(what + ": no screen map could be made: " + e.what());
        }
    } else if (request.map == ScreenMapChoice::Kind::CleanPlate) {
        const PlateSample clean = cleanSample();
        const Box& c = clean.box;
        // A map is read pixel for pixel against its plate: another size or placement would shift it.
        if (c.x != box.x || c.y != box.y || c.r != box.r || c.t != box.t)
            throw UsageError(cleanWhat + ": the clean plate's data window (" + describeWindow(c) +
                             ") is not that of the plate " + what + " (" + describeWindow(box) +
                             "); a clean plate must match its plate's size");
        try {
            found.map = zav::screenMapFromCleanPlate(clean.planes(), clean.step, box.w(), box.h());
        } catch (const std::invalid_argument& e) {
            throw Failure(cleanWhat + ": the clean plate gives no screen map: " + e.what());
        }
    }
    if (request.clips) {
        zav::KeyParams params = keyParams(controls);
        if (found.screen)
            std::copy(found.screen->begin(), found.screen->end(), params.screenColor);
        try {
            found.clips = zav::chooseClips(plate.planes(), plate.step, params, found.map ? &*found.map : nullptr);
        } catch (const std::invalid_argument& e) {
            throw Failure(what + ": no clip levels could be chosen: " + e.what());
        }
    }
    return found;
}

bool needsSample(const FindRequest& request)
{
    return request.pick.kind == ScreenPick::Kind::Auto || request.map != ScreenMapChoice::Kind::None ||
           request.clips;
}

}  // namespace

zav::KeyParams keyParams(const Controls& controls)
{
    zav::KeyParams p;
    const auto colour = [&](const char* name, float* out) {
        const auto v = std::get<std::array<float, 3>>(controls.get(name));
        std::copy(v.begin(), v.end(), out);
    };
    p.checkAlpha = std::get<bool>(controls.get("CheckAlphaKnob"));
    colour("ScreenColorKnob", p.screenColor);
    colour("inMaskReplacementColorKnob", p.inMaskReplacementColor);
    p.clipBlack = std::get<float>(controls.get("ClipBlackKnob"));
    p.clipWhite = std::get<float>(controls.get("ClipWhiteKnob"));
    p.screenGain = std::get<float>(controls.get("ScreenGainKnob"));
    p.screenBalance = std::get<float>(controls.get("ScreenBalanceKnob"));
    p.inMaskReplacementMode = std::get<int>(controls.get("inMaskReplacementModeKnob"));
    p.sourceAlpha = std::get<int>(controls.get("SourceAlphaKnob"));
    return p;
}

void applyFindings(Controls& controls, const KeyFindings& found)
{
    if (found.screen)
        controls.set("ScreenColorKnob", *found.screen);
    if (found.clips) {
        controls.set("ClipBlackKnob", found.clips->clipBlack);
        controls.set("ClipWhiteKnob", found.clips->clipWhite);
        controls.set("ScreenBalanceKnob", found.clips->screenBalance);
    }
}

KeyFindings findOnImage(const PlanarImage& image, const FindRequest& request, const Controls& controls,
                        const std::string& what, const PlanarImage* cleanPlate, const std::string& cleanWhat)
{
    if (request.map == ScreenMapChoice::Kind::CleanPlate && !cleanPlate)
        throw std::invalid_argument("findOnImage: a clean plate is asked for but none is given");
    KeyFindings found;
    if (request.pick.kind == ScreenPick::Kind::Box)
        found.screen = pickScreen(image, request.pick, what);
    if (!needsSample(request))
        return found;
    const PlateSample plate = samplePlate(image);
    if (request.pick.kind == ScreenPick::Kind::Auto)
        found.screen = pickScreenAuto(plate, what);
    return findOnSample(plate, request, controls, what, std::move(found),
                        [&] { return samplePlate(*cleanPlate); }, cleanWhat);
}

KeyFindings findInFile(const std::string& path, const FindRequest& request, const Controls& controls,
                       const ReadOptions& read, const std::string& cleanPlate)
{
    KeyFindings found;
    if (request.pick.kind == ScreenPick::Kind::Box)
        found.screen = pickScreenInFile(path, request.pick, read);
    if (!needsSample(request))
        return found;
    const PlateSample plate = samplePlateFile(path, read);
    if (request.pick.kind == ScreenPick::Kind::Auto)
        found.screen = pickScreenAuto(plate, path);
    return findOnSample(plate, request, controls, path, std::move(found),
                        [&] { return samplePlateFile(cleanPlate, read); }, cleanPlate);
}

std::string cleanPlateFor(const ScreenMapChoice& choice, int frame)
{
    return isSequencePattern(choice.cleanPlate) ? framePath(choice.cleanPlate, frame)
                                                : framePath(choice.cleanPlate, 0);
}

}  // namespace veilcast
