// SPDX-License-Identifier: Apache-2.0
#include "veilcast/tune/TuneSession.h"

#include "CommandLine.h"
#include "ControlsJson.h"
#include "History.h"
#include "Views.h"
#include "veilcast/common/KnobNames.h"
#include "veilcast/common/UsageError.h"
#include "veilcast/media/PendingOutput.h"
#include "veilcast/session/PathText.h"
#include "veilcast/session/ScreenMapping.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace veilcast::tune {

using namespace DD::Image;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

// The controls start from the settings file when there is one; Save writes
// that same file, so a session picks up where the last one stopped.
std::vector<Setting> initialSettings(const std::string& file)
{
    std::error_code ec;
    if (!fs::exists(file, ec))
        return {};
    return readSettingsFile(file);
}

// The settings file's path. Both paths are written into lines of that file
// (and of the command Save shows): a control character in either is refused
// before anything is read or written.
std::string settingsPathFor(const TuneOptions& options)
{
    refuseControlCharacters(options.input, "the input");
    const std::string path = options.settingsFile.empty() ? defaultSettingsPath(options.input) : options.settingsFile;
    refuseControlCharacters(path, "the settings file");
    return path;
}

// A library's message as the page says it: never a command-line flag; the
// page adds its own advice (a pick box, say).
std::string pageText(const std::exception& e)
{
    return wordingOf(e).plain();
}

// The largest image a view request may ask for at 1:1, so that one request
// cannot make the server allocate without bound.
constexpr long long kMaxRegionPixels = 4096LL * 4096LL;

// The mask the source's alpha makes is in use: Status then tints where it filled in.
bool insideMaskInUse(Controls& controls, const PlanarImage& source)
{
    return source.has(Chan_Alpha) && std::get<int>(controls.get(knob::kSourceAlpha)) != 0;
}

json pixelValues(const PlanarImage& image, int x, int y)
{
    json values = json::array();
    for (const Channel z : {Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha})
        if (image.has(z))
            values.push_back(static_cast<double>(image.row(z, y)[x]));
    return values;
}

// The part of the image's box a 1:1 view asks for; BadRequest when it is
// empty or larger than a view may be.
Box regionInImage(const std::array<int, 4>& region, const Box& b)
{
    const auto [x, y, w, h] = region;
    if (w <= 0 || h <= 0 || static_cast<long long>(w) * h > kMaxRegionPixels)
        throw BadRequest("a region must be between 1 and 4096x4096 pixels");
    const Box wanted{std::max(x, b.x), std::max(y, b.y), static_cast<int>(std::min<long long>(1LL * x + w, b.r)),
                     static_cast<int>(std::min<long long>(1LL * y + h, b.t))};
    if (wanted.r <= wanted.x || wanted.t <= wanted.y)
        throw BadRequest("the region lies outside the image");
    return wanted;
}

}  // namespace

TuneSession::TuneSession(const TuneOptions& options, std::unique_ptr<FrameSource> frames)
    : options_(options),
      settingsFile_(settingsPathFor(options)),
      frames_(std::move(frames)),
      defaults_(options.pluginDirectories, [&] {
          KeyJobOptions job;
          job.threads = options.job.threads;
          job.settings = {{knob::kUseScreenMap, "on", ""}};  // its default: the table is the screen-map keyer's
          return job;
      }()),
      keyer_(options.pluginDirectories, [&] {
          KeyJobOptions job = options.job;
          // Always the screen-map keyer, so that a map can be turned on at
          // any time; with none in use it keys exactly as the plain one.
          // Off unless a map is asked for; the settings may say otherwise.
          job.settings = {{knob::kUseScreenMap, options.job.screenMap.kind == ScreenMapChoice::Kind::None ? "off" : "on", ""}};
          const std::vector<Setting> saved = initialSettings(settingsFile_);
          job.settings.insert(job.settings.end(), saved.begin(), saved.end());
          job.settings.insert(job.settings.end(), options.job.settings.begin(), options.job.settings.end());
          return job;
      }()),
      history_(std::make_unique<History>())
{
    mapSource_ = options_.job.screenMap;
    if (mapSource_.kind == ScreenMapChoice::Kind::None)
        mapSource_.kind = ScreenMapChoice::Kind::Auto;
    frame_ = frames_->frames().front();
    source_ = frames_->read(frame_);
    // Found as `veilcast` finds them on its first frame.
    FindRequest first;
    first.pick = keyer_.screenPick();
    first.map = mapInUse() ? mapSource_.kind : ScreenMapChoice::Kind::None;
    first.clips = options_.job.autoClips;
    try {
        take(find(first), first);
    } catch (const Failure& e) {
        const bool pickOnly = first.map == ScreenMapChoice::Kind::None && !first.clips;
        notice_ = (pickOnly ? "no screen colour was found: " : "") + findingText(e) + "; drag Pick box over clean backing";
    }
}

