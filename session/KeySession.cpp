// SPDX-License-Identifier: Apache-2.0
#include "veilcast/session/KeySession.h"

#include "veilcast/common/UsageError.h"
#include "veilcast/host/ImageSource.h"
#include "veilcast/host/ScreenMapSource.h"
#include "veilcast/media/FramePattern.h"
#include "veilcast/media/FrameSequence.h"
#include "veilcast/media/ImageWriter.h"
#include "veilcast/media/Preview.h"
#include "veilcast/host/RowRenderer.h"
#include "veilcast/session/DenoisedView.h"
#include "veilcast/session/KeyPolicy.h"
#include "veilcast/common/KnobNames.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

namespace veilcast {

using namespace DD::Image;
namespace fs = std::filesystem;

std::vector<std::string> defaultPluginDirectories()
{
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec)
        return {};
    const fs::path dir = exe.parent_path();
    return {(dir / "../plugins").lexically_normal().string(),
            (dir / "../lib/veilcast/plugins").lexically_normal().string()};
}

bool samePath(const std::string& a, const std::string& b)
{
    std::error_code ec;
    if (fs::exists(a, ec) && fs::exists(b, ec))
        return fs::equivalent(a, b, ec);
    // Made absolute first: a relative path none of whose parts exist would
    // otherwise stay relative while "./" + it becomes absolute.
    return fs::weakly_canonical(fs::absolute(a, ec), ec) == fs::weakly_canonical(fs::absolute(b, ec), ec);
}

KeySession::KeySession(const std::vector<std::string>& pluginDirectories, const KeyJobOptions& options)
    : plugin_(PluginLibrary::find("ZAVVeilcast", pluginDirectories)), node_(keyerClassFor(options)), options_(options)
{
    applySettings(node_.controls(), options_.settings);
    options_.pick = screenPickFor(node_.controls(), options_);
}

std::vector<std::string> KeySession::warnings() const
{
    const Controls& controls = node_.controls();
    std::vector<std::string> warnings =
        settingWarnings(controls, options_.pick.kind != ScreenPick::Kind::None, options_.autoClips);
    if (options_.autoClips) {
        // Said, as a colour given is kept: here what was given gives way.
        for (const char* name : kChosenClipControls) {
            const Controls::Control& c = *controls.find(name);
            if (controlGiven(controls, options_.settings, name))
                warnings.push_back(c.label() + " " + formatControlValue(c, c.value()) + " is not used: the clip levels are chosen " +
                                   (options_.screenMap.kind == ScreenMapChoice::Kind::Shot ? "over the shot" : "on the first frame"));
        }
    }
    // Both a colour and a pick asked for: the pick is the later, narrower ask.
    if (options_.pick.kind != ScreenPick::Kind::None && controlGiven(controls, options_.settings, knob::kScreenColor)) {
        const Controls::Control& c = *controls.find(knob::kScreenColor);
        warnings.push_back(c.label() + " " + formatControlValue(c, c.value()) +
                           " is not used: the screen colour is picked from the image");
    }
    // The screen-map keyer without a map keys every pixel against the one colour.
    if (mapsScreen() && options_.screenMap.kind == ScreenMapChoice::Kind::None &&
        std::get<bool>(controls.get(knob::kUseScreenMap)))
        warnings.push_back("Use Screen Map is on but no screen map was asked for (auto or a clean plate): every "
                           "pixel is keyed against Screen Color");
    return warnings;
}

bool KeySession::mapsScreen() const
{
    return node_.controls().find(knob::kUseScreenMap) != nullptr;
}

void KeySession::setScreenMap(std::optional<zav::ScreenMap> map, const Box& box)
{
    if (map && !mapsScreen())
        throw std::logic_error("a screen map given to the keyer without a screen input");
    map_ = std::move(map);
    mapBox_ = box;
    mapCleanPlate_.clear();
}

FindRequest KeySession::findRequest(const Box& box, const std::string& cleanPlate) const
{
    FindRequest request;
    if (!screenPicked_)
        request.pick = options_.pick;
    request.clips = options_.autoClips && !clipsChosen_;
    const bool mapUsed = mapsScreen() && std::get<bool>(node_.controls().get(knob::kUseScreenMap));
    const auto kind = options_.screenMap.kind;
    // One clean plate (or map given) serves every frame of its size: its map is made once.
    const bool made = (kind == ScreenMapChoice::Kind::CleanPlate || kind == ScreenMapChoice::Kind::Given) && map_ &&
                      mapCleanPlate_ == cleanPlate && sameWindow(mapBox_, box);
    if (mapUsed && !made)
        request.map = kind;
    if (kind == ScreenMapChoice::Kind::Shot)
        request.shot = shot_.plateFor(box);
    return request;
}

void KeySession::apply(const KeyFindings& found, const Box& box, const std::string& cleanPlate)
{
    Controls& controls = node_.controls();
    applyFindings(controls, found);
    screenPicked_ = true;
    if (found.clips)
        clipsChosen_ = true;
    if (found.map) {
        setScreenMap(found.map, box);
        const auto kind = options_.screenMap.kind;
        mapCleanPlate_ = kind == ScreenMapChoice::Kind::CleanPlate || kind == ScreenMapChoice::Kind::Given
                             ? cleanPlate
                             : std::string();
    }
}

