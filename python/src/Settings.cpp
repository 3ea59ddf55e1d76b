// SPDX-License-Identifier: Apache-2.0
#include "Settings.h"

#include "Errors.h"
#include "PluginPlace.h"
#include "veilcast/common/UsageError.h"
#include "veilcast/media/PendingOutput.h"
#include "veilcast/session/KeyPolicy.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <cctype>
#include <charconv>

namespace veilcast::python {

using namespace DD::Image;

namespace {

// Where values given from Python come from, for messages, as "--set" is for the command line's.
const char* const kOrigin = "veilcast.Settings";

// The longest sequence a value may be: a colour's three numbers, with room
// for the parser to say so of a fourth.
constexpr Py_ssize_t kMaxParts = 4;

std::string typeName(const py::handle& value)
{
    return py::str(py::type::handle_of(value).attr("__name__"));
}

bool isNumber(const py::handle& value)
{
    return PyNumber_Check(value.ptr()) && !PySequence_Check(value.ptr()) && !py::isinstance<py::str>(value);
}

std::string numberText(const py::handle& value)
{
    if (py::isinstance<py::bool_>(value))
        return value.cast<bool>() ? "on" : "off";
    if (py::isinstance<py::int_>(value))
        return py::str(value);
    return py::repr(py::float_(py::reinterpret_borrow<py::object>(value)));
}

// The text a user would write for a Python value: the same text goes
// through the same parser as --set, so both reach the same float. Only
// values a control can take are looked into; anything else (a generator,
// a nested or endless structure) is refused before it is iterated.
std::string textOf(const std::string& control, const py::handle& value)
{
    if (py::isinstance<py::str>(value))
        return value.cast<std::string>();
    if (isNumber(value))
        return numberText(value);
    const auto refuse = [&](const std::string& what) {
        raiseType("the value of \"" + control + "\" is a number, a bool, text or three numbers, not " + what);
    };
    if (!PySequence_Check(value.ptr()) || py::isinstance<py::bytes>(value) || !py::hasattr(value, "__len__"))
        refuse(typeName(value));
    const Py_ssize_t size = PySequence_Size(value.ptr());
    if (size < 0)
        throw py::error_already_set();
    if (size > kMaxParts)
        refuse(std::string("a ") + typeName(value) + " of " + std::to_string(size) + " items");
    std::string text;
    for (Py_ssize_t i = 0; i < size; ++i) {
        const py::object part = py::reinterpret_steal<py::object>(PySequence_GetItem(value.ptr(), i));
        if (!part)
            throw py::error_already_set();
        if (!isNumber(part))
            refuse(std::string("a ") + typeName(value) + " holding a " + typeName(part));
        text += (i ? "," : "") + numberText(part);
    }
    return text;
}

// A path as Python's open() takes it (str, bytes or os.PathLike), refused
// as open() refuses it when a NUL would cut it short.
std::string pathOf(const py::object& path, const char* keyword)
{
    const py::object os = py::module_::import("os");
    const std::string bytes = py::bytes(os.attr("fsencode")(path));
    if (bytes.find('\0') != std::string::npos)
        raiseUsage(std::string(keyword) + ": embedded null byte");
    return bytes;
}

// The given values applied to a fresh node, for reading them back.
std::unique_ptr<KeySession> sessionWith(const Settings& settings)
{
    KeyJobOptions job;
    job.settings = settings.given();
    return openSession(job);
}

Settings fromValues(const py::object& values)
{
    if (values.is_none())
        return {};
    if (py::isinstance<Settings>(values))
        return values.cast<Settings>();
    if (!py::isinstance<py::dict>(values))
        raiseType("Settings takes a dict of control names or labels to values, not " + typeName(values));
    Settings settings;
    for (const auto& [name, value] : values.cast<py::dict>()) {
        const std::string control = py::str(name);
        settings.set(control, textOf(control, value), kOrigin);
    }
    return settings;
}

Settings readFile(const py::object& file)
{
    const std::string path = pathOf(file, "path");
    Settings settings;
    std::vector<Setting> lines;
    try {
        lines = readSettingsFile(path);
    } catch (const UsageError& e) {
        // A line's mistake names it as FILE:LINE; anything else is about the file itself.
        const std::string text = pythonText(e);
        const bool aboutLine = text.size() > path.size() + 1 && text.compare(0, path.size() + 1, path + ":") == 0 &&
                               std::isdigit(static_cast<unsigned char>(text[path.size() + 1]));
        if (aboutLine)
            throw;
        raiseFile(text);
    }
    for (const Setting& s : lines)
        settings.set(s.name, s.value, s.origin);
    return settings;
}

// The values given, or `every` control's, by label, as a key with `settings` would use them.
py::dict valuesOf(const Settings& settings, bool every)
{
    py::dict values;
    const auto session = sessionWith(settings);
    const Controls& controls = session->controls();
    for (const Setting& s : every ? currentSettings(controls) : settings.given()) {
        const Controls::Control& c = *controls.find(s.name);
        values[py::str(s.name)] = pythonValue(c, c.value());
    }
    return values;
}

std::string repr(const Settings& settings)
{
    return "veilcast.Settings(" + std::string(py::repr(valuesOf(settings, false))) + ")";
}

}  // namespace

void Settings::set(const std::string& control, const std::string& text, const std::string& origin)
{
    auto session = openSession();
    Controls& controls = session->controls();
    applySettings(controls, {Setting{control, text, origin}});
    const Controls::Control& c = *controls.find(control);
    Setting canonical{c.label(), formatControlValue(c, c.value()), origin};
    const auto same = std::find_if(given_.begin(), given_.end(), [&](const Setting& s) { return s.name == c.label(); });
    if (same != given_.end())
        *same = std::move(canonical);
    else
        given_.push_back(std::move(canonical));
}

const Setting* Settings::find(const std::string& control) const
{
    const auto session = openSession();
    const Controls::Control* c = session->controls().find(control);
    if (!c)
        return nullptr;
    const auto same = std::find_if(given_.begin(), given_.end(), [&](const Setting& s) { return s.name == c->label(); });
    return same == given_.end() ? nullptr : &*same;
}

bool Settings::unset(const std::string& control)
{
    const Setting* s = find(control);
    if (!s)
        return false;
    given_.erase(given_.begin() + (s - given_.data()));
    return true;
}

std::unique_ptr<KeySession> openSession(const KeyJobOptions& job)
{
    // Kept loaded for the interpreter's life: without it every call would
    // load the module afresh once the last session let it go.
    static const PluginLibrary* const kept =
        new PluginLibrary(PluginLibrary::find("ZAVVeilcast", pluginDirectories()));
    (void)kept;
    return std::make_unique<KeySession>(pluginDirectories(), job);
}

py::float_ pythonNumber(float v)
{
    // By the shortest text that reads back as the same float, so that 0.05
    // shows as 0.05 and, given back, keys the same.
    char text[32];
    const auto written = std::to_chars(text, text + sizeof text, v);
    double shortest = 0;
    std::from_chars(text, written.ptr, shortest);
    return py::float_(shortest);
}

py::tuple pythonColour(const std::array<float, 3>& c)
{
    return py::make_tuple(pythonNumber(c[0]), pythonNumber(c[1]), pythonNumber(c[2]));
}

py::object pythonValue(const Controls::Control& control, const ControlValue& value)
{
    struct ToPython {
        const Controls::Control& control;
        py::object operator()(bool on) const { return py::bool_(on); }
        py::object operator()(float v) const { return pythonNumber(v); }
        py::object operator()(const std::array<float, 3>& c) const { return pythonColour(c); }
        py::object operator()(int item) const { return py::str(formatControlValue(control, item)); }
    };
    return std::visit(ToPython{control}, value);
}

namespace {

// Reading and writing values by control, as a dict of the values given does.
void bindMapping(py::class_<Settings>& cls)
{
    cls.def("__setitem__",
            [](Settings& settings, const std::string& name, const py::object& value) {
                 settings.set(name, textOf(name, value), kOrigin);
             })
        .def("__getitem__",
             [](const Settings& settings, const std::string& name) {
                 const auto session = sessionWith(settings);
                 const Controls::Control* c = session->controls().find(name);
                 if (!c)
                     throw py::key_error(name);
                 return pythonValue(*c, c->value());
             })
        .def("__delitem__",
             [](Settings& settings, const std::string& name) {
                 if (!settings.unset(name))
                     throw py::key_error(name);
             })
        .def("__contains__", [](const Settings& settings, const std::string& name) { return settings.find(name) != nullptr; })
        .def("__len__", [](const Settings& settings) { return settings.given().size(); })
        .def("keys",
             [](const Settings& settings) {
                 py::list names;
                 for (const Setting& s : settings.given())
                     names.append(s.name);
                 return names;
             })
        .def("__iter__", [](const py::object& self) { return self.attr("keys")().attr("__iter__")(); })
        .def("items", [](const py::object& self) { return py::dict(self.attr("given")()).attr("items")(); })
        .def(
            "given", [](const Settings& settings) { return valuesOf(settings, false); }, "The values given, by label.")
        .def(
            "all", [](const Settings& settings) { return valuesOf(settings, true); },
            "Every control's value a key would use, by label: given, else its default.")
        .def(
            "warnings",
            [](const Settings& settings) {
                const auto session = sessionWith(settings);
                return session->warnings();
            },
            "Values allowed but probably not meant, one sentence each, as the command line warns of them.");
}

// Text, equality, copies and pickling: by the values given.
void bindValueSemantics(py::class_<Settings>& cls)
{
    cls.def("__str__", [](const Settings& settings) { return settingsAsOptions(settings.given()); })
        .def("__repr__", &repr)
        .def("__eq__",
             [](const Settings& a, const py::object& other) {
                 // The values given, whatever their order: a key does not depend on it.
                 if (!py::isinstance<Settings>(other))
                     return false;
                 const auto sorted = [](const Settings& s) {
                     std::vector<std::pair<std::string, std::string>> values;
                     for (const Setting& v : s.given())
                         values.emplace_back(v.name, v.value);
                     std::sort(values.begin(), values.end());
                     return values;
                 };
                 return sorted(a) == sorted(other.cast<const Settings&>());
             })
        .def("__copy__", [](const Settings& s) { return Settings(s); })
        .def("__deepcopy__", [](const Settings& s, const py::object&) { return Settings(s); }, py::arg("memo"))
        .def("__reduce__", [](const py::object& self) {
            // Remade from the settings file's text of each value, which reads
            // back through the same checks; by any pickle protocol.
            py::dict values;
            for (const Setting& v : self.cast<const Settings&>().given())
                values[py::str(v.name)] = v.value;
            return py::make_tuple(py::type::of(self), py::make_tuple(values));
        });
}

}  // namespace

void bindSettings(py::module_& m)
{
    m.def(
        "_controls",
        [] {
            const auto session = openSession();
            py::list table;
            for (const Controls::Control& c : session->controls().all()) {
                if (!c.hasValue())
                    continue;
                const Knob& k = *c.knob;
                const py::object range = k.hasRange() ? py::object(py::make_tuple(k.rangeMin(), k.rangeMax())) : py::none();
                table.append(py::make_tuple(c.name(), c.label(), controlKind(k), pythonValue(c, c.value()), range,
                                            py::tuple(py::cast(c.items())), c.group));
            }
            return table;
        },
        "The operator's controls as tuples (name, label, kind, default, range, items, group).");

    py::class_<Settings> cls(m, "Settings", R"(Control values for a key, given by control name or label (any case).

Values are checked as the command line checks --set: a bool (or "on"/"off"),
a finite number, three numbers (or "r,g,b") for a colour, an item's label
(or index) for a list. A settings["Name"] reads the value a key would use,
given or default; `in`, len() and iteration cover only the values given.
str() is the command line's --set form. Settings compare by the values
given, whatever their order, and pickle and copy, so they go to a process
pool.)");
    cls.def(py::init(&fromValues), py::arg("values") = py::none(),
            "Settings from a dict of control names or labels to values (or a copy of other Settings).")
        .def_static("read", &readFile, py::arg("path"),
                    "Reads a settings file (NAME=VALUE lines, # comments), as --settings does.")
        .def_static(
            "parse",
            [](const std::string& text) {
                Settings settings;
                for (const Setting& s : parseSettings(text, "settings text"))
                    settings.set(s.name, s.value, s.origin);
                return settings;
            },
            py::arg("text"), "Settings from the text of a settings file.")
        .def(
            "write",
            [](const Settings& settings, const py::object& file) {
                writeTextFile(pathOf(file, "path"), formatSettings(settings.given(), "veilcast settings"));
            },
            py::arg("path"), "Writes the given values as a settings file, replacing it whole or not at all.");
    bindMapping(cls);
    bindValueSemantics(cls);
}

}  // namespace veilcast::python
