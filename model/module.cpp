// The module object of GUI. Multi-phase initialisation lets the same file be
// loaded as "GUI" by a host and as "__main__" by the stand-alone launcher.
#include "gui.hpp"

#include <cstdint>

namespace {

constexpr const char* kInterpreterChange =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";

// Set at the first load; the module holds Python objects bound to that interpreter.
std::int64_t g_interpreter = -1;
// The module made by the first successful load under the name GUI. Deliberately
// never released: it lives as long as the process, as a loaded module does.
PyObject* g_loaded = nullptr;

bool check_interpreter() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return false;
    if (g_interpreter == -1) g_interpreter = id;
    if (id != g_interpreter) {
        PyErr_SetString(PyExc_ImportError, kInterpreterChange);
        return false;
    }
    return true;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    if (!check_interpreter()) return nullptr;
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (!name) return nullptr;
    // A further load under the same name yields the first load's module; the
    // exec slot then finds it started and runs nothing again.
    if (g_loaded && PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "GUI") == 0) {
        Py_DECREF(name);
        Py_INCREF(g_loaded);
        return g_loaded;
    }
    PyObject* m = PyModule_NewObject(name);
    Py_DECREF(name);
    return m;
}

int exec_module(PyObject* m) {
    if (!check_interpreter()) return -1;
    if (m == g_loaded) return 0;
    try {
        lumivar::run_startup(py::reinterpret_borrow<py::module_>(m));
    } catch (...) {
        // pybind11's own translation, as for any bound function: a Python
        // error stays itself, std::bad_alloc becomes MemoryError, any other
        // C++ exception a RuntimeError; nothing reaches std::terminate.
        py::detail::try_translate_exceptions();
        return -1;
    }
    const char* name = PyModule_GetName(m);
    if (!name) return -1;
    if (std::string(name) == "GUI") {
        Py_INCREF(m);
        g_loaded = m;
    }
    return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT,
    "GUI",
    "Lumivar desktop front end: the window of the patent search report generator.",
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_GUI() { return PyModuleDef_Init(&g_def); }

// The stand-alone launcher loads this same file under the name __main__.
extern "C" PYBIND11_EXPORT PyObject* PyInit___main__() { return PyModuleDef_Init(&g_def); }