TuneSession::~TuneSession() = default;

json TuneSession::controlTable()
{
    std::lock_guard lock(mutex_);
    return tune::controlTable(defaults_.controls());
}

json TuneSession::state()
{
    std::lock_guard lock(mutex_);
    json all = changesLocked();
    all.update({{"input", options_.input},
                {"frames", frames_->frames()},
                {"sequence", frames_->isSequence()},
                {"notice", notice_},
                {"settingsFile", settingsFile_}});
    return all;
}

json TuneSession::changes()
{
    std::lock_guard lock(mutex_);
    return changesLocked();
}

json TuneSession::changesLocked()
{
    const Box& b = source_.box();
    auto& controls = keyer_.controls();
    return {{"generation", generation_},
            {"values", controlValues(controls)},
            {"warnings", settingWarnings(controls)},
            {"frame", frame_},
            {"frameName", frames_->describe(frame_)},
            {"box", {b.x, b.y, b.w(), b.h()}},
            {"hasAlpha", source_.has(Chan_Alpha)},
            {"canUndo", history_->canUndo()},
            {"canRedo", history_->canRedo()},
            {"saved", savedSinceChange_},
            {"commandLine", keyCommandLine(options_.input, settingsFile_, frames_->isSequence(), frames_->frames(),
                                           mapInUse() ? mapSource_ : ScreenMapChoice{})}};
}

std::vector<Setting> TuneSession::snapshot()
{
    return currentSettings(keyer_.controls());
}

void TuneSession::restore(const std::vector<Setting>& settings)
{
    applySettings(keyer_.controls(), settings);
    changed();
}

void TuneSession::changed()
{
    ++generation_;
    savedSinceChange_ = false;
}

void TuneSession::setControl(const std::string& name, const std::string& value, bool merge)
{
    std::lock_guard lock(mutex_);
    Controls& controls = keyer_.controls();
    const Controls::Control* control = controls.find(name);
    if (!control)
        throw BadRequest("no control is named " + name);
    ControlValue parsed;
    try {
        parsed = parseControlValue(*control, value);
    } catch (const UsageError& e) {
        throw BadRequest(e.what());
    }
    history_->recordBefore(snapshot(), control->name(), merge);
    controls.set(control->name(), parsed);
    changed();
}

bool TuneSession::undo()
{
    return travel(true);
}

bool TuneSession::redo()
{
    return travel(false);
}

bool TuneSession::travel(bool back)
{
    std::lock_guard lock(mutex_);
    const auto to = back ? history_->undo(snapshot()) : history_->redo(snapshot());
    if (to)
        restore(*to);
    return to.has_value();
}

void TuneSession::pickBox(int x0, int y0, int x1, int y1)
{
    std::lock_guard lock(mutex_);
    Colour picked{};
    try {
        picked = pickScreenInBox(source_, x0, y0, x1, y1);
    } catch (const std::invalid_argument& e) {
        throw BadRequest(pageText(e));
    }
    history_->recordBefore(snapshot());
    keyer_.controls().set(knob::kScreenColor, picked);
    changed();
}

std::string TuneSession::frameName() const
{
    return (std::filesystem::path(options_.input).parent_path() / frames_->describe(frame_)).string();
}

// The page names the input already; a finding's failure names the frame.
std::string TuneSession::findingText(const std::exception& e) const
{
    std::string text = pageText(e);
    const std::string named = frameName() + ": ";
    if (text.rfind(named, 0) == 0)
        text.erase(0, named.size());
    return text;
}

KeyFindings TuneSession::find(const FindRequest& request)
{
    PlanarImage clean;
    std::string cleanName;
    if (request.map == ScreenMapChoice::Kind::CleanPlate) {
        cleanName = cleanPlateFor(mapSource_, frame_);
        clean = readSourceImage(cleanName, options_.job.read).pixels;
    }
    if (request.map != ScreenMapChoice::Kind::Shot)
        return findOnImage(source_, request, keyer_.controls(), frameName(), &clean, cleanName);
    // The whole shot's plate and clips, not the frame shown alone.
    const ShotFindings& shot = this->shot();
    FindRequest own = request;
    own.shot = shot.plateFor(source_.box());
    if (shot.clips)
        own.clips = false;
    KeyFindings found = findOnImage(source_, own, keyer_.controls(), frameName(), &clean, cleanName);
    if (request.clips && shot.clips)
        found.clips = shot.clips;
    return found;
}