KeyFindings KeySession::prepareImage(const PlanarImage& source, int frame, const std::string& what,
                                     const PlanarImage* cleanPlate, const std::string& cleanWhat)
{
    const bool fromFile = options_.screenMap.kind == ScreenMapChoice::Kind::CleanPlate && !cleanPlate;
    const std::string cleanPath = fromFile ? cleanPlateFor(options_.screenMap, frame) : cleanWhat;
    if (options_.screenMap.kind == ScreenMapChoice::Kind::Shot && !shotGathered_) {
        // Frame by frame: the plate gathers every frame seen so far, this one included.
        const PlateSample sample = denoisedSample(samplePlate(source));
        const Box& b = sample.box;
        if (!shot_.plateFor(b) || !shot_.plate.fits(sample.step, b.w(), b.h())) {
            shot_ = ShotFindings();  // another window: another shot
            shot_.window = b;
        }
        shot_.plate.add(sample.planes(), sample.step, b.w(), b.h());
    }
    const FindRequest request = findRequest(source.box(), cleanPath);
    PlanarImage clean;
    if (request.map == ScreenMapChoice::Kind::CleanPlate && fromFile)
        clean = readSourceImage(cleanPath, options_.read).pixels;
    const KeyFindings found =
        findOnImage(source, request, node_.controls(), what, cleanPlate ? cleanPlate : &clean, cleanPath);
    apply(found, source.box(), cleanPath);
    return found;
}

KeyFindings KeySession::prepareFile(const std::string& input, const std::string& cleanPlate)
{
    return prepareFile(input, ImageReader(input, options_.read).box(), cleanPlate);
}

KeyFindings KeySession::prepareFile(const std::string& input, const Box& box, const std::string& cleanPlate)
{
    // A caller that names no clean plate keys with the one file that serves every frame.
    const std::string clean = cleanPlate.empty() && options_.screenMap.kind == ScreenMapChoice::Kind::CleanPlate
                                  ? cleanPlateFor(options_.screenMap, 0)
                                  : cleanPlate;
    const KeyFindings found = findInFile(input, findRequest(box, clean), node_.controls(), options_.read, clean);
    apply(found, box, clean);
    return found;
}

std::optional<zav::ClipLevels> KeySession::prepareShot(const std::vector<std::string>& inputs)
{
    if (options_.screenMap.kind != ScreenMapChoice::Kind::Shot || inputs.empty())
        return std::nullopt;
    const std::vector<std::string> paths = options_.shotFrames.empty() ? inputs : shotFramePaths();
    return prepareShot(paths.size(), [&](std::size_t i) { return samplePlateFile(paths[i], options_.read); });
}

std::optional<zav::ClipLevels> KeySession::prepareShot(std::size_t count,
                                                       const std::function<PlateSample(std::size_t)>& sampleOf)
{
    if (options_.screenMap.kind != ScreenMapChoice::Kind::Shot || count == 0)
        return std::nullopt;
    shot_ = findInShot(count, sampleOf, node_.controls(), options_.autoClips && !clipsChosen_);
    shotGathered_ = true;
    if (shot_.clips) {
        KeyFindings clips;
        clips.clips = shot_.clips;
        applyFindings(node_.controls(), clips);
        clipsChosen_ = true;
    }
    return shot_.clips;
}

std::vector<std::string> KeySession::shotFramePaths() const
{
    const FrameList frames = parseFrameRange(options_.shotFrames, UserChoice::ShotFrames);
    const FrameCheck check = checkFrames(options_.input, frames);
    if (!check.missing.empty() && !options_.skipMissing)
        throw std::runtime_error(std::to_string(check.missing.size()) + " of " + std::to_string(frames.size()) +
                                 " frames of the shot (" + options_.shotFrames + ") missing: " +
                                 check.missing.describe() + "; nothing was written");
    std::vector<std::string> paths;
    check.present.forEach([&](std::int64_t f) {
        paths.push_back(framePath(options_.input, static_cast<int>(f)));
        return true;
    });
    if (paths.empty())
        throw std::runtime_error("none of the shot's frames (" + options_.shotFrames + ") of " + options_.input +
                                 " is there; nothing was written");
    return paths;
}

bool KeySession::keysAlpha() const
{
    return !std::get<bool>(node_.controls().get(knob::kCheckAlpha));
}

WriteOptions KeySession::writeOptions() const
{
    WriteOptions write = options_.writeOptions(settingsSummary(node_.controls()));
    write.matte = !keysAlpha();
    return write;
}

bool KeySession::denoisesMatte() const
{
    const ScreenMapChoice& map = options_.screenMap;
    return (map.kind == ScreenMapChoice::Kind::Shot || (map.kind == ScreenMapChoice::Kind::Given && map.denoised)) &&
           mapsScreen() &&
           std::get<bool>(node_.controls().get(knob::kUseScreenMap));
}

