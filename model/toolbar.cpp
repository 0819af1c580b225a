// The small commands of the icon buttons: clear, file pickers, working
// folder, web page and copyright notice.
#include "window.hpp"

#include "platform.hpp"
#include "protocol.hpp"

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

std::string page_address(const char* scheme) {
    return std::string(scheme) + "://" + kWebHost + ":" + kWebPort + kWebPath;
}

}  // namespace

void Window::button_event_003() { set_table.attr("delete_all")(); }

void Window::button_event_005() { platform::show_working_folder(g, platform); }

void Window::choose_file(const char* entry_name) {
    py::object file_path =
        global(g, "tkinter").attr("filedialog").attr("askopenfilename")("title"_a = "選擇檔案");
    // A cancelled dialog answers with the empty text (some Tk builds: an empty tuple).
    if (!truthy(file_path)) return;
    set_table.attr("set")(entry_name, file_path);
}

void Window::button_event_006() { choose_file(protocol::kTemplatePath); }

void Window::button_event_007() { choose_file(protocol::kPatentPath); }

void Window::button_event_008() {
    // An error of any kind from the https request falls back to http.
    try {
        global(g, "webbrowser").attr("open")(page_address("https"));
    } catch (py::error_already_set&) {
        global(g, "webbrowser").attr("open")(page_address("http"));
    }
}

void Window::button_event_003_B() {
    for (const char* folder : {kTempFolder, kProductTempFolder}) {
        // Any error (the folder exists, access denied, no drive) is ignored.
        discard_errors([&] { global(g, "os").attr("mkdir")(platform::native_path(folder, platform)); });
    }
    py::str local_copy = platform::native_path(kLocalNotice, platform);
    py::object error = catch_exception([&] {
        // An existing local copy is kept as it is, never refreshed.
        if (!truthy(global(g, "os").attr("path").attr("lexists")(local_copy))) {
            global(g, "shutil").attr("copy2")(platform::resource(g, kShippedNotice, platform), local_copy);
        }
    });
    if (error) print_line(concat(py::str("版權宣告 --> "), py::str(error)));
    error = catch_exception([&] { platform::open_with_default_app(g, local_copy, platform); });
    if (error) print_line(concat(py::str("無法打開檔案: "), py::str(error)));
}

}  // namespace lumivar
