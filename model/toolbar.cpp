#include "toolbar.hpp"

#include "protocol.hpp"

#include <string>
#include <utility>

using namespace pybind11::literals;

namespace lumivar {

namespace {

// The maker's web server; scheme, port and path of the product page are fixed.
constexpr const char* kWebHost = "www.tarnwick.com";
constexpr const char* kWebPort = "34008";
constexpr const char* kWebPath = "/Lumivar";

constexpr const char* kTempFolder = "C:/tarnwick/temp/";
constexpr const char* kProductTempFolder = "C:/tarnwick/temp/Lumivar/";
constexpr const char* kLocalNotice = "C:\\tarnwick\\temp\\Lumivar\\版權宣告.pdf";
constexpr const char* kShippedNotice = "\\格式範本\\版權宣告.pdf";

constexpr const char* kFolderIcon = "\\格式範本\\資料夾.png";
constexpr const char* kBinIcon = "\\格式範本\\垃圾桶.png";
constexpr const char* kHelpIcon = "\\格式範本\\問號001.png";
constexpr const char* kCopyrightIcon = "\\格式範本\\版權宣告圖示.png";

std::string page_address(const char* scheme) {
    return std::string(scheme) + "://" + kWebHost + ":" + kWebPort + kWebPath;
}

}  // namespace

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
    auto icon = [&](const char* relative) { return paths_.resource(relative); };
    bar.add_button(f.top_band, "image_path"_a = icon(kFolderIcon),
                   "button_event"_a = bar.logged["button_event_005"], "size"_a = py::make_tuple(25, 25),
                   "padx"_a = py::make_tuple(178, 55), "row"_a = 0, "column"_a = 1,
                   "fg_color"_a = "transparent");
    bar.add_button(f.file_panel, "image_path"_a = icon(kBinIcon),
                   "button_event"_a = bar.logged["button_event_003"], "size"_a = py::make_tuple(20, 20),
                   "padx"_a = py::make_tuple(20, 5), "row"_a = 0, "column"_a = 0, "fg_color"_a = "#2b2b2b",
                   "width"_a = 20, "corner_radius"_a = 0);
    bar.add_button(f.file_panel, "image_path"_a = icon(kFolderIcon),
                   "button_event"_a = bar.logged["button_event_006"], "size"_a = py::make_tuple(25, 25),
                   "padx"_a = py::make_tuple(10, 5), "pady"_a = py::make_tuple(38, 5), "row"_a = 0,
                   "column"_a = 0, "fg_color"_a = "#2b2b2b", "corner_radius"_a = 0);
    bar.add_button(f.file_panel, "image_path"_a = icon(kFolderIcon),
                   "button_event"_a = bar.logged["button_event_007"], "size"_a = py::make_tuple(25, 25),
                   "padx"_a = py::make_tuple(10, 5), "pady"_a = py::make_tuple(72, 5), "row"_a = 0,
                   "column"_a = 0, "fg_color"_a = "#2b2b2b", "corner_radius"_a = 0);
    bar.add_button(f.top_band, "image_path"_a = icon(kHelpIcon),
                   "button_event"_a = bar.logged["button_event_008"], "size"_a = py::make_tuple(25, 25),
                   "padx"_a = py::make_tuple(78, 105), "row"_a = 0, "column"_a = 1,
                   "fg_color"_a = "transparent");
    // The copyright notice sits in the file panel's top strip, right of the
    // waste bin; it reports its own errors, so it is not wrapped.
    bar.add_button(f.file_panel, "image_path"_a = icon(kCopyrightIcon),
                   "button_event"_a =
                       bind_command(shared_from_this(), &Toolbar::button_event_003_B, "button_event_003_B"),
                   "size"_a = py::make_tuple(25, 25), "padx"_a = py::make_tuple(178, 55), "row"_a = 0,
                   "column"_a = 0, "fg_color"_a = "transparent");
}

void Toolbar::button_event_003() { set_table_.attr("delete_all")(); }

void Toolbar::button_event_005() { paths_.show_working_folder(); }

void Toolbar::choose_file(const char* entry_name) {
    py::object file_path =
        global(g_, "tkinter").attr("filedialog").attr("askopenfilename")("title"_a = "選擇檔案");
    // A cancelled dialog answers with the empty text (some Tk builds: an empty tuple).
    if (!py::bool_(file_path)) return;
    set_table_.attr("set")(entry_name, file_path);
}

void Toolbar::button_event_006() { choose_file(protocol::kTemplatePath); }

void Toolbar::button_event_007() { choose_file(protocol::kPatentPath); }

void Toolbar::button_event_008() {
    // An error of any kind from the https request falls back to http.
    try {
        global(g_, "webbrowser").attr("open")(page_address("https"));
    } catch (py::error_already_set&) {
        global(g_, "webbrowser").attr("open")(page_address("http"));
    }
}

void Toolbar::button_event_003_B() {
    paths_.make_folder(kTempFolder);
    paths_.make_folder(kProductTempFolder);
    // An existing local copy is kept as it is, never refreshed.
    print_on_error("版權宣告 --> ", [&] { paths_.copy_unless_present(kShippedNotice, kLocalNotice); });
    print_on_error("無法打開檔案: ", [&] { paths_.open_file(paths_.native(kLocalNotice)); });
}

}  // namespace lumivar
