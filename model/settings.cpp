#include "settings.hpp"

#include "look.hpp"
#include "places.hpp"
#include "protocol.hpp"
#include "toolkit.hpp"

#include <stdexcept>
#include <utility>

using namespace pybind11::literals;

namespace lumivar {

using namespace look;
using namespace protocol;

namespace {

py::object alive(const py::weakref& ref) {
    py::object target = ref();
    if (target.is_none()) throw std::runtime_error("the settings dialog has been closed");
    return target;
}

}  // namespace

py::object ratio_from_text(const py::object& text) {
    py::object ratio;
    // Whatever the reading raises, of whatever class, gives the default.
    discard_errors([&] {
        py::object number = py::module_::import("builtins").attr("float")(text);
        ratio = py::float_(number.cast<double>() / 100.0);
    });
    if (!ratio) ratio = py::int_(1);
    return ratio;
}

// What the confirm button of one dialog reaches. Widgets are held weakly: the
// dialog's button holds this, and the dialog holds the button.
struct SettingsDialog::Dialog {
    std::weak_ptr<const SettingsDialog> owner;
    py::weakref entry;
    py::weakref optionmenu_004_A;
    py::weakref optionmenu_004_B;
};

SettingsDialog::SettingsDialog(py::dict g, Paths paths, py::object parameters_owner)
    : g_(std::move(g)), paths_(std::move(paths)), parameters_owner_(std::move(parameters_owner)) {}

Commands SettingsDialog::commands() {
    return {{"button_event_004",
             bind_command(shared_from_this(), &SettingsDialog::button_event_004, "button_event_004")}};
}

void SettingsDialog::add_buttons(const ButtonBar& bar) const {
    // Between the help and folder buttons of the top band.
    bar.add_button(bar.frames.top_band, "image_path"_a = paths_.resource(places::kSettingsIcon),
                   "button_event"_a = bar.logged["button_event_004"],
                   "size"_a = py::make_tuple(kIconSize, kIconSize), "padx"_a = pad(kSettingsPad), "row"_a = 0,
                   "column"_a = 1, "fg_color"_a = kTransparent);
}

void SettingsDialog::confirm(const Dialog& dialog) const {
    py::object text = alive(dialog.entry).attr("get")();
    py::object parameters = parameters_owner_.attr("parameters");
    parameters[py::str(protocol::kSizeRatio)] = ratio_from_text(text);
    parameters[py::str(protocol::kCjkFont)] = alive(dialog.optionmenu_004_B).attr("get")();
    parameters[py::str(protocol::kLatinFont)] = alive(dialog.optionmenu_004_A).attr("get")();
}

void SettingsDialog::button_event_004() {
    py::object setting_window = global(g_, "customtkinter").attr("CTkToplevel")();
    setting_window.attr("attributes")("-topmost", true);
    setting_window.attr("title")(kSettingsTitle);
    setting_window.attr("geometry")(kDialogGeometry);
    forget_scaling_when_destroyed(g_, setting_window);

    py::list fonts;
    for (const char* font : kFontChoices) fonts.append(font);
    py::object parameters = parameters_owner_.attr("parameters");

    auto label = [&](const char* text) {
        return global(g_, "customtkinter")
            .attr("CTkLabel")(setting_window, "text"_a = text, "font"_a = window_font(g_, kDialogSize));
    };
    auto font_menu = [&] {
        return global(g_, "customtkinter")
            .attr("CTkOptionMenu")(setting_window, "font"_a = window_font(g_, kMenuSize),
                                   "width"_a = kDialogMenuWidth, "height"_a = kMenuHeight,
                                   "dynamic_resizing"_a = false, "values"_a = fonts);
    };

    py::object entry_name = label(kLatinFontLabel);
    entry_name.attr("grid")("row"_a = 1, "column"_a = 0, "sticky"_a = "nsew",
                            "pady"_a = py::make_tuple(0, 10));
    py::object optionmenu_004_A = font_menu();
    optionmenu_004_A.attr("grid")("row"_a = 1, "column"_a = 0, "padx"_a = py::make_tuple(20, 20),
                                  "pady"_a = py::make_tuple(60, 10), "sticky"_a = "nsew");
    optionmenu_004_A.attr("set")(parameters[py::str(protocol::kLatinFont)]);

    entry_name = label(kCjkFontLabel);
    entry_name.attr("grid")("row"_a = 2, "column"_a = 0, "sticky"_a = "nsew",
                            "pady"_a = py::make_tuple(0, 10));
    py::object optionmenu_004_B = font_menu();
    optionmenu_004_B.attr("grid")("row"_a = 3, "column"_a = 0, "padx"_a = py::make_tuple(20, 20),
                                  "pady"_a = py::make_tuple(10, 10), "sticky"_a = "nsew");
    optionmenu_004_B.attr("set")(parameters[py::str(protocol::kCjkFont)]);

    entry_name = label(kRatioLabel);
    entry_name.attr("grid")("row"_a = 4, "column"_a = 0, "sticky"_a = "nsew",
                            "pady"_a = py::make_tuple(10, 10));
    // The hint is the interpreter's own text of ratio × 100 (100, 150.0, ...).
    py::object ratio = parameters[py::str(protocol::kSizeRatio)];
    py::object scaled = ratio * py::int_(100);
    py::object entry = global(g_, "customtkinter")
                           .attr("CTkEntry")(setting_window, "placeholder_text"_a = py::str(scaled),
                                             "width"_a = kDialogEntryWidth, "height"_a = kDialogEntryHeight);
    entry.attr("grid")("row"_a = 5, "column"_a = 0, "sticky"_a = "new");

    auto dialog = std::make_shared<Dialog>(Dialog{
        weak_from_this(), py::weakref(entry), py::weakref(optionmenu_004_A), py::weakref(optionmenu_004_B)});
    py::object button_event_004_A = py::cpp_function(
        [dialog]() {
            std::shared_ptr<const SettingsDialog> owner = dialog->owner.lock();
            if (!owner) throw std::runtime_error("the window of this dialog has been closed");
            owner->confirm(*dialog);
        },
        py::name("button_event_004_A"));
    py::object button_1 =
        global(g_, "customtkinter")
            .attr("CTkButton")(setting_window, "text"_a = kConfirmLabel, "command"_a = button_event_004_A,
                               "font"_a = window_font(g_, kDialogSize));
    button_1.attr("grid")("row"_a = 6, "column"_a = 0, "padx"_a = 50, "pady"_a = py::make_tuple(10, 10));
}

}  // namespace lumivar
