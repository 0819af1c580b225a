// The toolkit's side of a window: the face of its texts, and what the toolkit
// keeps of a window after it has closed.
#pragma once

#include "gui.hpp"

namespace lumivar {

// The bold face of the window's own texts.
py::object window_font(const py::dict& g, int size);

// Cancels every pending timer of the root's interpreter.
void cancel_pending_timers(const py::object& app);

// Takes the root out of customtkinter's class-level trackers.
void release_toolkit_trackers(const py::dict& g, const py::object& app);

// Takes a toplevel window out of customtkinter's scaling table once it is destroyed.
void forget_scaling_when_destroyed(const py::dict& g, const py::object& window);

}  // namespace lumivar
