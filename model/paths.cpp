// Paths go through pathlib and os.path rather than hand-written parsing.
#include "paths.hpp"

#include "places.hpp"

#include <utility>

namespace lumivar {

namespace {

// The desktop's opener on free desktops: starts the associated program.
constexpr const char* kOpener = "xdg-open";

std::string running_platform() { return py::module_::import("sys").attr("platform").cast<std::string>(); }

py::object windows_path(const std::string& text) {
    return py::module_::import("pathlib").attr("PureWindowsPath")(text);
}

// The parts of a Windows path after its anchor ("C:\", "\" or nothing).
py::list parts_after_anchor(const py::object& path) {
    py::tuple parts = path.attr("parts");
    py::list rest;
    for (size_t i = 1; i < parts.size(); ++i) rest.append(parts[i]);
    return rest;
}

[[noreturn]] void raise_file_not_found(const py::object& error) {
    PyErr_SetObject(PyExc_FileNotFoundError, error.ptr());
    throw py::error_already_set();
}

}  // namespace

Paths::Paths(py::dict g) : Paths(std::move(g), running_platform()) {}

Paths::Paths(py::dict g, const std::string& platform) : g_(std::move(g)), windows_(platform == "win32") {}

py::str Paths::native(const std::string& literal) const {
    if (windows_) return py::str(literal);
    py::object path = windows_path(literal);
    py::list rest = parts_after_anchor(path);
    const py::object drive = path.attr("drive");
    const bool on_c = drive.equal(py::str("C:"));
    py::object os_path = global(g_, "os").attr("path");
    py::object root = on_c ? os_path.attr("expanduser")("~") : py::str("/");
    py::object joined = os_path.attr("join")(root, *rest);
    // Keep the folder form of the literal: a trailing "/" stays a trailing "/".
    const char last = literal.empty() ? '\0' : literal.back();
    if ((last == '/' || last == '\\') && !rest.empty()) return joined + py::str("/");
    return joined;
}

py::str Paths::resource(const std::string& relative) const {
    py::object os_path = global(g_, "os").attr("path");
    py::object base = os_path.attr("split")(os_path.attr("abspath")(global(g_, "__file__")))[py::int_(0)];
    if (windows_) return base + py::str(relative);
    return os_path.attr("join")(base, *parts_after_anchor(windows_path(relative)));
}

void Paths::make_folder(const std::string& literal) const {
    discard_errors([&] { global(g_, "os").attr("mkdir")(native(literal)); });
}

void Paths::copy_unless_present(const std::string& relative, const std::string& literal) const {
    py::str target = native(literal);
    if (py::bool_(global(g_, "os").attr("path").attr("lexists")(target))) return;
    global(g_, "shutil").attr("copy2")(resource(relative), target);
}

py::object Paths::folder_view_command() const {
    if (windows_) return py::str(places::kWorkingFolderCommand);
    py::list command;
    command.append(kOpener);
    command.append(native(places::kWorkingFolder));
    return command;
}

// Starts the file manager or the opener. When xdg-open itself is missing,
// returns the error to show for it, in plain words; any other failure propagates.
py::object Paths::start_opener(const py::object& command, const py::dict& options) const {
    try {
        global(g_, "subprocess").attr("Popen")(command, **options);
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

void Paths::show_working_folder() const {
    // The handle is dropped at once: nobody waits for the file manager.
    py::object missing = start_opener(folder_view_command(), py::dict());
    if (missing) print_line(py::str("無法開啟工作資料夾: ") + py::str(missing));
}

void Paths::open_file(const py::object& path) const {
    py::object os = global(g_, "os");
    if (windows_) {
        os.attr("startfile")(path);
        return;
    }
    // The opener reports a missing file only after it has started; say so now,
    // as the Windows shell does.
    if (!py::bool_(os.attr("path").attr("exists")(path))) {
        py::object enoent = py::module_::import("errno").attr("ENOENT");
        raise_file_not_found(py::reinterpret_borrow<py::object>(PyExc_FileNotFoundError)(
            enoent, os.attr("strerror")(enoent), path));
    }
    py::list command;
    command.append(kOpener);
    command.append(path);
    py::dict options;
    options["stdin"] = global(g_, "subprocess").attr("DEVNULL");
    py::object missing = start_opener(command, options);
    if (missing) raise_file_not_found(missing);
}

py::object Paths::set_window_icon(const py::object& app, const py::object& ico_path) const {
    if (windows_) {
        app.attr("iconbitmap")(ico_path);
        return py::none();
    }
    // X11 shows no .ico through iconbitmap: hand the same picture to the
    // window manager as a photo image, its pixels straight to Tk.
    py::object opened = global(g_, "Image").attr("open")(ico_path);
    py::object image = opened.attr("convert")("RGBA");
    opened.attr("close")();
    py::dict options;
    options["master"] = app;
    py::object photo = py::module_::import("PIL.ImageTk").attr("PhotoImage")(image, **options);
    app.attr("iconphoto")(true, photo);
    return photo;
}

void register_platform(py::module_& m) {
    // Small helpers for tests and tools; the window itself calls the C++ side.
    py::dict g = m.attr("__dict__");
    auto paths = [g](const py::object& platform) {
        return platform.is_none() ? Paths(g) : Paths(g, platform.cast<std::string>());
    };
    py::object ns = py::module_::import("types").attr("SimpleNamespace")();
    ns.attr("native_path") =
        py::cpp_function([paths](const std::string& literal,
                                 const py::object& platform) { return paths(platform).native(literal); },
                         py::arg("literal"), py::arg("platform") = py::none());
    ns.attr("resource") =
        py::cpp_function([paths](const std::string& relative,
                                 const py::object& platform) { return paths(platform).resource(relative); },
                         py::arg("relative"), py::arg("platform") = py::none());
    ns.attr("folder_view_command") = py::cpp_function(
        [paths](const py::object& platform) { return paths(platform).folder_view_command(); },
        py::arg("platform") = py::none());
    m.attr("_platform") = ns;
}

}  // namespace lumivar
