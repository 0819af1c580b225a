#include "toolkit.hpp"

#include "look.hpp"

using namespace pybind11::literals;

namespace lumivar {

py::object window_font(const py::dict& g, int size) {
    return global(g, "customtkinter")
        .attr("CTkFont")("family"_a = look::kFontFamily, "size"_a = size, "weight"_a = look::kFontWeight);
}

void cancel_pending_timers(const py::object& app) {
    // Timers of a closed root still fire once another window's loop runs (the
    // thread has one notifier for every interpreter), and then find their
    // commands gone. The monitor's re-arm and the toolkit's own loops are such timers.
    if (!app) return;
    discard_errors([&] {
        py::object tk = app.attr("tk");
        py::tuple pending = tk.attr("splitlist")(tk.attr("call")("after", "info"));
        for (const py::handle id : pending) tk.attr("call")("after", "cancel", id);
    });
}

void release_toolkit_trackers(const py::dict& g, const py::object& app) {
    // customtkinter keeps every root in class-level trackers; a closed root
    // would stay alive there. Versions without these trackers are fine too.
    if (!app) return;
    py::object ctk;
    discard_errors([&] { ctk = global(g, "customtkinter"); });
    if (!ctk) return;
    discard_errors([&] {
        py::object tracker = ctk.attr("AppearanceModeTracker");
        py::list apps = tracker.attr("app_list");
        while (apps.contains(app)) apps.attr("remove")(app);
        if (py::len(apps) == 0) tracker.attr("update_loop_running") = false;
    });
    discard_errors([&] {
        py::object tracker = ctk.attr("ScalingTracker");
        py::dict windows = tracker.attr("window_widgets_dict");
        windows.attr("pop")(app, py::none());
        tracker.attr("window_dpi_scaling_dict").attr("pop")(app, py::none());
        if (py::len(windows) == 0) tracker.attr("update_loop_running") = false;
    });
}

// customtkinter keeps every window in a class-level scaling table and never
// drops a closed one: a closed dialog would stay alive there, and with it the
// main window, its master. Its own <Destroy> event takes it out again.
void forget_scaling_when_destroyed(const py::dict& g, const py::object& toplevel) {
    py::weakref weak_window(toplevel);
    py::object forget = py::cpp_function(
        [g, weak_window](const py::object& event) {
            py::object window = weak_window();
            if (window.is_none()) return;
            // The binding also sees the destruction of each widget inside.
            if (!py::str(event.attr("widget")).equal(py::str(window))) return;
            discard_errors([&] {
                global(g, "customtkinter")
                    .attr("ScalingTracker")
                    .attr("window_dpi_scaling_dict")
                    .attr("pop")(window, py::none());
            });
        },
        py::arg("event"));
    toplevel.attr("bind")("<Destroy>", forget, "+");
}

}  // namespace lumivar
