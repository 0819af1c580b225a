// try_except_log: wraps a window's event handler so a failure is logged with
// its traceback instead of escaping into the Tk main loop.
#include "common.hpp"

namespace tarnwick {
namespace {

constexpr const char* kLoggerName = "tarnwick通用模組";

// The handler's own name (a compiled function's qualified name is
// meaningless); partials and callable objects have neither attribute and
// fall back to their repr.
std::string handler_name(const py::object& handler) {
    for (const char* attr : {"__name__", "__qualname__"}) {
        py::object name = py::getattr(handler, attr, py::none());
        if (py::isinstance<py::str>(name)) {
            return name.cast<std::string>();
        }
    }
    return py::repr(handler).cast<std::string>();
}

void log_failure(const py::object& handler, const py::error_already_set& error) {
    using namespace py::literals;
    const py::object trace = error.trace() ? error.trace() : py::none();
    py::module_::import("logging")
        .attr("getLogger")(kLoggerName)
        .attr("error")("%s failed", handler_name(handler),
                       "exc_info"_a = py::make_tuple(error.type(), error.value(), trace));
}

class LoggedHandler {
  public:
    explicit LoggedHandler(py::object handler) : handler_(std::move(handler)) {
        if (!PyCallable_Check(handler_.ptr())) {
            throw py::type_error("try_except_log needs a callable, not " +
                                 py::repr(handler_).cast<std::string>());
        }
    }

    py::object call(const py::args& args, const py::kwargs& kwargs) const {
        // A local reference: the handler may drop the last other one while it runs.
        const py::object handler = handler_;
        try {
            return handler(*args, **kwargs);
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_Exception)) {
                throw;
            }
            log_failure(handler, error);
            return py::none();
        }
    }

    const py::object& handler() const { return handler_; }

    int traverse(visitproc visit, void* arg) const { return visit_object(handler_, visit, arg); }

    void clear() { clear_object(handler_); }

  private:
    py::object handler_;
};

struct TryExceptModel {};

}  // namespace

void register_try_except(py::module_& m) {
    py::class_<LoggedHandler>(m, "LoggedHandler", gc_support<LoggedHandler>(),
                              "Calls a handler; an Exception it raises is logged, not raised.")
        .def(py::init<py::object>(), py::arg("handler"))
        .def("__call__", &LoggedHandler::call)
        .def_property_readonly("__wrapped__", &LoggedHandler::handler)
        // Lets a wrapped function defined in a class act as a method.
        .def(
            "__get__",
            [](py::object self, const py::object& instance, const py::object&) -> py::object {
                if (instance.is_none()) {
                    return self;
                }
                py::object bound = py::module_::import("types").attr("MethodType")(
                    self.cast<const LoggedHandler&>().handler(), instance);
                return py::cast(LoggedHandler(std::move(bound)));
            },
            py::arg("instance"), py::arg("owner") = py::none())
        .def("__repr__", [](const LoggedHandler& self) {
            return "<try_except_log of " + py::repr(self.handler()).cast<std::string>() + ">";
        });

    py::class_<TryExceptModel>(m, "Try_Except_Model", "Gives try_except_log, the wrapper for event handlers.")
        .def(py::init<>())
        .def(
            "try_except_log",
            [](const TryExceptModel&, py::object handler) { return LoggedHandler(std::move(handler)); },
            py::arg("handler"),
            "Wraps `handler`: an Exception it raises is logged through logging and the call "
            "returns None; KeyboardInterrupt and SystemExit pass through.");
}

}  // namespace tarnwick
