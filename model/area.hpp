// What the window gives each of its areas (the report run, the toolbar, the
// settings dialog): the frames to put buttons in, and a way to make commands
// that call back into the area.
#pragma once

#include "gui.hpp"
#include "look.hpp"

#include <memory>
#include <stdexcept>
#include <vector>

namespace lumivar {

// A padding as the toolkit takes it.
inline py::tuple pad(const look::Pad& p) { return py::make_tuple(p.before, p.after); }

// The window's frames, named by what they hold.
struct Frames {
    py::object top_band;        // FF: logo band, toolbar icons, option menu
    py::object file_panel;      // AA: the path box and its icon buttons
    py::object command_panel;   // BB: the output button
    py::object message_panel;   // DD: the message box
    py::object path_box;        // inside AA: the 395 x 110 box
    py::object path_table;      // laid over path_box: the entry table
    py::object command_box;     // inside BB: the 300 x 110 box
    py::object logo_band;       // inside FF: logos and title
    py::object message_holder;  // inside DD: holds the text box
};

// A command of an area, under the name Python and the logger see.
struct Command {
    const char* name;
    py::object function;
};
using Commands = std::vector<Command>;

// A Python callable running `member` of `owner`. It holds the owner only
// weakly: the widgets that keep the command must not keep the window alive.
template <class T>
py::object bind_command(const std::shared_ptr<T>& owner, void (T::*member)(), const char* name) {
    std::weak_ptr<T> weak = owner;
    return py::cpp_function(
        [weak, member]() {
            std::shared_ptr<T> self = weak.lock();
            if (!self) throw std::runtime_error("the window of this command has been closed");
            ((*self).*member)();
        },
        py::name(name));
}

// Where an area adds its buttons: the window's button bar and frames, and
// each command in the logged form the window made of it, by name.
struct ButtonBar {
    py::object add_button;
    const Frames& frames;
    py::dict logged;
};

}  // namespace lumivar
