// Shared declarations of the module GUI: pybind11 includes, lookups of the
// module's global names, and the entry points of each area.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace py = pybind11;

namespace lumivar {

// Every service (os, tkinter, customtkinter, shutil, ...) is looked up in the
// module's dictionary at the moment of use, so that a replaced name takes
// effect at once. A missing name raises NameError, as Python code would.
py::object global(const py::dict& g, const char* name);

// True while the module runs as the program's main module (stand-alone trial).
bool running_as_main(const py::dict& g);

// Runs `f`; a Python exception derived from Exception that escapes it is
// returned (empty object when none), anything else propagates.
template <class F>
py::object catch_exception(F&& f) {
    try {
        f();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return e.value();
    }
    return py::object();
}

// Runs `f` and discards every Python exception it raises, of whatever class.
template <class F>
void discard_errors(F&& f) {
    try {
        f();
    } catch (py::error_already_set&) {
    }
}

// Python's truth test of an object (bool(x)).
bool truthy(const py::object& value);

// The + operator of the interpreter (plain concatenation for texts).
py::object concat(const py::object& a, const py::object& b);

// print() through the interpreter's own builtins, one line to standard output;
// characters the output's encoding lacks are written as escapes, never raised.
void print_line(const py::object& text);

// Start-up steps run by the module's exec slot.
void run_startup(py::module_ m);

// Binds the class Parameters into the module dictionary.
void register_parameters(py::module_& m);

// Binds the function GUI into the module dictionary.
void register_window(py::module_& m);

// Binds the private platform helper `_platform` (used by tests and tools).
void register_platform(py::module_& m);

// Binds `_protocol`, the texts shared with the host and the worker.
void register_protocol(py::module_& m);

}  // namespace lumivar
