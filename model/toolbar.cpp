#include "toolbar.hpp"

#include "look.hpp"
#include "places.hpp"
#include "protocol.hpp"

#include <string>
#include <utility>

using namespace pybind11::literals;

namespace lumivar {

using namespace look;

Toolbar::Toolbar(py::dict g, Paths paths, py::object set_table)
    : g_(std::move(g)), paths_(std::move(paths)), set_table_(std::move(set_table)) {}

Commands Toolbar::commands() {
    auto self = shared_from_this();
    return {
        {"button_event_003", bind_command(self, &Toolbar::button_event_003, "button_event_003")},
        {"button_event_005", bind_command(self, &Toolbar::button_event_005, "button_event_005")},
        {"button_event_006", bind_command(self, &Toolbar::button_event_006, "button_event_006")},
        {"button_event_007", bind_command(self, &Toolbar::button_event_007, "button_event_007")},
        {"button_event_008", bind_command(self, &Toolbar::button_event_008, "button_event_008")},
    };
}

void Toolbar::add_buttons(const ButtonBar& bar) {
    const Frames& f = bar.frames;
    auto icon = [&](const std::string& relative) { return paths_.resource(relative); };
    const auto icon_size = py::make_tuple(kIconSize, kIconSize);
    bar.add_button(f.top_band, "image_path"_a = icon(places::kFolderIcon),
                   "button_event"_a = bar.logged["button_event_005"], "size"_a = icon_size,
                   "padx"_a = pad(kFolderPad), "row"_a = 0, "column"_a = 1, "fg_color"_a = kTransparent);
    bar.add_button(f.file_panel, "image_path"_a = icon(places::kBinIcon),
                   "button_event"_a = bar.logged["button_event_003"],
                   "size"_a = py::make_tuple(kBinSize, kBinSize), "padx"_a = pad(kBinPad), "row"_a = 0,
                   "column"_a = 0, "fg_color"_a = kPanelColour, "width"_a = kBinSize, "corner_radius"_a = 0);
    bar.add_button(f.file_panel, "image_path"_a = icon(places::kFolderIcon),
                   "button_event"_a = bar.logged["button_event_006"], "size"_a = icon_size,
                   "padx"_a = pad(kPickerPad), "pady"_a = py::make_tuple(picker_top(0), 5), "row"_a = 0,
                   "column"_a = 0, "fg_color"_a = kPanelColour, "corner_radius"_a = 0);
    bar.add_button(f.file_panel, "image_path"_a = icon(places::kFolderIcon),
                   "button_event"_a = bar.logged["button_event_007"], "size"_a = icon_size,
                   "padx"_a = pad(kPickerPad), "pady"_a = py::make_tuple(picker_top(1), 5), "row"_a = 0,
                   "column"_a = 0, "fg_color"_a = kPanelColour, "corner_radius"_a = 0);
    bar.add_button(f.top_band, "image_path"_a = icon(places::kHelpIcon),
                   "button_event"_a = bar.logged["button_event_008"], "size"_a = icon_size,
                   "padx"_a = pad(kHelpPad), "row"_a = 0, "column"_a = 1, "fg_color"_a = kTransparent);
    // The copyright notice sits in the file panel's top strip, right of the
    // waste bin; it reports its own errors, so it is not wrapped.
    bar.add_button(f.file_panel, "image_path"_a = icon(places::kCopyrightIcon),
                   "button_event"_a =
                       bind_command(shared_from_this(), &Toolbar::button_event_003_B, "button_event_003_B"),
                   "size"_a = icon_size, "padx"_a = pad(kCopyrightPad), "row"_a = 0, "column"_a = 0,
                   "fg_color"_a = kTransparent);
}

void Toolbar::button_event_003() { set_table_.attr("delete_all")(); }

void Toolbar::button_event_005() { paths_.show_working_folder(); }

void Toolbar::choose_file(const char* entry_name) {
    py::object file_path =
        global(g_, "tkinter").attr("filedialog").attr("askopenfilename")("title"_a = protocol::kPickTitle);
    // A cancelled dialog answers with the empty text (some Tk builds: an empty tuple).
    if (!py::bool_(file_path)) return;
    set_table_.attr("set")(entry_name, file_path);
}

void Toolbar::button_event_006() { choose_file(protocol::kTemplatePath); }

void Toolbar::button_event_007() { choose_file(protocol::kPatentPath); }

void Toolbar::button_event_008() {
    // An error of any kind from the https request falls back to http.
    try {
        global(g_, "webbrowser").attr("open")(places::page_address("https"));
    } catch (py::error_already_set&) {
        global(g_, "webbrowser").attr("open")(places::page_address("http"));
    }
}

void Toolbar::button_event_003_B() {
    paths_.make_folder(places::kTempFolder);
    paths_.make_folder(places::kProductTempFolder);
    // An existing local copy is kept as it is, never refreshed.
    print_on_error(protocol::kNoticePrefix,
                   [&] { paths_.copy_unless_present(places::kShippedNotice, places::kLocalNotice); });
    print_on_error(protocol::kOpenPrefix, [&] { paths_.open_file(paths_.native(places::kLocalNotice)); });
}

}  // namespace lumivar
