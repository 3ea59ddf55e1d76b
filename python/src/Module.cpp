// SPDX-License-Identifier: Apache-2.0
// The extension behind the Python package veilcast: keying arrays and files
// through the same session, rules and messages as the command line.
#include "Errors.h"
#include "Images.h"
#include "Request.h"
#include "Settings.h"
#include "WithoutGil.h"
#include "veilcast/common/UsageError.h"
#include "veilcast/common/Version.h"
#include "veilcast/session/KeyPolicy.h"
#include "veilcast/session/KeyRequest.h"
#include "veilcast/session/KeyRun.h"
#include "veilcast/common/KnobNames.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <mutex>
#include <optional>
#include <string>


namespace veilcast::python {

namespace {

void warn(const std::string& text)
{
    if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 2) != 0)
        throw py::error_already_set();
}

// Work on pixels in memory: whatever goes wrong is about the values given,
// but for a failure with the file `file` (a clean plate), if any. Ctrl-C
// or a progress callback's exception returns at once (see runWithoutGil):
// `work` owns all it uses.
void runOnPixels(const std::shared_ptr<CancellationToken>& token, std::function<void()> work,
                 const std::string& file = {}, const std::function<void()>& poll = {})
{
    try {
        runWithoutGil(token, std::move(work), poll, true);
    } catch (const py::error_already_set&) {
        throw;
    } catch (const py::builtin_exception&) {
        throw;
    } catch (const Cancelled&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::runtime_error& e) {
        const std::string text = pythonText(e);
        if (!file.empty() && text.rfind(file + ": ", 0) == 0)
            raiseFile(text);
        raiseUsage(text);
    } catch (const std::exception& e) {
        raiseUsage(pythonText(e));
    }
}

// Progress of a key in memory as the waiting Python thread hears it: the
// keying threads only store the rows done.
class RowProgress {
public:
    RowProgress(py::object callback, int rows) : callback_(std::move(callback)), rows_(std::max(rows, 1)) {}
    // For the keying threads; shares what it stores, so it may outlive this.
    std::function<void(int)> hear() const
    {
        return [done = done_](int rows) { *done = rows; };
    }
    std::function<void()> tell()
    {
        if (callback_.is_none())
            return {};
        return [this] {
            const double now = std::min(1.0, static_cast<double>(done_->load()) / rows_);
            if (now > told_) {
                told_ = now;
                callback_(now);
            }
        };
    }

private:
    py::object callback_;
    int rows_;
    std::shared_ptr<std::atomic<int>> done_ = std::make_shared<std::atomic<int>>(0);
    double told_ = -1;
};

const std::vector<Setting>& givenIn(const Settings* settings)
{
    static const std::vector<Setting> none;
    return settings ? settings->given() : none;
}

// Where a key of pixels in memory takes its screen map from, as Python
// gave it: `screenMap` "auto", "shot" or a clean plate file; or
// `cleanPlate`, one in memory (with `screenMap` "map": a screen map that
// find returned, keyed with as it is; "shot map": one found for a shot,
// keyed through the denoised view it was found on); neither: no map.
struct MapSource {
    std::string screenMap;
    std::optional<py::array> cleanPlate;
};

// A key of pixels in memory with the settings, the screen map and, with
// `clips`, the clip levels chosen: the job the command line would make.
KeyJobOptions pixelJob(const Settings* settings, int threads, const CancellationToken& token, const MapSource& map,
                       bool clips)
{
    KeyJobOptions job;
    job.settings = givenIn(settings);
    job.threads = threads;
    job.cancellation = &token;
    job.screenMap = screenMapFromWords(map.screenMap);
    if (map.cleanPlate && (map.screenMap == "map" || map.screenMap == "shot map"))
        job.screenMap = {ScreenMapChoice::Kind::Given, {}, map.screenMap == "shot map"};
    else if (map.cleanPlate)
        job.screenMap.kind = ScreenMapChoice::Kind::CleanPlate;
    job.autoClips = clips;
    return job;
}

// An image and its clean plate, if any, as the session's planes: copied
// with the interpreter lock held, and shared with work that may outlive
// the call.
struct Pixels {
    std::shared_ptr<const PlanarImage> source, clean;
    py::ssize_t height = 0, width = 0;
};

Pixels pixelsOf(const py::array& image, const MapSource& map)
{
    const ArrayView view = viewOf(image);
    std::optional<ArrayView> cleanView;
    if (map.cleanPlate)
        cleanView = viewOf(*map.cleanPlate, "the clean plate (screen_map)");
    Pixels pixels;
    pixels.source = std::make_shared<const PlanarImage>(planesOf(view));
    if (cleanView)
        pixels.clean = std::make_shared<const PlanarImage>(planesOf(*cleanView));
    pixels.height = view.height;
    pixels.width = view.width;
    return pixels;
}

