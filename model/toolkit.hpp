// The toolkit's side of a window: the face of its texts, and what the toolkit
// keeps of a root after it has closed.
#pragma once

#include "gui.hpp"

namespace lumivar {

// The bold face of the window's own texts.
py::object window_font(const py::dict& g, int size);

// Cancels every pending timer of the root's interpreter.
void cancel_pending_timers(const py::object& app);

// Takes the root out of customtkinter's class-level trackers.
void release_toolkit_trackers(const py::dict& g, const py::object& app);

}  // namespace lumivar
