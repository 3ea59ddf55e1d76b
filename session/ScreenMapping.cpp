// SPDX-License-Identifier: Apache-2.0
#include "veilcast/session/ScreenMapping.h"

#include "veilcast/common/KnobNames.h"
#include "veilcast/common/UsageError.h"
#include "veilcast/media/FramePattern.h"

#include <algorithm>
#include <cmath>
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
KeyFindings findOnSample(const PlateSample& given, const FindRequest& request, const Controls& controls,
                         const std::string& what, KeyFindings found,
                         const std::function<PlateSample()>& cleanSample, const std::string& cleanWhat)
{
    // A shot's matte is pulled from the denoised view: its map and clips are read off the same view.
    const bool shot = request.map == ScreenMapChoice::Kind::Shot;
    const PlateSample denoised = shot ? denoisedSample(given) : PlateSample();
    const PlateSample& plate = shot ? denoised : given;
    const Box& box = plate.box;
    if (request.map == ScreenMapChoice::Kind::Auto) {
        try {
            found.map = zav::screenMapAuto(plate.planes(), plate.step, box.w(), box.h());
        } catch (const std::invalid_argument& e) {
            throw Failure(what + ": no screen map could be made: " + e.what());
        }
    } else if (request.map == ScreenMapChoice::Kind::Shot) {
        try {
            found.map = zav::screenMapShot(plate.planes(), plate.step, box.w(), box.h(), request.shot);
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
            const zav::RgbPlanes rim = given.planes();
            found.clips = zav::chooseClips(plate.planes(), plate.step, params, found.map ? &*found.map : nullptr,
                                           shot ? &rim : nullptr);
        } catch (const std::invalid_argument& e) {
            throw Failure(what + ": no clip levels could be chosen: " + e.what());
        }
    }
    return found;
}

// A screen colour per pixel handed over as an image of the plate's window.
zav::ScreenMap givenMap(const PlanarImage& map, const Box& box, const std::string& what, const std::string& mapWhat)
{
    const Box& m = map.box();
    if (m.x != box.x || m.y != box.y || m.r != box.r || m.t != box.t)
        throw UsageError(mapWhat + ": the screen map's window (" + describeWindow(m) + ") is not that of the plate " +
                         what + " (" + describeWindow(box) + ")");
    std::vector<float> cells(static_cast<std::size_t>(box.w()) * static_cast<std::size_t>(box.h()) * 3);
    std::size_t k = 0;
    for (int y = box.y; y < box.t; ++y) {
        const float* rgb[3] = {map.row(Chan_Red, y), map.row(Chan_Green, y), map.row(Chan_Blue, y)};
        for (int x = box.x; x < box.r; ++x)
            for (int c = 0; c < 3; ++c)
                cells[k++] = rgb[c][x];
    }
    return zav::ScreenMap(box.w(), box.h(), box.w(), box.h(), std::move(cells));
}

bool needsSample(const FindRequest& request)
{
    return request.pick.kind == ScreenPick::Kind::Auto ||
           (request.map != ScreenMapChoice::Kind::None && request.map != ScreenMapChoice::Kind::Given) || request.clips;
}

}  // namespace

zav::KeyParams keyParams(const Controls& controls)
{
    zav::KeyParams p;
    const auto colour = [&](const char* name, float* out) {
        const auto v = std::get<std::array<float, 3>>(controls.get(name));
        std::copy(v.begin(), v.end(), out);
    };
    p.checkAlpha = std::get<bool>(controls.get(knob::kCheckAlpha));
    colour(knob::kScreenColor, p.screenColor);
    colour(knob::kInsideReplaceColor, p.inMaskReplacementColor);
    p.clipBlack = std::get<float>(controls.get(knob::kClipBlack));
    p.clipWhite = std::get<float>(controls.get(knob::kClipWhite));
    p.screenGain = std::get<float>(controls.get(knob::kScreenGain));
    p.screenBalance = std::get<float>(controls.get(knob::kScreenBalance));
    p.inMaskReplacementMode = std::get<int>(controls.get(knob::kInsideReplace));
    p.sourceAlpha = std::get<int>(controls.get(knob::kSourceAlpha));
    return p;
}

void applyFindings(Controls& controls, const KeyFindings& found)
{
    if (found.screen)
        controls.set(knob::kScreenColor, *found.screen);
    if (found.clips) {
        controls.set(knob::kClipBlack, found.clips->clipBlack);
        controls.set(knob::kClipWhite, found.clips->clipWhite);
        controls.set(knob::kScreenBalance, found.clips->screenBalance);
    }
}