// Finds on the image what the session's job asks, as the command line does
// on its first frame: the colour, the map, the clips.
KeyFindings prepare(KeySession& session, const Pixels& pixels)
{
    return session.prepareImage(*pixels.source, 0, "the image", pixels.clean.get(), "screen_map");
}

std::string mapFile(const MapSource& map)
{
    return !map.cleanPlate && screenMapFromWords(map.screenMap).kind == ScreenMapChoice::Kind::CleanPlate
               ? map.screenMap
               : std::string();
}

void warnOf(const KeySession& session)
{
    for (const std::string& w : session.warnings())
        warn(w);
}

// A float32 array over `values`, which it takes: no copy of a large result.
py::array arrayTaking(std::vector<float>&& values, py::ssize_t height, py::ssize_t width, bool withAlpha)
{
    auto* owned = new std::vector<float>(std::move(values));
    py::capsule owner(owned, [](void* p) { delete static_cast<std::vector<float>*>(p); });
    if (withAlpha)
        return py::array_t<float>({height, width, py::ssize_t{4}}, owned->data(), owner);
    return py::array_t<float>({height, width}, owned->data(), owner);
}

py::object key(const py::array& image, const Settings* settings, const py::int_& threads, const std::string& screenMap,
               const std::optional<py::array>& cleanPlate, bool clips, const py::object& progressCallback)
{
    const MapSource map{screenMap, cleanPlate};
    const auto token = std::make_shared<CancellationToken>();
    const std::shared_ptr<KeySession> session = openSession(pixelJob(settings, threadCount(threads), *token, map, clips));
    const Pixels pixels = pixelsOf(image, map);
    warnOf(*session);
    const bool withAlpha = session->keysAlpha();
    auto result = std::make_shared<std::vector<float>>();
    RowProgress progress(progressCallback, static_cast<int>(std::min<py::ssize_t>(pixels.height, INT_MAX)));
    runOnPixels(token, [session, pixels, result, withAlpha, rows = progress.hear()] {
        prepare(*session, pixels);
        const PlanarImage keyed = session->keyImage(*pixels.source, rows);
        result->resize(static_cast<std::size_t>(pixels.height) * static_cast<std::size_t>(pixels.width) *
                       (withAlpha ? 4 : 1));
        copyResult(keyed, result->data(), pixels.height, pixels.width);
    }, mapFile(map), progress.tell());
    return arrayTaking(std::move(*result), pixels.height, pixels.width, withAlpha);
}

// A box's mean, or the backing found unaided without one.
ScreenPick pickOf(const std::optional<std::array<int, 4>>& box)
{
    return box ? ScreenPick{ScreenPick::Kind::Box, *box} : ScreenPick{ScreenPick::Kind::Auto, {}};
}

py::object pythonClips(const std::optional<zav::ClipLevels>& clips)
{
    if (!clips)
        return py::none();
    return py::make_tuple(pythonNumber(clips->clipBlack), pythonNumber(clips->clipWhite),
                          pythonNumber(clips->screenBalance));
}

// What the command line finds on a frame with --pick-screen (auto, or
// `box`), the screen map and --clip auto, as it prints it; the settings
// given with the values found set.
py::dict find(const py::array& image, const Settings* settings, const std::optional<std::array<int, 4>>& box,
              const std::string& screenMap, const std::optional<py::array>& cleanPlate, bool clips)
{
    const MapSource map{screenMap, cleanPlate};
    const auto token = std::make_shared<CancellationToken>();
    KeyJobOptions job = pixelJob(settings, 0, *token, map, clips);
    job.pick = pickOf(box);
    const std::shared_ptr<KeySession> session = openSession(job);
    const Pixels pixels = pixelsOf(image, map);
    warnOf(*session);
    auto findings = std::make_shared<KeyFindings>();
    runOnPixels(token, [session, pixels, findings] { *findings = prepare(*session, pixels); }, mapFile(map));
    const KeyFindings& found = *findings;

    // In the words the command line prints them in, to be given back alike.
    Settings frozen = settings ? *settings : Settings();
    const auto freeze = [&](const char* name) {
        const Controls::Control& c = *session->controls().find(name);
        frozen.set(c.label(), formatControlValue(c, c.value()), "veilcast.find");
    };
    if (found.screen)
        freeze(knob::kScreenColor);
    if (found.clips)
        for (const char* name : kChosenClipControls)
            freeze(name);
    py::dict result;
    result["screen"] = found.screen ? py::object(pythonColour(*found.screen)) : py::none();
    result["clips"] = pythonClips(found.clips);
    result["map"] = found.map ? py::object(arrayOf(*found.map)) : py::none();
    result["settings"] = frozen;
    return result;
}

