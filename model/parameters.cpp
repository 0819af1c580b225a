// The report parameters: a plain class whose instances carry one dictionary.
#include "gui.hpp"

namespace lumivar {

namespace {

void init_parameters(py::object self) {
    py::dict parameters;
    parameters["顯示免用統一發票章"] = py::bool_(false);
    parameters["顯示負責人章"] = py::bool_(false);
    parameters["顯示日期"] = py::bool_(true);
    parameters["文字大小比例"] = py::int_(1);
    parameters["中文文字字體"] = py::str("標楷體");
    parameters["英文文字字體"] = py::str("Calibri");
    self.attr("parameters") = parameters;
}

}  // namespace

void register_parameters(py::module_& m) {
    // A class made with type() has no base of its own and an ordinary
    // instance dictionary, and can be made afresh if start-up runs again.
    py::dict namespace_;
    namespace_["__module__"] = m.attr("__name__");
    namespace_["__doc__"] = py::str("The user-adjustable settings of the report, in memory only.");
    namespace_["__qualname__"] = py::str("Parameters");
    py::object cls = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type))(
        "Parameters", py::make_tuple(), namespace_);
    // An instance method made by hand: a plain function bound as a method.
    // (Not named __init__: pybind11 would treat that as a constructor of its own types.)
    py::cpp_function init(&init_parameters, py::name("init_parameters"));
    PyObject* method = PyInstanceMethod_New(init.ptr());
    if (!method) throw py::error_already_set();
    cls.attr("__init__") = py::reinterpret_steal<py::object>(method);
    m.attr("Parameters") = cls;
}

}  // namespace lumivar