PlanarImage KeySession::keyImage(const PlanarImage& source, const std::function<void(int)>& rowsDone)
{
    PlanarImage result;
    if (denoisesMatte()) {
        const PlanarImage view = denoisedRows(source, source.box().y, source.box().t);
        keyInto(view, result, rowsDone);
        restoreDetail(result, source, view);
    } else {
        keyInto(source, result, rowsDone);
    }
    return result;
}

void KeySession::keyInto(const PlanarImage& source, PlanarImage& result, const std::function<void(int)>& rowsDone)
{
    ImageSource src(source);
    Iop& op = node_.op();
    op.set_input(0, &src);
    std::optional<ScreenMapSource> screen;
    if (map_)
        screen.emplace(*map_, mapBox_);
    if (mapsScreen())
        op.set_input(1, screen ? &*screen : nullptr);
    validateAndRequest(op, Mask_RGBA);
    std::vector<Channel> channels;
    const ChannelSet out = op.info().channels();
    for (Channel z = out.first(); z; z = out.next(z))
        channels.push_back(z);
    const Box& box = op.info().box();
    const Box& resultBox = result.box();
    if (result.channels() != channels || resultBox.x != box.x || resultBox.y != box.y || resultBox.r != box.r ||
        resultBox.t != box.t)
        result.reshape(box, op.info().format(), channels);
    RenderOptions render;
    render.threads = options_.threads;
    const auto cancelled = options_.cancelled();
    render.cancelled = cancelled;
    render.progress = rowsDone;
    const RenderResult status = renderRows(op, result, render);
    op.set_input(0, nullptr);
    if (mapsScreen())
        op.set_input(1, nullptr);
    if (status == RenderResult::Aborted || cancelled())
        throw Cancelled();
}

KeyedFrame KeySession::keyFile(const std::string& input, const std::string& output, KeyProgress& progress, int index,
                              int count, const std::string& upcoming, const std::string& cleanPlate)
{
    if (samePath(input, output))
        throw UsageError(output + ": the output would overwrite the input");
    progress.startFrame(index, count, fs::path(input).filename().string());

    // The frame read ahead while the last one was keyed, if it is this one.
    std::unique_ptr<StripStream> stream = std::move(ahead_);
    if (!stream || stream->path() != input)
        stream = std::make_unique<StripStream>(input, options_.read, options_.cancellation);
    const ImageReader& reader = stream->reader();
    const Box box = reader.box();
    KeyedFrame frame;
    frame.notice = reader.notice();

    const KeyFindings found = prepareFile(input, box, cleanPlate);
    frame.pickedScreen = found.screen;
    frame.chosenClips = found.clips;

    const WriteOptions write = writeOptions();
    std::unique_ptr<ImageWriter> writer;
    std::unique_ptr<PreviewSheet> preview;
    PlanarImage result;
    // With a denoised view, each strip is keyed once the next has come, whose
    // first row it needs, and keeps its last row for the one after.
    const bool denoise = denoisesMatte();
    PlanarImage above;
    const auto keyStrip = [&](const StripStream::Strip& strip, const PlanarImage* below) {
        if (!denoise) {
            keyInto(strip.pixels, result, {});
        } else {
            const PlanarImage view = denoisedRows(
                withNeighbours(above.width() ? &above : nullptr, strip.pixels, below), strip.y0, strip.y1);
            keyInto(view, result, {});
            restoreDetail(result, strip.pixels, view);
            above = lastRow(strip.pixels);
        }
        if (!writer)
            writer = std::make_unique<ImageWriter>(output, result.channels(), box, reader.format(), reader.spec(),
                                                   reader.formatName(), write);
        writer->write(strip.y0, strip.y1, result);
        if (!options_.previewPath.empty() && index == 0) {
            if (!preview)
                preview = std::make_unique<PreviewSheet>(box, result.has(Chan_Alpha));
            preview->add(strip.y0, strip.y1, strip.pixels, result);
        }
        progress.update(static_cast<double>(strip.y1 - box.y) / box.h());
    };
    StripStream::Strip strip, held;
    bool holding = false;
    while (stream->next(strip)) {
        // At most two frames in flight: the next starts once this one is read.
        if (!ahead_ && !upcoming.empty() && stream->doneReading())
            ahead_ = std::make_unique<StripStream>(upcoming, options_.read, options_.cancellation);
        if (!denoise) {
            keyStrip(strip, nullptr);
            continue;
        }
        if (holding)
            keyStrip(held, &strip.pixels);
        held = std::move(strip);
        strip = StripStream::Strip();
        holding = true;
    }
    if (holding)
        keyStrip(held, nullptr);
    if (!writer)
        throw std::runtime_error(input + ": holds no rows to key");
    writer->finish();
    if (const long nan = writer->nanPixels())
        frame.warning = output + ": " + std::to_string(nan) + (nan == 1 ? " pixel was" : " pixels were") +
                        " not a number (NaN), which its integer format cannot hold: written as 0 (black)";
    if (preview)
        preview->write(options_.previewPath);
    progress.endFrame();
    frame.pixels = static_cast<long>(box.w()) * box.h();
    return frame;
}

}  // namespace veilcast
