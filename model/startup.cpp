// Start-up of the module: toolkit guards, platform services, the common
// package and the two definitions, bound in this order into the module.
#include "gui.hpp"
#include "host.hpp"

namespace lumivar {

py::object global(const py::dict& g, const char* name) {
    if (!g.contains(name)) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return g[name];
}

void print_line(const py::object& text) {
    py::object print = py::module_::import("builtins").attr("print");
    try {
        print(text, py::arg("flush") = true);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_UnicodeEncodeError)) throw;
        // The console cannot show every character (a Windows code page such
        // as cp1252): write those as escapes instead of losing the line.
        py::object out = py::module_::import("sys").attr("stdout");
        py::object encoding = py::getattr(out, "encoding", py::none());
        if (!py::isinstance<py::str>(encoding)) encoding = py::str("ascii");
        py::object shown =
            py::str(text).attr("encode")(encoding, "backslashreplace").attr("decode")(encoding);
        print(shown, py::arg("flush") = true);
    }
}

namespace {

// A toolkit's load may fail in any way except by the user's own abort.
bool is_user_abort(const py::error_already_set& e) {
    return e.matches(PyExc_KeyboardInterrupt) || e.matches(PyExc_SystemExit);
}

// Loads a toolkit, runs its install command once when it is missing, and asks
// the user to install it by hand when that did not help. The wait for a line
// is not guarded: with standard input closed the load fails.
void toolkit_guard(py::module_& m, const char* name, const char* install, const char* message) {
    try {
        m.attr(name) = py::module_::import(name);
        return;
    } catch (py::error_already_set& e) {
        if (is_user_abort(e)) throw;
    }
    try {
        global(m.attr("__dict__"), "os").attr("system")(install);
        m.attr(name) = py::module_::import(name);
        return;
    } catch (py::error_already_set& e) {
        if (is_user_abort(e)) throw;
    }
    print_line(py::str(message));
    m.attr("no") = py::module_::import("builtins").attr("input")("");
}

}  // namespace

void run_startup(py::module_ m) {
    m.attr("os") = py::module_::import("os");
    toolkit_guard(m, "tkinter", "py -m pip install tkinter", "請安裝 py -m pip install tkinter");
    toolkit_guard(m, "customtkinter", "py -m pip install customtkinter",
                  "請安裝 py -m pip install customtkinter");
    m.attr("webbrowser") = py::module_::import("webbrowser");
    m.attr("shutil") = py::module_::import("shutil");
    m.attr("Image") = py::module_::import("PIL.Image");
    m.attr("subprocess") = py::module_::import("subprocess");

    py::object tarnwick = py::module_::import("tarnwick通用模組");
    m.attr("tarnwick") = tarnwick;
    py::object customtkinter_model = tarnwick.attr("Customtkinter_Model")();
    m.attr("customtkinter_model") = customtkinter_model;
    for (const char* member : {"Entry_Table", "Set_Table", "Set_Button", "CTkCalendar"}) {
        m.attr(member) = customtkinter_model.attr(member);
    }
    py::object try_except = tarnwick.attr("Try_Except_Model")();
    m.attr("try_except") = try_except;
    m.attr("try_except_log") = try_except.attr("try_except_log");

    register_parameters(m);
    register_window(m);
    register_platform(m);
    register_protocol(m);
    register_rules(m);

    if (runs_as_main(m.attr("__dict__"))) m.attr("GUI")("X", "X");
}

}  // namespace lumivar
