// SPDX-License-Identifier: Apache-2.0
#include "Request.h"

#include "veilcast/session/KeyPolicy.h"

#include <climits>
#include <cstdint>
#include <limits>

namespace veilcast::python {

namespace {

// A pixel limit as Python gave it, checked by the rule every front end keys by.
std::uint64_t pixelCount(const py::int_& pixels)
{
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(pixels.ptr(), &overflow);
    if (count == -1 && PyErr_Occurred())
        throw py::error_already_set();
    checkMaxPixels(overflow < 0 ? LLONG_MIN : overflow > 0 ? LLONG_MAX : count, keywordFor);
    if (overflow == 0)
        return static_cast<std::uint64_t>(count);
    const unsigned long long large = PyLong_AsUnsignedLongLong(pixels.ptr());
    if (large == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();  // more than any count: no limit
        return std::numeric_limits<std::uint64_t>::max();
    }
    return large;
}

}  // namespace

// A thread count as Python gave it, checked by the rule every front end keys by.
int threadCount(const py::int_& threads)
{
    int overflow = 0;
    const long count = PyLong_AsLongAndOverflow(threads.ptr(), &overflow);
    if (count == -1 && PyErr_Occurred())
        throw py::error_already_set();
    checkThreadCount(overflow > 0 ? LONG_MAX : overflow < 0 ? LONG_MIN : count);
    return static_cast<int>(count);
}

std::string_view keywordFor(UserChoice choice)
{
    switch (choice) {
    case UserChoice::None: return "";
    case UserChoice::Frames: return "frames";
    case UserChoice::ShotFrames: return "shot_frames";
    case UserChoice::SkipMissing: return "skip_missing";
    case UserChoice::FrameRate: return "fps";
    case UserChoice::MaxPixels: return "max_pixels";
    case UserChoice::DateTime: return "date_time";
    case UserChoice::ColourConfig: return "ocio";
    case UserChoice::InColourSpace: return "in_colorspace";
    case UserChoice::OutColourSpace: return "out_colorspace";
    case UserChoice::Part: return "part";
    case UserChoice::Layer: return "layer";
    case UserChoice::Raw: return "raw";
    case UserChoice::PickBox: return "; pick it with a box over clean backing, pick_screen=(x0, y0, x1, y1)";
    case UserChoice::PickScreen: return "pick_screen";
    case UserChoice::Controls: return "veilcast.controls()";
    case UserChoice::ScreenMap: return "screen_map";
    case UserChoice::Threads: return "threads";
    case UserChoice::Codec: return "codec";
    case UserChoice::Settings: return "settings";
    case UserChoice::Set: return "settings";
    case UserChoice::FrozenSettings: return "frozen_settings";
    case UserChoice::SettingsSha256: return "settings_sha256";
    case UserChoice::Clip: return "clip";
    case UserChoice::DataType: return "data_type";
    case UserChoice::Preview: return "preview";
    }
    return "";
}

void bindRequest(py::module_& m)
{
    namespace v = veilcast;
    py::class_<v::KeyRequest>(m, "_Request")
        .def(py::init<>())
        .def_readwrite("input", &v::KeyRequest::input)
        .def_readwrite("output", &v::KeyRequest::output)
        .def_readwrite("frames", &v::KeyRequest::frames)
        .def_readwrite("shot_frames", &v::KeyRequest::shotFrames)
        .def_readwrite("pick_screen", &v::KeyRequest::pick)
        .def_readwrite("screen_map", &v::KeyRequest::screenMap)
        .def_readwrite("clip", &v::KeyRequest::clip)
        .def_readwrite("data_type", &v::KeyRequest::dataType)
        .def_readwrite("preview", &v::KeyRequest::preview)
        .def_readwrite("date_time", &v::KeyRequest::dateTime)
        .def_readwrite("fps", &v::KeyRequest::fps)
        .def_readwrite("codec", &v::KeyRequest::codec)
        .def_readwrite("ocio", &v::KeyRequest::ocio)
        .def_readwrite("in_colorspace", &v::KeyRequest::inColourSpace)
        .def_readwrite("out_colorspace", &v::KeyRequest::outColourSpace)
        .def_readwrite("skip_missing", &v::KeyRequest::skipMissing)
        .def_property("threads", [](const v::KeyRequest& r) { return r.threads; },
                      [](v::KeyRequest& r, const py::int_& threads) { r.threads = threadCount(threads); })
        .def_property("part", [](const v::KeyRequest& r) { return r.read.part; },
                      [](v::KeyRequest& r, const std::string& part) { r.read.part = part; })
        .def_property("layer", [](const v::KeyRequest& r) { return r.read.layer; },
                      [](v::KeyRequest& r, const std::string& layer) { r.read.layer = layer; })
        .def_property("raw", [](const v::KeyRequest& r) { return r.read.raw; },
                      [](v::KeyRequest& r, bool raw) { r.read.raw = raw; })
        .def_property("max_pixels", [](const v::KeyRequest& r) { return r.read.maxPixels; },
                      [](v::KeyRequest& r, const py::int_& pixels) { r.read.maxPixels = pixelCount(pixels); });
}

}  // namespace veilcast::python
