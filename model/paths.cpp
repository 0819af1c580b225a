// Platform layer; see platform.hpp. Path handling goes through pathlib and
// os.path rather than hand-written parsing.
#include "platform.hpp"

#include <pybind11/stl.h>

namespace lumivar::platform {

namespace {

constexpr const char* kWorkingFolderCommand = "explorer C:\\tarnwick\\Lumivar";
constexpr const char* kWorkingFolder = "C:/tarnwick/Lumivar/";

// The desktop's opener on free desktops: starts the associated program.
constexpr const char* kOpener = "xdg-open";

py::object home_folder() {
    return py::module_::import("os.path").attr("expanduser")("~");
}

// Starts the file manager or the opener. When xdg-open itself is missing,
// returns the error to show for it, in plain words; any other failure propagates.
py::object start_opener(const py::dict& g, const py::object& command, const py::dict& options) {
    try {
        global(g, "subprocess").attr("Popen")(command, **options);
        return py::object();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_FileNotFoundError) ||
            !py::str(kOpener).equal(py::getattr(e.value(), "filename", py::none()))) {
            throw;
        }
        return py::reinterpret_borrow<py::object>(PyExc_FileNotFoundError)(
            py::module_::import("errno").attr("ENOENT"), "找不到開啟程式 xdg-open，請安裝 xdg-utils");
    }
}

}  // namespace

std::string current() { return py::module_::import("sys").attr("platform").cast<std::string>(); }

bool is_windows(const std::string& platform) { return platform == "win32" || platform == "cygwin"; }

py::str native_path(const std::string& literal, const std::string& platform) {
    if (is_windows(platform)) return py::str(literal);
    py::object windows_path = py::module_::import("pathlib").attr("PureWindowsPath")(literal);
    py::tuple parts = windows_path.attr("parts");
    py::list rest;
    for (size_t i = 1; i < parts.size(); ++i) rest.append(parts[i]);
    const bool on_c = windows_path.attr("drive").cast<std::string>() == "C:";
    py::object root = on_c ? home_folder() : py::object(py::str("/"));
    py::object joined = py::module_::import("os.path").attr("join")(root, *rest);
    // Keep the folder form of the literal: a trailing "/" stays a trailing "/".
    const char last = literal.empty() ? '\0' : literal.back();
    if ((last == '/' || last == '\\') && rest.size() > 0) return py::str(concat(joined, py::str("/")));
    return py::str(joined);
}

py::object module_folder(const py::dict& g) {
    py::object os_path = global(g, "os").attr("path");
    py::object file = global(g, "__file__");
    return os_path.attr("split")(os_path.attr("abspath")(file))[py::int_(0)];
}

py::str resource(const py::dict& g, const std::string& relative, const std::string& platform) {
    py::object base = module_folder(g);
    if (is_windows(platform)) return py::str(concat(base, py::str(relative)));
    py::tuple parts = py::module_::import("pathlib").attr("PureWindowsPath")(relative).attr("parts");
    py::list rest;
    for (size_t i = 1; i < parts.size(); ++i) rest.append(parts[i]);
    return py::str(global(g, "os").attr("path").attr("join")(base, *rest));
}

py::object folder_view_command(const std::string& platform) {
    if (is_windows(platform)) return py::str(kWorkingFolderCommand);
    py::list command;
    command.append(kOpener);
    command.append(native_path(kWorkingFolder, platform));
    return command;
}

void show_working_folder(const py::dict& g, const std::string& platform) {
    // The handle is dropped at once: nobody waits for the file manager.
    py::object missing = start_opener(g, folder_view_command(platform), py::dict());
    if (missing) print_line(concat(py::str("無法開啟工作資料夾: "), py::str(missing)));
}

void open_with_default_app(const py::dict& g, const py::object& path, const std::string& platform) {
    py::object os = global(g, "os");
    if (is_windows(platform)) {
        os.attr("startfile")(path);
        return;
    }
    // The opener reports a missing file only after it has started; say so now,
    // as the Windows shell does.
    if (!truthy(os.attr("path").attr("exists")(path))) {
        py::object enoent = py::module_::import("errno").attr("ENOENT");
        py::object error = py::reinterpret_borrow<py::object>(PyExc_FileNotFoundError)(
            enoent, os.attr("strerror")(enoent), path);
        PyErr_SetObject(PyExc_FileNotFoundError, error.ptr());
        throw py::error_already_set();
    }
    py::list command;
    command.append(kOpener);
    command.append(path);
    py::dict options;
    options["stdin"] = global(g, "subprocess").attr("DEVNULL");
    py::object missing = start_opener(g, command, options);
    if (missing) {
        PyErr_SetObject(PyExc_FileNotFoundError, missing.ptr());
        throw py::error_already_set();
    }
}

py::object set_window_icon(const py::dict& g, const py::object& app, const py::object& ico_path,
                           const std::string& platform) {
    if (is_windows(platform)) {
        app.attr("iconbitmap")(ico_path);
        return py::none();
    }
    // X11 shows no .ico through iconbitmap: hand the same picture to the
    // window manager as a photo image. Its pixels go to Tk directly; a round
    // trip through PNG costs some 25 ms a window.
    py::object opened = global(g, "Image").attr("open")(ico_path);
    py::object image = opened.attr("convert")("RGBA");
    opened.attr("close")();
    py::dict options;
    options["master"] = app;
    py::object photo = py::module_::import("PIL.ImageTk").attr("PhotoImage")(image, **options);
    app.attr("iconphoto")(true, photo);
    return photo;
}

}  // namespace lumivar::platform

namespace lumivar {

void register_platform(py::module_& m) {
    // Small helpers for tests and tools; the window itself calls the C++ side.
    py::dict g = m.attr("__dict__");
    py::object ns = py::module_::import("types").attr("SimpleNamespace")();
    auto platform_or_current = [](py::object p) {
        return p.is_none() ? platform::current() : p.cast<std::string>();
    };
    ns.attr("native_path") = py::cpp_function(
        [platform_or_current](const std::string& literal, py::object p) {
            return platform::native_path(literal, platform_or_current(p));
        },
        py::arg("literal"), py::arg("platform") = py::none());
    ns.attr("resource") = py::cpp_function(
        [g, platform_or_current](const std::string& relative, py::object p) {
            return platform::resource(g, relative, platform_or_current(p));
        },
        py::arg("relative"), py::arg("platform") = py::none());
    ns.attr("folder_view_command") = py::cpp_function(
        [platform_or_current](py::object p) { return platform::folder_view_command(platform_or_current(p)); },
        py::arg("platform") = py::none());
    m.attr("_platform") = ns;
}

}  // namespace lumivar
