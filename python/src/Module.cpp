// SPDX-License-Identifier: Apache-2.0
// The extension behind the Python package veilcast: keying arrays and files
// through the same session, rules and messages as the command line.
#include "Arguments.h"
#include "Images.h"
#include "Settings.h"
#include "WithoutGil.h"
#include "veilcast/common/UsageError.h"
#include "veilcast/common/Version.h"
#include "veilcast/session/KeyRun.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>

namespace veilcast::python {

namespace {

void warn(const std::string& text)
{
    if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 2) != 0)
        throw py::error_already_set();
}

// Work on pixels in memory: whatever goes wrong is about the values given.
template <class Work>
void runOnPixels(CancellationToken& token, const Work& work)
{
    try {
        runWithoutGil(token, work);
    } catch (const py::error_already_set&) {
        throw;
    } catch (const py::builtin_exception&) {
        throw;
    } catch (const Cancelled&) {
        throw;
    } catch (const std::exception& e) {
        throw py::value_error(commandLineText(e));
    }
}

const std::vector<Setting>& givenIn(const Settings* settings)
{
    static const std::vector<Setting> none;
    return settings ? settings->given() : none;
}

// `screenMap`: None, "auto", or the clean plate as an array like the image.
py::object key(const py::array& image, const Settings* settings, const py::object& screenMap, bool autoClips,
               int threads)
{
    const ArrayView view = viewOf(image);
    CancellationToken token;
    KeyJobOptions job;
    job.settings = givenIn(settings);
    job.threads = threads;
    job.cancellation = &token;
    job.autoClips = autoClips;
    std::optional<ArrayView> cleanView;
    if (py::isinstance<py::str>(screenMap)) {
        if (screenMap.cast<std::string>() != "auto")
            throw py::value_error("screen_map takes \"auto\" or a clean plate as an array like the image, not \"" +
                                  screenMap.cast<std::string>() + "\"");
        job.screenMap.kind = ScreenMapChoice::Kind::Auto;
    } else if (!screenMap.is_none()) {
        cleanView = viewOf(screenMap.cast<py::array>());
        job.screenMap.kind = ScreenMapChoice::Kind::CleanPlate;
        job.screenMap.cleanPlate = "the clean plate";
    }
    const auto session = openSession(job);
    for (const std::string& w : session->warnings())
        warn(w);
    PlanarImage keyed;
    runOnPixels(token, [&] {
        const PlanarImage source = planesOf(view);
        if (job.screenMap.kind != ScreenMapChoice::Kind::None || autoClips) {
            // The pick, the map and the clips, as the command line finds them on a frame.
            const PlanarImage clean = cleanView ? planesOf(*cleanView) : PlanarImage();
            session->prepareImage(source, 0, "the image", cleanView ? &clean : nullptr);
        } else if (session->screenPick().kind != ScreenPick::Kind::None) {
            // As the command line does: a colour given is kept, else the backing is found.
            session->controls().set("ScreenColorKnob", pickScreen(source, session->screenPick(), "the image"));
        }
        keyed = session->keyImage(source);
    });
    return arrayOf(keyed, view.height, view.width);
}

py::tuple pickScreenIn(const py::array& image, const std::optional<std::array<int, 4>>& box)
{
    const ArrayView view = viewOf(image);
    ScreenPick pick;
    pick.kind = box ? ScreenPick::Kind::Box : ScreenPick::Kind::Auto;
    if (box)
        pick.box = *box;
    CancellationToken token;
    Colour colour{};
    runOnPixels(token, [&] { colour = pickScreen(planesOf(view), pick, "the image"); });
    return pythonColour(colour);
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

// `args` holds the command line's options, set from key_file's keywords,
// and becomes a job by the same code as the command line's.
py::dict keyFile(Arguments args, const Settings* settings, const py::object& progressCallback)
{
    CancellationToken token;
    KeyJobOptions job = keyJob(args, &token);
    job.settings = givenIn(settings);
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
    std::optional<zav::ClipLevels> clips;
    std::vector<std::string> notices;
    KeyRunEvents events;
    events.pickedScreen = [&](const Colour& c) { picked = c; };
    events.chosenClips = [&](const zav::ClipLevels& c) { clips = c; };
    events.notice = [&](const Wording& wording) {
        const std::string text = commandLineText(wording);
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
    result["clips"] = clips ? py::object(py::make_tuple(clips->clipBlack, clips->clipWhite)) : py::none();
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

void translateErrors()
{
    // Mistakes in what was asked are ValueError, failures with files
    // OSError, both in the command line's words.
    py::register_exception_translator([](std::exception_ptr raised) {
        try {
            if (raised)
                std::rethrow_exception(raised);
        } catch (py::error_already_set& e) {
            e.restore();
        } catch (const py::builtin_exception& e) {
            e.set_error();  // ValueError and the like, raised as such
        } catch (const Cancelled& e) {
            PyErr_SetString(PyExc_KeyboardInterrupt, e.what());
        } catch (const std::invalid_argument& e) {
            PyErr_SetString(PyExc_ValueError, commandLineText(e).c_str());
        } catch (const std::runtime_error& e) {
            PyErr_SetString(PyExc_OSError, commandLineText(e).c_str());
        }
    });
}

}  // namespace

}  // namespace veilcast::python

PYBIND11_MODULE(_veilcast, m)
{
    using namespace veilcast::python;
    namespace v = veilcast;
    m.attr("__version__") = v::kVersion;
    translateErrors();
    bindSettings(m);
    m.def("_key", &key, py::arg("image"), py::arg("settings"), py::arg("screen_map"), py::arg("auto_clips"),
          py::arg("threads"));
    m.def("_pick_screen", &pickScreenIn, py::arg("image"), py::arg("box"));
    // The command line's options, by the keyword names key_file takes.
    py::class_<v::Arguments>(m, "_Options")
        .def(py::init<>())
        .def_readwrite("input", &v::Arguments::input)
        .def_readwrite("output", &v::Arguments::output)
        .def_readwrite("frames", &v::Arguments::frames)
        .def_readwrite("pick_screen", &v::Arguments::pick)
        .def_readwrite("screen_map", &v::Arguments::screenMap)
        .def_readwrite("clip", &v::Arguments::clip)
        .def_readwrite("data_type", &v::Arguments::dataType)
        .def_readwrite("preview", &v::Arguments::preview)
        .def_readwrite("date_time", &v::Arguments::dateTime)
        .def_readwrite("fps", &v::Arguments::fps)
        .def_readwrite("ocio", &v::Arguments::ocio)
        .def_readwrite("in_colorspace", &v::Arguments::inColourSpace)
        .def_readwrite("out_colorspace", &v::Arguments::outColourSpace)
        .def_readwrite("skip_missing", &v::Arguments::skipMissing)
        .def_readwrite("threads", &v::Arguments::threads)
        .def_property("part", [](const v::Arguments& a) { return a.read.part; },
                      [](v::Arguments& a, const std::string& part) { a.read.part = part; })
        .def_property("layer", [](const v::Arguments& a) { return a.read.layer; },
                      [](v::Arguments& a, const std::string& layer) { a.read.layer = layer; })
        .def_property("raw", [](const v::Arguments& a) { return a.read.raw; },
                      [](v::Arguments& a, bool raw) { a.read.raw = raw; })
        .def_property("max_pixels", [](const v::Arguments& a) { return a.read.maxPixels; },
                      [](v::Arguments& a, std::uint64_t pixels) { a.read.maxPixels = pixels; });
    m.def("_key_file", &keyFile, py::arg("options"), py::arg("settings"), py::arg("progress"));
}