KeyFindings findOnImage(const PlanarImage& image, const FindRequest& request, const Controls& controls,
                        const std::string& what, const PlanarImage* cleanPlate, const std::string& cleanWhat)
{
    if (request.map == ScreenMapChoice::Kind::CleanPlate && !cleanPlate)
        throw std::invalid_argument("findOnImage: a clean plate is asked for but none is given");
    if (request.map == ScreenMapChoice::Kind::Given && !cleanPlate)
        throw std::invalid_argument("findOnImage: a screen map is said to be given but none is");
    KeyFindings found;
    if (request.pick.kind == ScreenPick::Kind::Box)
        found.screen = pickScreen(image, request.pick, what);
    if (request.map == ScreenMapChoice::Kind::Given)
        found.map = givenMap(*cleanPlate, image.box(), what, cleanWhat);
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

ShotFindings findInShot(const std::vector<std::string>& paths, const ReadOptions& read, const Controls& controls,
                        bool clips, int most)
{
    return findInShot(paths.size(), [&](std::size_t i) { return samplePlateFile(paths[i], read); }, controls, clips,
                      most);
}

ShotFindings findInShot(std::size_t count, const std::function<PlateSample(std::size_t)>& sampleOf,
                        const Controls& controls, bool clips, int most)
{
    ShotFindings found;
    const std::size_t n = std::min<std::size_t>(count, static_cast<std::size_t>(std::max(most, 1)));
    std::vector<PlateSample> taken;
    for (std::size_t k = 0; k < n; ++k)
        taken.push_back(sampleOf(n < 2 ? 0 : (k * (count - 1) + (n - 1) / 2) / (n - 1)));
    const auto sharing = [&](const PlateSample& a) {
        return std::count_if(taken.begin(), taken.end(), [&](const PlateSample& b) {
            return sameWindow(a.box, b.box) && a.step == b.step;
        });
    };
    std::size_t mostShared = 0;
    for (std::size_t k = 1; k < taken.size(); ++k)
        if (sharing(taken[k]) > sharing(taken[mostShared]))
            mostShared = k;
    std::vector<PlateSample> samples, plain;
    if (!taken.empty())
        found.window = taken[mostShared].box;
    for (PlateSample& shot : taken) {
        if (!sameWindow(shot.box, found.window))
            continue;
        PlateSample sample = denoisedSample(shot);
        if (found.plate.add(sample.planes(), sample.step, sample.box.w(), sample.box.h())) {
            samples.push_back(std::move(sample));
            plain.push_back(std::move(shot));
        }
    }
    if (!clips || samples.empty())
        return found;
    std::vector<zav::RgbPlanes> planes, rims;
    std::vector<zav::ScreenMap> maps;
    for (const PlateSample& s : plain)
        rims.push_back(s.planes());
    std::vector<const zav::ScreenMap*> mapPointers;
    for (const PlateSample& s : samples) {
        planes.push_back(s.planes());
        maps.push_back(zav::screenMapShot(s.planes(), s.step, s.box.w(), s.box.h(), &found.plate));
    }
    for (const zav::ScreenMap& m : maps)
        mapPointers.push_back(&m);
    found.clips = zav::chooseShotClips(planes, samples.front().step, keyParams(controls), mapPointers, rims);
    return found;
}

bool sameWindow(const DD::Image::Box& a, const DD::Image::Box& b)
{
    return a.x == b.x && a.y == b.y && a.r == b.r && a.t == b.t;
}

const zav::ShotPlate* ShotFindings::plateFor(const DD::Image::Box& box) const
{
    return plate.frames() > 0 && sameWindow(box, window) ? &plate : nullptr;
}

PlateSample denoisedSample(const PlateSample& sample)
{
    PlateSample out = sample;
    const int w = sample.width, h = sample.height;
    const std::size_t plane = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    static constexpr float kWeight[3] = {1.0f, 2.0f, 1.0f};
    for (int c = 0; c < 3; ++c) {
        const float* in = sample.pixels.data() + static_cast<std::size_t>(c) * plane;
        float* o = out.pixels.data() + static_cast<std::size_t>(c) * plane;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const std::size_t at = static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x);
                if (!std::isfinite(in[at]))
                    continue;
                float sum = 0.0f, weight = 0.0f;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        const int yy = std::clamp(y + dy, 0, h - 1), xx = std::clamp(x + dx, 0, w - 1);
                        const float v = in[static_cast<std::size_t>(yy) * static_cast<std::size_t>(w) + static_cast<std::size_t>(xx)];
                        if (std::isfinite(v)) {
                            const float k = kWeight[dy + 1] * kWeight[dx + 1];
                            sum += k * v;
                            weight += k;
                        }
                    }
                o[at] = sum / weight;
            }
    }
    return out;
}

std::string cleanPlateFor(const ScreenMapChoice& choice, int frame)
{
    return isSequencePattern(choice.cleanPlate) ? framePath(choice.cleanPlate, frame)
                                                : framePath(choice.cleanPlate, 0);
}

}  // namespace veilcast
