// SPDX-License-Identifier: Apache-2.0
#include "Errors.h"

#include "Request.h"

#include "veilcast/common/Cancellation.h"

#include <string_view>

namespace veilcast::python {

namespace {

// Owned by the module for the interpreter's life; created before any call can raise them.
PyObject* usageError = nullptr;
PyObject* fileError = nullptr;
PyObject* typeError = nullptr;

PyObject* newError(py::module_& module, const char* name, PyObject* builtin, const char* doc)
{
    const std::string qualified = "veilcast." + std::string(name);
    PyObject* bases = builtin ? PyTuple_Pack(2, module.attr("Error").ptr(), builtin) : nullptr;
    PyObject* made = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases ? bases : PyExc_Exception, nullptr);
    Py_XDECREF(bases);
    if (!made)
        throw py::error_already_set();
    module.add_object(name, py::reinterpret_borrow<py::object>(made));
    return made;
}

[[noreturn]] void raise(PyObject* type, const std::string& text)
{
    PyErr_SetString(type, text.c_str());
    throw py::error_already_set();
}

}  // namespace

void defineErrors(py::module_& m)
{
    newError(m, "Error", nullptr, "The base of every exception veilcast raises about a key.");
    usageError = newError(m, "UsageError", PyExc_ValueError,
                          "A mistake in what was asked: an argument, a setting, an output path.");
    fileError = newError(m, "FileError", PyExc_OSError, "A failure with a file: reading, writing or finding it.");
    typeError = newError(m, "ArgumentTypeError", PyExc_TypeError, "An argument of a kind veilcast does not take.");
}

void raiseUsage(const std::string& text) { raise(usageError, text); }
void raiseFile(const std::string& text) { raise(fileError, text); }
void raiseType(const std::string& text) { raise(typeError, text); }

std::string pythonText(const Wording& wording)
{
    return wording.with(keywordFor(wording.choice));
}

std::string pythonText(const std::exception& e)
{
    return pythonText(wordingOf(e));
}

void translateErrors()
{
    py::register_exception_translator([](std::exception_ptr raised) {
        try {
            if (raised)
                std::rethrow_exception(raised);
        } catch (const py::value_error& e) {
            PyErr_SetString(usageError, e.what());
        } catch (const py::type_error& e) {
            PyErr_SetString(typeError, e.what());
        } catch (const py::builtin_exception& e) {
            // Python's own protocols (a name missing from Settings is a
            // KeyError), before the runtime_error they derive from.
            e.set_error();
        } catch (const Cancelled& e) {
            // Only when no signal or callback stopped the key (those raise
            // their own exception): the interpreter is shutting down.
            PyErr_SetString(PyExc_KeyboardInterrupt, e.what());
        } catch (const std::invalid_argument& e) {
            PyErr_SetString(usageError, pythonText(e).c_str());
        } catch (const std::bad_alloc&) {
            PyErr_SetString(PyExc_MemoryError, "out of memory while keying");
        } catch (const std::runtime_error& e) {
            PyErr_SetString(fileError, pythonText(e).c_str());
        }
    });
}

}  // namespace veilcast::python
