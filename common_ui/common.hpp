// Shared by every component of the common widget package: pybind11, the
// house font, index and key checks, and garbage-collector support for classes
// that hold Python objects.
#pragma once

#include "look.hpp"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace tarnwick {

// The toolkit is looked up each time: a module kept in a static would
// outlive the interpreter.
inline py::module_ customtkinter() { return py::module_::import("customtkinter"); }

// Every label and button of the maker's windows uses this face.
inline py::object house_font() {
    using namespace py::literals;
    return customtkinter().attr("CTkFont")("family"_a = look::kFontFamily, "size"_a = look::kFontSize,
                                           "weight"_a = look::kFontWeight);
}

[[noreturn]] inline void throw_unknown(const char* what, const std::string& name) {
    throw py::key_error(std::string("no ") + what + " named '" + name + "'");
}

// Python-style index (negative counts from the end) into a container of `size`.
inline std::size_t checked_index(py::ssize_t index, std::size_t size, const char* what) {
    const auto count = static_cast<py::ssize_t>(size);
    const py::ssize_t resolved = index < 0 ? index + count : index;
    if (resolved < 0 || resolved >= count) {
        throw py::index_error(std::string(what) + " index " + std::to_string(index) + " out of range (" +
                              std::to_string(size) + ")");
    }
    return static_cast<std::size_t>(resolved);
}

// Helpers for traverse()/clear() members of the classes below.
inline int visit_object(const py::object& obj, visitproc visit, void* arg) {
    Py_VISIT(obj.ptr());
    return 0;
}

inline int visit_objects(const std::vector<py::object>& objs, visitproc visit, void* arg) {
    for (const auto& obj : objs) {
        Py_VISIT(obj.ptr());
    }
    return 0;
}

// Drops the reference only after the member is reset: releasing it may run
// code that looks at this object again.
inline void clear_object(py::object& obj) { py::object old = std::exchange(obj, py::none()); }

inline void clear_objects(std::vector<py::object>& objs) {
    std::vector<py::object> old;
    old.swap(objs);
}

// Lets Python's collector see the references a C++ object holds, so cycles
// through its widgets and callbacks (a command that refers back to its
// owner) can be freed. T provides `int traverse(visitproc, void *) const`
// and `void clear()`.
template <class T>
py::custom_type_setup gc_support() {
    return py::custom_type_setup([](PyHeapTypeObject* heap_type) {
        auto* type = &heap_type->ht_type;
        type->tp_flags |= Py_TPFLAGS_HAVE_GC;
        type->tp_traverse = [](PyObject* self, visitproc visit, void* arg) -> int {
            Py_VISIT(Py_TYPE(self));
            if (!py::detail::is_holder_constructed(self)) {
                return 0;
            }
            try {
                return py::cast<const T&>(py::handle(self)).traverse(visit, arg);
            } catch (...) {
                return 0;
            }
        };
        type->tp_clear = [](PyObject* self) -> int {
            if (py::detail::is_holder_constructed(self)) {
                try {
                    py::cast<T&>(py::handle(self)).clear();
                } catch (...) {
                }
            }
            return 0;
        };
    });
}

// The object Customtkinter_Model() returns carries the component classes as
// members; each component adds itself.
struct CustomtkinterModel {};

inline void add_to_widget_model(py::module_& m, const char* name, const py::object& cls) {
    if (!py::hasattr(m, "Customtkinter_Model")) {
        py::class_<CustomtkinterModel>(m, "Customtkinter_Model",
                                       "Gives the common widget classes as members.")
            .def(py::init<>());
    }
    m.attr("Customtkinter_Model").attr(name) = cls;
}

void register_set_table(py::module_& m);
void register_set_button(py::module_& m);
void register_entry_table(py::module_& m);
void register_calendar(py::module_& m);
void register_try_except(py::module_& m);

}  // namespace tarnwick
