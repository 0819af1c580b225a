// Set_Button: makes the windows' buttons in the house style and keeps the
// named ones for later cget/configure.
#include "common.hpp"

#include <map>
#include <optional>

namespace tarnwick {
namespace {

py::tuple checked_size(const py::object& size) {
    std::pair<int, int> wh;
    try {
        wh = size.cast<std::pair<int, int>>();
    } catch (const py::cast_error&) {
        throw py::type_error("size must be a (width, height) pair of integers, not " +
                             py::repr(size).cast<std::string>());
    }
    if (wh.first <= 0 || wh.second <= 0) {
        throw py::value_error("size must be positive, not " + py::repr(size).cast<std::string>());
    }
    return py::make_tuple(wh.first, wh.second);
}

// Reads the whole file now so no handle stays open behind the button.
py::object load_icon(const py::object& path, const py::tuple& size) {
    using namespace py::literals;
    py::object opened = py::module_::import("PIL.Image").attr("open")(path);
    py::object image;
    try {
        image = opened.attr("copy")();
    } catch (py::error_already_set&) {
        opened.attr("close")();
        throw;
    }
    opened.attr("close")();
    return customtkinter().attr("CTkImage")("light_image"_a = image, "dark_image"_a = image, "size"_a = size);
}

class SetButton {
  public:
    void add_button(const py::object& master, const std::optional<std::string>& button_name,
                    const py::object& text, const py::object& image_path, const py::object& button_event,
                    const py::object& size, const py::object& padx, const py::object& pady, int row,
                    int column, const py::object& sticky, const py::object& width, const py::object& fg_color,
                    const py::object& corner_radius, const py::kwargs& other) {
        if (button_name && buttons_.count(*button_name) != 0) {
            throw py::value_error("a button named '" + *button_name + "' already exists");
        }
        const py::tuple icon_size = checked_size(size);

        py::dict options;
        options["text"] = text;
        options["font"] = house_font();
        options["command"] = button_event;
        if (!image_path.is_none()) {
            options["image"] = load_icon(image_path, icon_size);
        }
        if (!width.is_none()) {
            options["width"] = width;
        }
        if (!fg_color.is_none()) {
            options["fg_color"] = fg_color;
        }
        if (!corner_radius.is_none()) {
            options["corner_radius"] = corner_radius;
        }
        for (const auto& item : other) {
            options[item.first] = item.second;
        }

        using namespace py::literals;
        py::object button = customtkinter().attr("CTkButton")(master, **options);
        try {
            button.attr("grid")("row"_a = row, "column"_a = column, "padx"_a = padx, "pady"_a = pady,
                                "sticky"_a = sticky);
        } catch (py::error_already_set&) {
            button.attr("destroy")();
            throw;
        }
        if (button_name) {
            buttons_.emplace(*button_name, std::move(button));
        }
    }

    py::object cget(const std::string& name, const py::object& option) const {
        return button(name).attr("cget")(option);
    }

    void configure(const std::string& name, const py::kwargs& options) const {
        button(name).attr("configure")(**options);
    }

    const py::object& button(const std::string& name) const {
        auto it = buttons_.find(name);
        if (it == buttons_.end()) {
            throw_unknown("button", name);
        }
        return it->second;
    }

    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& item : buttons_) {
            out.push_back(item.first);
        }
        return out;
    }

    int traverse(visitproc visit, void* arg) const {
        for (const auto& item : buttons_) {
            Py_VISIT(item.second.ptr());
        }
        return 0;
    }

    void clear() {
        std::map<std::string, py::object> old;
        old.swap(buttons_);
    }

  private:
    std::map<std::string, py::object> buttons_;
};

}  // namespace

void register_set_button(py::module_& m) {
    py::class_<SetButton> cls(m, "Set_Button", gc_support<SetButton>(),
                              "Makes buttons in the house style; named ones can be changed later.");
    cls.def(py::init<>())
        .def("add_button", &SetButton::add_button, py::arg("master"), py::kw_only(),
             py::arg("button_name") = py::none(), py::arg("text") = "", py::arg("image_path") = py::none(),
             py::arg("button_event") = py::none(), py::arg("size") = py::make_tuple(20, 20),
             py::arg("padx") = 5, py::arg("pady") = 5, py::arg("row") = 0, py::arg("column") = 0,
             py::arg("sticky") = "nw", py::arg("width") = 30, py::arg("fg_color") = py::none(),
             py::arg("corner_radius") = py::none(),
             "Makes a CTkButton in `master` and grids it; other keywords go to CTkButton.")
        .def("cget", &SetButton::cget, py::arg("button_name"), py::arg("option"),
             "The option of the button named `button_name`.")
        .def("configure", &SetButton::configure, py::arg("button_name"),
             "Configures the button named `button_name`.")
        .def("button", &SetButton::button, py::arg("button_name"), "The CTkButton named `button_name`.")
        .def_property_readonly("names", &SetButton::names, "Names of the named buttons.");
    add_to_widget_model(m, "Set_Button", cls);
}

}  // namespace tarnwick
