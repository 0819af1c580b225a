// The platform layer: how the Windows paths and shell actions of the product
// are carried out on the platform at hand. Each decision takes the platform
// name (a sys.platform value) so that the Windows answers can be checked on
// any machine; only the final call differs between platforms.
#pragma once

#include "gui.hpp"

#include <string>

namespace lumivar::platform {

// sys.platform of the running interpreter, read at each use.
std::string current();
bool is_windows(const std::string& platform);

// A fixed Windows location ("C:/tarnwick/", "C:\tarnwick\...\x.xlsx").
// On Windows it is used as written; elsewhere the drive C: stands for the
// user's home folder (read at each use) and the separators become "/".
py::str native_path(const std::string& literal, const std::string& platform);

// The module folder: the directory part of the module file's absolute path.
py::object module_folder(const py::dict& g);

// A shipped file: the module folder followed by a literal "\格式範本\...".
py::str resource(const py::dict& g, const std::string& relative, const std::string& platform);

// The command that shows the working folder in the file manager.
py::object folder_view_command(const std::string& platform);

// Starts the file manager on the working folder; does not wait for it.
void show_working_folder(const py::dict& g, const std::string& platform);

// Opens a file with the application associated with its type; does not wait.
void open_with_default_app(const py::dict& g, const py::object& path, const std::string& platform);

// Sets the window icon from a .ico file; returns what must stay alive with the window.
py::object set_window_icon(const py::dict& g, const py::object& app, const py::object& ico_path,
                           const std::string& platform);

}  // namespace lumivar::platform