py::tuple pickScreenIn(const py::array& image, const std::optional<std::array<int, 4>>& box)
{
    const ArrayView view = viewOf(image);
    const ScreenPick pick = pickOf(box);
    auto colour = std::make_shared<Colour>();
    auto planes = std::make_shared<const PlanarImage>(planesOf(view));
    runOnPixels(std::make_shared<CancellationToken>(),
                [colour, planes, pick] { *colour = pickScreen(*planes, pick, "the image"); });
    return pythonColour(*colour);
}

// Progress as the waiting Python thread hears it: the keying threads only
// store where they are; the callback is called from Python's own thread.
class PolledProgress final : public KeyProgress {
public:
    void startFrame(int index, int count, const std::string&) override
    {
        // The fraction first: whoever sees the new frame sees it start at 0.
        fraction_ = 0;
        index_ = index;
        count_ = std::max(count, 1);
    }
    void update(double fraction) override { fraction_ = fraction; }
    void endFrame() override { fraction_ = 1; }
    double overall() const
    {
        const int count = count_;
        return count == 0 ? 0.0 : std::min(1.0, (index_ + std::clamp(fraction_.load(), 0.0, 1.0)) / count);
    }

private:
    std::atomic<int> index_{0}, count_{0};
    std::atomic<double> fraction_{0};
};

// `request` holds key_file's keywords, checked as every front end's are.
py::dict keyFile(KeyRequest request, const Settings* settings, const py::object& progressCallback)
{
    const auto token = std::make_shared<CancellationToken>();
    request.settings = givenIn(settings);
    const KeyJobOptions job = checkRequest(request, keywordFor, token.get());
    const auto session = openSession(job);
    const KeyPlan plan = planKey(job, session->keysAlpha());
    for (const std::string& w : session->warnings())
        warn(w);

    PolledProgress progress;
    double told = -1;
    const auto tell = [&] {
        const double now = progress.overall();
        if (!progressCallback.is_none() && now > told) {
            told = now;
            progressCallback(now);
        }
    };
    std::mutex mutex;
    std::optional<Colour> picked;
    std::vector<std::string> notices;
    KeyRunEvents events;
    std::optional<zav::ClipLevels> clips;
    events.pickedScreen = [&](const Colour& c) { picked = c; };
    events.chosenClips = [&](const zav::ClipLevels& c) { clips = c; };
    events.notice = [&](const Wording& wording) {
        const std::string text = pythonText(wording);
        std::lock_guard<std::mutex> lock(mutex);
        if (!text.empty() && std::find(notices.begin(), notices.end(), text) == notices.end())
            notices.push_back(text);
    };
    RunTotals totals;
    runWithoutGil(token, [&] { totals = runKeyJob(*session, job, plan, progress, events); }, tell);

    py::dict result;
    result["frames"] = totals.frames;
    result["pixels"] = totals.pixels;
    result["seconds"] = totals.seconds;
    result["screen_colour"] = picked ? py::object(pythonColour(*picked)) : py::none();
    result["clips"] = pythonClips(clips);
    std::vector<int> skipped;
    plan.skipped.forEach([&](int f) {
        skipped.push_back(f);
        return true;
    });
    result["skipped"] = skipped;
    result["notices"] = notices;
    result["settings"] = settingsSummary(session->controls());
    return result;
}

}  // namespace

}  // namespace veilcast::python

PYBIND11_MODULE(_veilcast, m)
{
    using namespace veilcast::python;
    namespace v = veilcast;
    m.attr("__version__") = v::kVersion;
    defineErrors(m);
    translateErrors();
    bindSettings(m);
    py::module_::import("atexit").attr("register")(py::cpp_function(&stopRunningKeys));
    m.def("_key", &key, py::arg("image"), py::arg("settings"), py::arg("threads"), py::arg("screen_map"),
          py::arg("clean_plate"), py::arg("clips"), py::arg("progress"));
    m.def("_find", &find, py::arg("image"), py::arg("settings"), py::arg("box"), py::arg("screen_map"),
          py::arg("clean_plate"), py::arg("clips"));
    m.def("_pick_screen", &pickScreenIn, py::arg("image"), py::arg("box"));
    bindRequest(m);
    m.def("_key_file", &keyFile, py::arg("request"), py::arg("settings"), py::arg("progress"));
}
