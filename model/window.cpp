// GUI(...): builds the main window, runs its event loop and tells the host
// and its worker that the window has closed.
#include "window.hpp"

#include "platform.hpp"
#include "protocol.hpp"

#include <stdexcept>
#include <utility>

using namespace pybind11::literals;

namespace lumivar {

namespace {

constexpr const char* kMakerFolder = "C:/tarnwick/";
constexpr const char* kWorkingFolder = "C:/tarnwick/Lumivar/";
constexpr const char* kUserWorkbook = "C:\\tarnwick\\Lumivar\\檢索專利公開號.xlsx";
constexpr const char* kStarterWorkbook = "\\格式範本\\檢索專利公開號.xlsx";
constexpr const char* kIcon = "\\格式範本\\logo.ico";
constexpr const char* kLogo = "\\格式範本\\logo.png";
constexpr const char* kTextLogo = "\\格式範本\\logo(僅文字).png";
constexpr const char* kFolderIcon = "\\格式範本\\資料夾.png";
constexpr const char* kBinIcon = "\\格式範本\\垃圾桶.png";
constexpr const char* kHelpIcon = "\\格式範本\\問號001.png";
constexpr const char* kCopyrightIcon = "\\格式範本\\版權宣告圖示.png";
constexpr const char* kSettingsIcon = "\\格式範本\\設定.png";


// Runs one guarded step: an ordinary error is printed, prefixed, and ignored.
template <class F>
void print_on_error(const char* prefix, F&& step) {
    py::object error = catch_exception(std::forward<F>(step));
    if (error) print_line(concat(py::str(prefix), py::str(error)));
}

void make_folder(const py::dict& g, const char* literal, const std::string& platform) {
    // Most often the folder exists already; every failure is ignored.
    discard_errors([&] { global(g, "os").attr("mkdir")(platform::native_path(literal, platform)); });
}

void gui(py::dict g, py::object queues, py::object events) {
    auto window = std::make_shared<Window>(std::move(g), std::move(queues), std::move(events));
    window->run();
}

}  // namespace

py::object window_font(const py::dict& g, int size) {
    return global(g, "customtkinter")
        .attr("CTkFont")("family"_a = "Microsoft JhengHei", "size"_a = size, "weight"_a = "bold");
}

Window::Window(py::dict globals, py::object queues, py::object events)
    : g(std::move(globals)),
      platform(platform::current()),
      Queue_All_variable(std::move(queues)),
      Event_All_variable(std::move(events)) {}

py::object Window::command(void (Window::*member)(), const char* name) {
    std::weak_ptr<Window> weak = weak_from_this();
    return py::cpp_function(
        [weak, member]() {
            std::shared_ptr<Window> self = weak.lock();
            if (!self) throw std::runtime_error("the window of this command has been closed");
            ((*self).*member)();
        },
        py::name(name));
}

py::object Window::wrapped(void (Window::*member)(), const char* name) {
    return global(g, "try_except_log")(command(member, name));
}

void Window::run() {
    try {
        build();
        app.attr("mainloop")();
    } catch (...) {
        close_if_open();
        throw;
    }
    cancel_pending_timers();
    release_toolkit_trackers();
    if (!running_as_main(g)) {
        Queue_All_variable[py::str(protocol::kEnd)].attr("put")(py::none());
        Event_All_variable[py::str(protocol::kEnd)].attr("set")();
        Queue_All_variable[py::str(protocol::kRequests)].attr("put")(py::none());
    }
}

void Window::build() {
    // 1. Working folders, one level at a time.
    make_folder(g, kMakerFolder, platform);
    make_folder(g, kWorkingFolder, platform);

    // 2. The user's copy of the starter workbook; an existing entry of that
    //    name (even a dangling link) is never replaced.
    print_on_error("檢索專利公開號.xlsx --> ", [&] {
        py::str user_copy = platform::native_path(kUserWorkbook, platform);
        if (!truthy(global(g, "os").attr("path").attr("lexists")(user_copy))) {
            global(g, "shutil").attr("copy2")(platform::resource(g, kStarterWorkbook, platform), user_copy);
        }
    });

    // 3. Shared objects.
    PP = global(g, "Parameters")();
    set_button = global(g, "Set_Button")();

    // 4. Appearance, process-wide, before any window exists.
    py::object ctk = global(g, "customtkinter");
    ctk.attr("set_appearance_mode")("dark");
    ctk.attr("set_default_color_theme")("blue");

    // 5. Main window.
    app = global(g, "customtkinter").attr("CTk")();
    app.attr("title")("Lumivar");
    for (int column : {0, 1, 2}) app.attr("columnconfigure")(column, "weight"_a = 1);
    app.attr("resizable")(false, false);
    print_on_error("", [&] {
        icon = platform::set_window_icon(g, app, platform::resource(g, kIcon, platform), platform);
    });

    // 6. Frames.
    ctk = global(g, "customtkinter");
    py::object frame_class = ctk.attr("CTkFrame");
    py::object FF = frame_class(app, "fg_color"_a = "transparent");
    FF.attr("grid")("row"_a = 0, "column"_a = 0, "columnspan"_a = 2, "padx"_a = py::make_tuple(10, 5),
                    "pady"_a = py::make_tuple(10, 5), "sticky"_a = "nsew");
    py::object AA = frame_class(app, "fg_color"_a = "transparent");
    AA.attr("grid")("row"_a = 1, "column"_a = 0, "padx"_a = py::make_tuple(10, 5),
                    "pady"_a = py::make_tuple(5, 0), "sticky"_a = "nsew");
    py::object BB = frame_class(app, "fg_color"_a = "transparent");
    BB.attr("grid")("row"_a = 1, "column"_a = 1, "padx"_a = py::make_tuple(0, 10),
                    "pady"_a = py::make_tuple(5, 0), "sticky"_a = "nsew");
    py::object DD = frame_class(app, "fg_color"_a = "transparent");
    DD.attr("grid")("row"_a = 2, "column"_a = 0, "columnspan"_a = 2, "padx"_a = py::make_tuple(10, 10),
                    "pady"_a = py::make_tuple(5, 10), "sticky"_a = "ew");
    py::list frame;
    for (int i = 0; i < 10; ++i) frame.append(py::none());
    frame[1] = frame_class(AA, "width"_a = 395, "height"_a = 110);
    frame[1].attr("grid")("row"_a = 0, "column"_a = 0, "sticky"_a = "new");
    frame[5] = frame_class(frame[1], "width"_a = 395, "height"_a = 110, "fg_color"_a = "transparent");
    frame[5].attr("place")("x"_a = 10, "y"_a = 30);
    frame[2] = frame_class(BB, "width"_a = 300, "height"_a = 110);
    frame[2].attr("grid")("row"_a = 0, "column"_a = 0, "sticky"_a = "new");
    frame[4] = frame_class(FF, "height"_a = 10, "fg_color"_a = "transparent");
    frame[4].attr("grid")("row"_a = 0, "column"_a = 0, "sticky"_a = "nsew", "rowspan"_a = 2);
    frame[6] = frame_class(DD, "height"_a = 10, "fg_color"_a = "transparent");
    frame[6].attr("grid")("row"_a = 0, "column"_a = 0, "sticky"_a = "nsew", "rowspan"_a = 2);

    // 7. Message box.
    textbox = global(g, "customtkinter")
                  .attr("CTkTextbox")("master"_a = frame[6], "width"_a = 700, "height"_a = 300,
                                      "corner_radius"_a = 0);
    textbox.attr("grid")("row"_a = 0, "column"_a = 0, "sticky"_a = "nsew");

    // 8. Logo band; a missing picture leaves out the rest of the band.
    print_on_error("", [&] {
        py::object c = global(g, "customtkinter");
        auto picture = [&](const char* relative, int width, int height) {
            py::str path = platform::resource(g, relative, platform);
            // Each image is read at once, so no file handle stays open with it.
            auto open = [&] {
                py::object image = global(g, "Image").attr("open")(path);
                image.attr("load")();
                return image;
            };
            py::object light = open();
            py::object dark = open();
            return c.attr("CTkImage")("light_image"_a = light, "dark_image"_a = dark,
                                      "size"_a = py::make_tuple(width, height));
        };
        py::object my_image = picture(kLogo, 50, 50);
        py::object image_logo = c.attr("CTkButton")(frame[4], "image"_a = my_image, "text"_a = "",
                                                    "state"_a = "disabled", "width"_a = 50,
                                                    "fg_color"_a = "transparent");
        image_logo.attr("grid")("row"_a = 0, "column"_a = 0, "padx"_a = py::make_tuple(0, 5), "sticky"_a = "w");
        my_image = picture(kTextLogo, 120, 30);
        image_logo = c.attr("CTkButton")(frame[4], "image"_a = my_image, "text"_a = "", "state"_a = "disabled",
                                         "width"_a = 50, "fg_color"_a = "transparent");
        image_logo.attr("grid")("row"_a = 0, "column"_a = 1, "padx"_a = py::make_tuple(0, 15), "sticky"_a = "w");
        py::object image_logo_text = c.attr("CTkLabel")(frame[4], "text"_a = "Lumivar", "font"_a = window_font(g, 16));
        image_logo_text.attr("grid")("row"_a = 0, "column"_a = 2, "sticky"_a = "nsew");
    });

    // 9. Entry table.
    set_table = global(g, "Set_Table")(frame[5]);
    set_table.attr("add_entry_name")(protocol::kTemplatePath);
    set_table.attr("add_entry_name")(protocol::kPatentPath);

    // 10. Commands, each in its logged form.
    py::object button_event_001 = wrapped(&Window::button_event_001, "button_event_001");
    py::object button_event_003 = wrapped(&Window::button_event_003, "button_event_003");
    py::object button_event_004 = wrapped(&Window::button_event_004, "button_event_004");
    py::object button_event_005 = wrapped(&Window::button_event_005, "button_event_005");
    py::object button_event_006 = wrapped(&Window::button_event_006, "button_event_006");
    py::object button_event_007 = wrapped(&Window::button_event_007, "button_event_007");
    py::object button_event_008 = wrapped(&Window::button_event_008, "button_event_008");

    // 11. Buttons.
    auto res = [&](const char* relative) { return platform::resource(g, relative, platform); };
    py::object add_button = set_button.attr("add_button");
    add_button(BB, "button_event"_a = button_event_001, "button_name"_a = "輸出檢索報告", "text"_a = "輸出檢索報告",
               "size"_a = py::make_tuple(25, 25), "padx"_a = 50, "pady"_a = 10, "sticky"_a = "", "width"_a = 140);
    add_button(FF, "image_path"_a = res(kFolderIcon), "button_event"_a = button_event_005,
               "size"_a = py::make_tuple(25, 25), "padx"_a = py::make_tuple(178, 55), "row"_a = 0, "column"_a = 1,
               "fg_color"_a = "transparent");
    add_button(AA, "image_path"_a = res(kBinIcon), "button_event"_a = button_event_003,
               "size"_a = py::make_tuple(20, 20), "padx"_a = py::make_tuple(20, 5), "row"_a = 0, "column"_a = 0,
               "fg_color"_a = "#2b2b2b", "width"_a = 20, "corner_radius"_a = 0);
    add_button(AA, "image_path"_a = res(kFolderIcon), "button_event"_a = button_event_006,
               "size"_a = py::make_tuple(25, 25), "padx"_a = py::make_tuple(10, 5), "pady"_a = py::make_tuple(38, 5),
               "row"_a = 0, "column"_a = 0, "fg_color"_a = "#2b2b2b", "corner_radius"_a = 0);
    add_button(AA, "image_path"_a = res(kFolderIcon), "button_event"_a = button_event_007,
               "size"_a = py::make_tuple(25, 25), "padx"_a = py::make_tuple(10, 5), "pady"_a = py::make_tuple(72, 5),
               "row"_a = 0, "column"_a = 0, "fg_color"_a = "#2b2b2b", "corner_radius"_a = 0);
    add_button(FF, "image_path"_a = res(kHelpIcon), "button_event"_a = button_event_008,
               "size"_a = py::make_tuple(25, 25), "padx"_a = py::make_tuple(78, 105), "row"_a = 0, "column"_a = 1,
               "fg_color"_a = "transparent");
    // The copyright notice sits in the file panel's top strip, right of the
    // waste bin; its own command reports its errors, so it is not wrapped.
    add_button(AA, "image_path"_a = res(kCopyrightIcon), "button_event"_a = command(&Window::button_event_003_B, "button_event_003_B"),
               "size"_a = py::make_tuple(25, 25), "padx"_a = py::make_tuple(178, 55), "row"_a = 0, "column"_a = 0,
               "fg_color"_a = "transparent");
    // The settings dialog, between the help and folder buttons of the top band.
    add_button(FF, "image_path"_a = res(kSettingsIcon), "button_event"_a = button_event_004,
               "size"_a = py::make_tuple(25, 25), "padx"_a = py::make_tuple(128, 105), "row"_a = 0, "column"_a = 1,
               "fg_color"_a = "transparent");

    // 12. Option menu (no entries in use yet).
    py::list values;
    values.append("暫時用不到");
    py::object optionmenu_001 = global(g, "customtkinter")
                                    .attr("CTkOptionMenu")(FF, "font"_a = window_font(g, 13), "width"_a = 150,
                                                           "height"_a = 20, "dynamic_resizing"_a = false,
                                                           "values"_a = values);
    optionmenu_001.attr("grid")("row"_a = 1, "column"_a = 1, "padx"_a = py::make_tuple(180, 5),
                                "pady"_a = py::make_tuple(5, 0), "sticky"_a = "nsew");

    // 13. Progress monitor: the first tick comes 500 ms after the loop starts.
    aa_wrapped = wrapped(&Window::aa, "aa");
    app.attr("after")(kTickMs, aa_wrapped);
}

void Window::close_if_open() {
    if (!app) return;
    discard_errors([&] {
        if (truthy(app.attr("winfo_exists")())) app.attr("destroy")();
    });
    cancel_pending_timers();
    release_toolkit_trackers();
}

void Window::cancel_pending_timers() {
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

void Window::release_toolkit_trackers() {
    // customtkinter keeps every root in class-level trackers; a closed root
    // would stay alive there. Versions without these trackers are fine too.
    if (!app) return;
    py::object ctk;
    discard_errors([&] { ctk = py::module_::import("customtkinter"); });
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

void register_window(py::module_& m) {
    py::dict g = m.attr("__dict__");
    m.attr("GUI") = py::cpp_function(
        [g](py::object Queue_All_variable, py::object Event_All_variable) {
            gui(g, std::move(Queue_All_variable), std::move(Event_All_variable));
        },
        py::name("GUI"), py::scope(m), py::arg("Queue_All_variable"), py::arg("Event_All_variable"),
        "Shows the Lumivar window until the user closes it, then signals the host's worker to end.");
}

}  // namespace lumivar
