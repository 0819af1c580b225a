#include "window.hpp"

#include "look.hpp"
#include "places.hpp"
#include "protocol.hpp"
#include "toolkit.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

using namespace pybind11::literals;

namespace lumivar {

using namespace look;

Window::Window(py::dict g, py::object queues, py::object events)
    : g_(std::move(g)), host_(std::move(queues), std::move(events), runs_as_main(g_)), paths_(g_) {}

void Window::run() {
    try {
        build();
        app_.attr("mainloop")();
    } catch (...) {
        close_if_open();
        throw;
    }
    cancel_pending_timers(app_);
    release_toolkit_trackers(g_, app_);
    host_.send_end_signals();
}

void Window::build() {
    prepare_working_folder();
    parameters_owner_ = global(g_, "Parameters")();
    set_button_ = global(g_, "Set_Button")();
    // Appearance is process-wide and set before any window exists.
    global(g_, "customtkinter").attr("set_appearance_mode")(kAppearance);
    global(g_, "customtkinter").attr("set_default_color_theme")(kTheme);
    make_main_window();
    make_frames();
    textbox_ = global(g_, "customtkinter")
                   .attr("CTkTextbox")("master"_a = frames_.message_holder, "width"_a = kMessageWidth,
                                       "height"_a = kMessageHeight, "corner_radius"_a = 0);
    textbox_.attr("grid")("row"_a = 0, "column"_a = 0, "sticky"_a = "nsew");
    make_logo_band();
    set_table_ = global(g_, "Set_Table")(frames_.path_table);
    set_table_.attr("add_entry_name")(protocol::kTemplatePath);
    set_table_.attr("add_entry_name")(protocol::kPatentPath);
    connect_areas();
    make_option_menu();
    report_->start_monitor(app_);
}

void Window::prepare_working_folder() const {
    paths_.make_folder(places::kMakerFolder);
    paths_.make_folder(places::kWorkingFolder);
    print_on_error(protocol::kWorkbookPrefix,
                   [&] { paths_.copy_unless_present(places::kStarterWorkbook, places::kUserWorkbook); });
}

void Window::make_main_window() {
    app_ = global(g_, "customtkinter").attr("CTk")();
    app_.attr("title")(protocol::kTitle);
    for (int column : {0, 1, 2}) app_.attr("columnconfigure")(column, "weight"_a = 1);
    app_.attr("resizable")(false, false);
    print_on_error("", [&] { icon_ = paths_.set_window_icon(app_, paths_.resource(places::kIcon)); });
}

void Window::make_frames() {
    auto frame = [&](const py::object& master, const py::dict& options) {
        return global(g_, "customtkinter").attr("CTkFrame")(master, **options);
    };
    auto transparent = [] { return py::dict("fg_color"_a = kTransparent); };
    Frames& f = frames_;
    f.top_band = frame(app_, transparent());
    f.top_band.attr("grid")("row"_a = 0, "column"_a = 0, "columnspan"_a = 2, "padx"_a = py::make_tuple(10, 5),
                            "pady"_a = py::make_tuple(10, 5), "sticky"_a = "nsew");
    f.file_panel = frame(app_, transparent());
    f.file_panel.attr("grid")("row"_a = 1, "column"_a = 0, "padx"_a = py::make_tuple(10, 5),
                              "pady"_a = py::make_tuple(5, 0), "sticky"_a = "nsew");
    f.command_panel = frame(app_, transparent());
    f.command_panel.attr("grid")("row"_a = 1, "column"_a = 1, "padx"_a = py::make_tuple(0, 10),
                                 "pady"_a = py::make_tuple(5, 0), "sticky"_a = "nsew");
    f.message_panel = frame(app_, transparent());
    f.message_panel.attr("grid")("row"_a = 2, "column"_a = 0, "columnspan"_a = 2,
                                 "padx"_a = py::make_tuple(10, 10), "pady"_a = py::make_tuple(5, 10),
                                 "sticky"_a = "ew");
    f.path_box = frame(f.file_panel, py::dict("width"_a = kPathBoxWidth, "height"_a = kPathBoxHeight));
    f.path_box.attr("grid")("row"_a = 0, "column"_a = 0, "sticky"_a = "new");
    f.path_table = frame(f.path_box, py::dict("width"_a = kPathBoxWidth, "height"_a = kPathBoxHeight,
                                              "fg_color"_a = kTransparent));
    f.path_table.attr("place")("x"_a = kTableX, "y"_a = kTableY);
    f.command_box =
        frame(f.command_panel, py::dict("width"_a = kCommandBoxWidth, "height"_a = kCommandBoxHeight));
    f.command_box.attr("grid")("row"_a = 0, "column"_a = 0, "sticky"_a = "new");
    f.logo_band = frame(f.top_band, py::dict("height"_a = 10, "fg_color"_a = kTransparent));
    f.logo_band.attr("grid")("row"_a = 0, "column"_a = 0, "sticky"_a = "nsew", "rowspan"_a = 2);
    f.message_holder = frame(f.message_panel, py::dict("height"_a = 10, "fg_color"_a = kTransparent));
    f.message_holder.attr("grid")("row"_a = 0, "column"_a = 0, "sticky"_a = "nsew", "rowspan"_a = 2);
}

void Window::make_logo_band() const {
    // A missing picture leaves out the rest of the band.
    print_on_error("", [&] {
        auto picture = [&](const std::string& relative, int width, int height) {
            py::str path = paths_.resource(relative);
            // Each image is read at once, so no file handle stays open with it.
            auto open = [&] {
                py::object image = global(g_, "Image").attr("open")(path);
                image.attr("load")();
                return image;
            };
            py::object light = open();
            py::object dark = open();
            return global(g_, "customtkinter")
                .attr("CTkImage")("light_image"_a = light, "dark_image"_a = dark,
                                  "size"_a = py::make_tuple(width, height));
        };
        auto logo = [&](const py::object& image, int column, int pad_after) {
            py::object button = global(g_, "customtkinter")
                                    .attr("CTkButton")(frames_.logo_band, "image"_a = image, "text"_a = "",
                                                       "state"_a = "disabled", "width"_a = kLogoSize,
                                                       "fg_color"_a = kTransparent);
            button.attr("grid")("row"_a = 0, "column"_a = column, "padx"_a = py::make_tuple(0, pad_after),
                                "sticky"_a = "w");
        };
        logo(picture(places::kLogo, kLogoSize, kLogoSize), 0, 5);
        logo(picture(places::kTextLogo, kTextLogoWidth, kTextLogoHeight), 1, 15);
        py::object title = global(g_, "customtkinter")
                               .attr("CTkLabel")(frames_.logo_band, "text"_a = protocol::kTitle,
                                                 "font"_a = window_font(g_, kTitleSize));
        title.attr("grid")("row"_a = 0, "column"_a = 2, "sticky"_a = "nsew");
    });
}

void Window::connect_areas() {
    report_ = std::make_shared<ReportRun>(g_, host_, parameters_owner_, set_table_, set_button_, textbox_);
    toolbar_ = std::make_shared<Toolbar>(g_, paths_, set_table_);
    settings_ = std::make_shared<SettingsDialog>(g_, paths_, parameters_owner_);

    // Every command is used in its logged form only; the logger wraps them in
    // the order of their numbers.
    Commands commands = report_->commands();
    for (Commands more : {toolbar_->commands(), settings_->commands()}) {
        commands.insert(commands.end(), more.begin(), more.end());
    }
    std::stable_sort(commands.begin(), commands.end(),
                     [](const Command& a, const Command& b) { return std::strcmp(a.name, b.name) < 0; });
    py::dict logged;
    for (const Command& command : commands)
        logged[command.name] = global(g_, "try_except_log")(command.function);

    const ButtonBar bar{set_button_.attr("add_button"), frames_, logged};
    report_->add_buttons(bar);
    toolbar_->add_buttons(bar);
    settings_->add_buttons(bar);
}

void Window::make_option_menu() const {
    // One entry, not in use yet.
    py::list values;
    values.append(protocol::kUnusedOption);
    py::object optionmenu_001 =
        global(g_, "customtkinter")
            .attr("CTkOptionMenu")(frames_.top_band, "font"_a = window_font(g_, kMenuSize),
                                   "width"_a = kMenuWidth, "height"_a = kMenuHeight,
                                   "dynamic_resizing"_a = false, "values"_a = values);
    optionmenu_001.attr("grid")("row"_a = 1, "column"_a = 1, "padx"_a = pad(kOptionMenuPad),
                                "pady"_a = py::make_tuple(5, 0), "sticky"_a = "nsew");
}

void Window::close_if_open() {
    if (!app_) return;
    discard_errors([&] {
        if (py::bool_(app_.attr("winfo_exists")())) app_.attr("destroy")();
    });
    cancel_pending_timers(app_);
    release_toolkit_trackers(g_, app_);
}

void register_window(py::module_& m) {
    py::dict g = m.attr("__dict__");
    m.attr("GUI") = py::cpp_function(
        [g](py::object Queue_All_variable, py::object Event_All_variable) {
            Window(g, std::move(Queue_All_variable), std::move(Event_All_variable)).run();
        },
        py::name("GUI"), py::scope(m), py::arg("Queue_All_variable"), py::arg("Event_All_variable"),
        "Shows the Lumivar window until the user closes it, then signals the host's worker to end.");
}

}  // namespace lumivar
