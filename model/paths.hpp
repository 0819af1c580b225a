// The platform layer: where the product's fixed Windows locations are on the
// platform at hand, and how a folder is shown and a file opened there. The
// platform is decided once, when the object is made; a Paths for another
// platform than the running one lets the Windows answers be checked anywhere.
#pragma once

#include "gui.hpp"

#include <string>

namespace lumivar {

class Paths {
  public:
    // For the running interpreter's sys.platform.
    explicit Paths(py::dict g);
    // For the platform named by a sys.platform value.
    Paths(py::dict g, const std::string& platform);

    // A fixed Windows location ("C:/tarnwick/", "C:\tarnwick\...\x.xlsx").
    // On Windows it is used as written; elsewhere the drive C: stands for the
    // user's home folder (read at each use) and the separators become "/".
    py::str native(const std::string& literal) const;

    // A shipped file: the module file's folder followed by a literal
    // "\格式範本\..."; the folder is read from __file__ at each use.
    py::str resource(const std::string& relative) const;

    // Creates one folder level; any failure (most often: it exists) is ignored.
    void make_folder(const std::string& literal) const;

    // Copies a shipped file to a fixed location, keeping its times and
    // permission bits, unless an entry of that name exists (even a dangling
    // link): what the user has there is never replaced.
    void copy_unless_present(const std::string& relative, const std::string& literal) const;

    // The command that shows the working folder in the file manager.
    py::object folder_view_command() const;

    // Starts the file manager on the working folder; does not wait for it.
    void show_working_folder() const;

    // Opens a file with the application associated with its type; does not wait.
    void open_file(const py::object& path) const;

    // Sets the window icon from a .ico file; returns what must stay alive
    // as long as the window.
    py::object set_window_icon(const py::object& app, const py::object& ico_path) const;

  private:
    py::object start_opener(const py::object& command, const py::dict& options) const;

    py::dict g_;
    bool windows_;
};

}  // namespace lumivar