const ShotFindings& TuneSession::shot()
{
    if (!shot_) {
        const std::vector<int>& frames = frames_->frames();
        shot_ = findInShot(
            frames.size(),
            [&](std::size_t i) {
                return samplePlate(frames[i] == frame_ ? source_ : frames_->read(frames[i]));
            },
            keyer_.controls(), true);
    }
    return *shot_;
}

void TuneSession::take(const KeyFindings& found, const FindRequest& request)
{
    Controls& controls = keyer_.controls();
    applyFindings(controls, found);
    if (request.map != ScreenMapChoice::Kind::None) {
        map_ = found.map;
        mapMade_ = true;
    }
}

void TuneSession::autoKey()
{
    std::lock_guard lock(mutex_);
    FindRequest request;
    request.pick.kind = ScreenPick::Kind::Auto;
    request.map = mapSource_.kind;
    request.clips = true;
    KeyFindings found;
    try {
        found = find(request);
    } catch (const std::exception& e) {
        throw BadRequest(findingText(e));
    }
    history_->recordBefore(snapshot());
    take(found, request);
    keyer_.controls().set(knob::kUseScreenMap, true);
    changed();
}

bool TuneSession::mapInUse()
{
    return std::get<bool>(keyer_.controls().get(knob::kUseScreenMap));
}

const zav::ScreenMap* TuneSession::frameMap()
{
    if (!mapInUse())
        return nullptr;
    if (!mapMade_) {
        FindRequest request;
        request.map = mapSource_.kind;
        try {
            map_ = find(request).map;
        } catch (const std::exception& e) {
            throw BadRequest(findingText(e));
        }
        mapMade_ = true;
    }
    return &*map_;
}

TuneSession::PlacedMap TuneSession::mapFor(const PlanarImage* proxy)
{
    const zav::ScreenMap* map = frameMap();
    if (!map || !proxy)
        return {map ? std::optional(*map) : std::nullopt, source_.box()};
    // A map is smooth and made of cells: over a proxy, the same cells span it.
    const Box& b = proxy->box();
    return {zav::ScreenMap(b.w(), b.h(), map->cellsX(), map->cellsY(), map->cells()), b};
}

void TuneSession::setFrame(int frame)
{
    std::lock_guard lock(mutex_);
    const auto& all = frames_->frames();
    if (!std::binary_search(all.begin(), all.end(), frame))
        throw BadRequest("the input has no frame " + std::to_string(frame));
    if (frame == frame_)
        return;
    source_ = frames_->read(frame);
    frame_ = frame;
    sourceProxies_.clear();
    map_.reset();  // each frame has its own, as keying a sequence gives it
    mapMade_ = false;
    ++generation_;
}

const PlanarImage& TuneSession::sourceProxy(int scale)
{
    auto found = sourceProxies_.find(scale);
    if (found == sourceProxies_.end()) {
        if (sourceProxies_.size() >= 4)  // a window resized many times: keep the cache small
            sourceProxies_.clear();
        found = sourceProxies_.emplace(scale, shrink(source_, scale)).first;
    }
    return found->second;
}

void TuneSession::checkView(const ViewRequest& request)
{
    std::lock_guard lock(mutex_);
    if (request.region)
        regionInImage(*request.region, source_.box());
}

