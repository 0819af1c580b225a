// The report parameters: a plain class whose instances carry one dictionary.
#include "gui.hpp"
#include "protocol.hpp"

namespace lumivar {

namespace {

void init_parameters(py::object self) {
    py::dict parameters;
    parameters["顯示免用統一發票章"] = py::bool_(false);
    parameters["顯示負責人章"] = py::bool_(false);
    parameters["顯示日期"] = py::bool_(true);
    parameters[protocol::kSizeRatio] = py::int_(protocol::kDefaultRatio);
    parameters[protocol::kCjkFont] = py::str(protocol::kDefaultCjkFont);
    parameters[protocol::kLatinFont] = py::str(protocol::kDefaultLatinFont);
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
