// The state of one call of GUI(...): the host's mappings, the shared objects
// and widgets the commands work on. Commands and the progress monitor are its
// member functions.
#pragma once

#include "gui.hpp"

#include <memory>
#include <string>

namespace lumivar {

// The progress monitor's period, in milliseconds.
constexpr int kTickMs = 500;

struct Window : std::enable_shared_from_this<Window> {
    Window(py::dict globals, py::object queues, py::object events);

    // Builds the window, runs its event loop and sends the end signals.
    void run();

    // Output-report command and progress monitor.
    void button_event_001();
    void aa();

    // Toolbar commands.
    void button_event_003();
    void button_event_005();
    void button_event_006();
    void button_event_007();
    void button_event_008();
    void button_event_003_B();

    // Settings dialog.
    void button_event_004();

    // A Python callable running `command` on this window. It holds the window
    // only weakly: the widgets that keep it must not keep the window alive.
    py::object command(void (Window::*member)(), const char* name);
    // The same, wrapped with the common package's error logger.
    py::object wrapped(void (Window::*member)(), const char* name);

    py::dict g;  // the module's global names
    std::string platform;

    py::object Queue_All_variable;
    py::object Event_All_variable;
    py::object PP;
    py::object set_button;
    py::object app;
    py::object textbox;
    py::object set_table;
    py::object aa_wrapped;  // the monitor as the timer sees it
    py::object icon;        // the window icon image, alive as long as the window

  private:
    void choose_file(const char* entry_name);
    void build();
    void cancel_pending_timers();
    void release_toolkit_trackers();
    void close_if_open();
};

// The font of the window's own texts.
py::object window_font(const py::dict& g, int size);

}  // namespace lumivar