ViewImage TuneSession::render(const ViewRequest& request)
{
    const View view = request.view;
    std::lock_guard lock(mutex_);
    const Box& b = source_.box();
    ViewImage image;
    image.generation = generation_;
    PlanarImage regionSource, regionKeyed, regionUnmasked;
    const PlanarImage *source = nullptr, *keyed = nullptr, *unmasked = nullptr;
    const bool keys = view != View::Source && view != View::ScreenMap;
    const bool maskInUse = view == View::Status && insideMaskInUse(keyer_.controls(), source_);
    PlacedMap placed;
    // The map for what is keyed or shown next, handed to the keyer.
    const auto placeMap = [&](const PlanarImage* proxy) {
        if (view == View::Source)
            return;
        placed = mapFor(proxy);
        keyer_.setScreenMap(placed.map, placed.box);
    };
    // Keys `part` as it is, and for Status also without the inside mask.
    const auto keyBoth = [&](const PlanarImage& part, PlanarImage& withMask, PlanarImage& withoutMask) {
        const auto key = [&] { return request.region ? keyPart(part) : keyer_.keyImage(part); };
        withMask = key();
        if (maskInUse) {
            Controls& controls = keyer_.controls();
            const ControlValue mode = controls.get(knob::kSourceAlpha);
            controls.set(knob::kSourceAlpha, 0);
            withoutMask = key();
            controls.set(knob::kSourceAlpha, mode);
        }
    };
    if (request.region) {
        const Box wanted = regionInImage(*request.region, b);
        regionSource = crop(source_, wanted);
        placeMap(nullptr);
        if (keys)
            keyBoth(regionSource, regionKeyed, regionUnmasked);
        source = &regionSource;
        keyed = keys ? &regionKeyed : &regionSource;
        unmasked = maskInUse ? &regionUnmasked : nullptr;
        image.originX = wanted.x;
        image.originY = wanted.y;
    } else {
        const int fitW = std::clamp(request.fitWidth, 16, 16384), fitH = std::clamp(request.fitHeight, 16, 16384);
        // The whole factor nearest to fitting: rounding up instead would show a
        // 2049-pixel-wide frame in a 2048-pixel viewer at half its size.
        const double ratio = std::max(static_cast<double>(b.w()) / fitW, static_cast<double>(b.h()) / fitH);
        const int scale = std::max(1, static_cast<int>(std::lround(ratio)));
        source = &sourceProxy(scale);
        placeMap(source);
        KeyedProxy& cached = keyedProxy_;
        const bool stale = cached.generation != generation_ || cached.scale != scale ||
                           (maskInUse && cached.unmasked.width() == 0);
        if (keys && stale) {
            cached.unmasked = PlanarImage();
            keyBoth(*source, cached.keyed, cached.unmasked);
            cached.generation = generation_;
            cached.scale = scale;
        }
        keyed = keys ? &cached.keyed : source;
        unmasked = maskInUse ? &cached.unmasked : nullptr;
        image.scale = scale;
        image.originX = b.x;
        image.originY = b.y;
    }
    ViewInputs in;
    in.source = source;
    in.keyed = keyed;
    in.unmasked = unmasked;
    in.background = request.background;
    PlanarImage screen;
    if (view == View::ScreenMap) {
        const auto colour = std::get<std::array<float, 3>>(keyer_.controls().get(knob::kScreenColor));
        screen = screenImage(placed.map ? &*placed.map : nullptr, colour, placed.box, keyed->box());
        in.screen = &screen;
    }
    image.rgba = renderView(view, in, options_.job.threads);
    image.width = keyed->box().w();
    image.height = keyed->box().h();
    return image;
}

PlanarImage TuneSession::keyPart(const PlanarImage& part)
{
    if (!keyer_.denoisesMatte())
        return keyer_.keyImage(part);
    // The denoised view reads each pixel's neighbours: keyed with the frame's
    // pixels round it, the part's edge keys as in the whole frame.
    const Box& b = part.box();
    return crop(keyer_.keyImage(crop(source_, Box{b.x - 1, b.y - 1, b.r + 1, b.t + 1})), b);
}

json TuneSession::probe(int x, int y)
{
    std::lock_guard lock(mutex_);
    const Box& b = source_.box();
    if (x < b.x || x >= b.r || y < b.y || y >= b.t)
        throw BadRequest("the pixel lies outside the image");
    // The probe reads full-resolution values, not the proxy's averages.
    const PlanarImage pixel = crop(source_, Box{x, y, x + 1, y + 1});
    const PlacedMap placed = mapFor(nullptr);
    keyer_.setScreenMap(placed.map, placed.box);
    const PlanarImage keyed = keyPart(pixel);
    return {{"x", x}, {"y", y}, {"source", pixelValues(pixel, x, y)}, {"keyed", pixelValues(keyed, x, y)},
            {"keyedHasAlpha", keyed.has(Chan_Alpha)}};
}

json TuneSession::save()
{
    std::lock_guard lock(mutex_);
    // With no map in use the plain keyer keys the same: its file stays as it always was.
    const std::string unused = keyer_.controls().find(knob::kUseScreenMap)->label() + "=off";
    std::vector<Setting> kept;
    for (const Setting& s : snapshot())
        if (s.name + "=" + s.value != unused)
            kept.push_back(s);
    // A batch run reading it meanwhile sees the old settings or the new, never half.
    writeTextFile(settingsFile_, formatSettings(kept, "veilcast settings, saved by `veilcast tune` for " + options_.input));
    savedSinceChange_ = true;
    json saved = changesLocked();
    saved["file"] = settingsFile_;
    return saved;
}

}  // namespace veilcast::tune
