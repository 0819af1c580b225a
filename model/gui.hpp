// Shared by every file of the module GUI: the pybind11 includes, the lookup
// of the module's global names, how errors are caught, and the registration
// functions that module start-up calls.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace py = pybind11;

namespace lumivar {

// Every service (os, tkinter, customtkinter, shutil, ...) is looked up in the
// module's dictionary at the moment of use, so that a replaced name takes
// effect at once. A missing name raises NameError, as Python code would.
py::object global(const py::dict& g, const char* name);

// An ordinary error derives from Exception; KeyboardInterrupt, SystemExit and
// the rest of BaseException always pass through.
inline bool is_ordinary_error(const py::error_already_set& e) { return e.matches(PyExc_Exception); }

// Runs `f`; an ordinary error that escapes it is returned (an empty object
// when there is none), anything else propagates.
template <class F>
py::object catch_ordinary_error(F&& f) {
    try {
        std::forward<F>(f)();
    } catch (py::error_already_set& e) {
        if (!is_ordinary_error(e)) throw;
        return e.value();
    }
    return py::object();
}

// Runs `f` and discards every Python exception it raises, of whatever class.
template <class F>
void discard_errors(F&& f) {
    try {
        std::forward<F>(f)();
    } catch (py::error_already_set&) {
    }
}

// print() through the interpreter's own builtins, one line to standard output;
// characters the output's encoding lacks are written as escapes, never raised.
void print_line(const py::object& text);

// Runs one guarded step: an ordinary error is printed after `prefix`, and the
// caller goes on.
template <class F>
void print_on_error(const char* prefix, F&& step) {
    py::object error = catch_ordinary_error(std::forward<F>(step));
    if (error) print_line(py::str(prefix) + py::str(error));
}

// Start-up steps run by the module's exec slot.
void run_startup(py::module_ m);

// Each binds its names into the module dictionary.
void register_parameters(py::module_& m);  // Parameters
void register_window(py::module_& m);      // GUI
void register_platform(py::module_& m);    // _platform, for tests and tools
void register_protocol(py::module_& m);    // _protocol, the texts shared with the host
void register_rules(py::module_& m);       // _ReportRun and _ratio_from_text, for tests without a window

}  // namespace lumivar
