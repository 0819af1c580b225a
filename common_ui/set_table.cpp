// Set_Table: named rows of a label and an entry, gridded into a given frame.
#include "common.hpp"
#include "look.hpp"

#include <algorithm>

namespace tarnwick {
namespace {

using namespace look;

class SetTable {
  public:
    explicit SetTable(py::object master) : master_(std::move(master)), font_(house_font()) {}

    void add_entry_name(const std::string& name) {
        if (find(name) != nullptr) {
            throw py::value_error("a row named '" + name + "' already exists");
        }
        using namespace py::literals;
        auto ctk = customtkinter();
        const auto row = static_cast<int>(rows_.size());
        const py::object pady =
            row == 0 ? py::make_tuple(kFirstRowTop, kRowGap) : py::make_tuple(kRowGap, kRowGap);

        py::object label =
            ctk.attr("CTkLabel")(master_, "text"_a = name, "font"_a = font_, "fg_color"_a = "transparent",
                                 "anchor"_a = "w", "height"_a = kRowHeight);
        py::object entry;
        try {
            entry = ctk.attr("CTkEntry")(master_, "height"_a = kRowHeight, "width"_a = kMinEntryWidth);
            label.attr("grid")("row"_a = row, "column"_a = 0, "sticky"_a = "w",
                               "padx"_a = py::make_tuple(kLabelLeft, kLabelGap), "pady"_a = pady);
            entry.attr("grid")("row"_a = row, "column"_a = 1, "sticky"_a = "w", "pady"_a = pady);
        } catch (py::error_already_set&) {
            label.attr("destroy")();
            if (entry) {
                entry.attr("destroy")();
            }
            throw;
        }
        rows_.push_back({name, std::move(label), std::move(entry)});
        fit_entries();
    }

    // Calls back into Python work on copies of the row objects: a callback
    // may add a row, and the vector may then move its elements.
    py::object get(const std::string& name) const { return entry_of(name).attr("get")(); }

    void set(const std::string& name, const std::string& text) const {
        const py::object entry = entry_of(name);
        entry.attr("delete")(0, "end");
        entry.attr("insert")(0, text);
    }

    void delete_all() const {
        for (const auto& entry : entries()) {
            entry.attr("delete")(0, "end");
        }
    }

    std::vector<std::string> names() const {
        std::vector<std::string> out;
        out.reserve(rows_.size());
        for (const auto& row : rows_) {
            out.push_back(row.name);
        }
        return out;
    }

    py::object entry(const std::string& name) const { return entry_of(name); }
    py::object label(const std::string& name) const { return row_of(name).label; }
    const py::object& master() const { return master_; }
    std::size_t size() const { return rows_.size(); }

    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(master_.ptr());
        Py_VISIT(font_.ptr());
        for (const auto& row : rows_) {
            Py_VISIT(row.label.ptr());
            Py_VISIT(row.entry.ptr());
        }
        return 0;
    }

    void clear() {
        std::vector<Row> old;
        old.swap(rows_);
        clear_object(master_);
        clear_object(font_);
    }

  private:
    struct Row {
        std::string name;
        py::object label;
        py::object entry;
    };

    const Row* find(const std::string& name) const {
        auto it = std::find_if(rows_.begin(), rows_.end(), [&](const Row& row) { return row.name == name; });
        return it == rows_.end() ? nullptr : &*it;
    }

    const Row& row_of(const std::string& name) const {
        const Row* row = find(name);
        if (row == nullptr) {
            throw_unknown("row", name);
        }
        return *row;
    }

    py::object entry_of(const std::string& name) const { return row_of(name).entry; }

    std::vector<py::object> entries() const {
        std::vector<py::object> out;
        out.reserve(rows_.size());
        for (const auto& row : rows_) {
            out.push_back(row.entry);
        }
        return out;
    }

    // All entries share one width: what the widest label leaves of the row.
    void fit_entries() const {
        int widest = 0;
        for (const auto& name : names()) {
            widest = std::max(widest, font_.attr("measure")(name).cast<int>());
        }
        const int width =
            std::clamp(kRowWidth - kLabelLeft - kLabelGap - widest, kMinEntryWidth, kMaxEntryWidth);
        for (const auto& entry : entries()) {
            entry.attr("configure")(py::arg("width") = width);
        }
    }

    py::object master_;
    py::object font_;
    std::vector<Row> rows_;
};

}  // namespace

void register_set_table(py::module_& m) {
    py::class_<SetTable> cls(m, "Set_Table", gc_support<SetTable>(),
                             "Named rows of a label and an entry, gridded into `master`.");
    cls.def(py::init<py::object>(), py::arg("master"))
        .def("add_entry_name", &SetTable::add_entry_name, py::arg("name"),
             "Adds a row labelled `name` below the others.")
        .def("get", &SetTable::get, py::arg("name"), "The text of the row `name`.")
        .def("set", &SetTable::set, py::arg("name"), py::arg("text"), "Replaces the text of the row `name`.")
        .def("delete_all", &SetTable::delete_all, "Empties every row.")
        .def("entry", &SetTable::entry, py::arg("name"), "The CTkEntry of the row `name`.")
        .def("label", &SetTable::label, py::arg("name"), "The CTkLabel of the row `name`.")
        .def_property_readonly("names", &SetTable::names, "Row names in the order added.")
        .def_property_readonly("master", &SetTable::master)
        .def("__len__", &SetTable::size)
        .def("__contains__", [](const SetTable& self, const py::object& name) {
            if (!py::isinstance<py::str>(name)) {
                return false;
            }
            const auto names = self.names();
            return std::find(names.begin(), names.end(), name.cast<std::string>()) != names.end();
        });
    add_to_widget_model(m, "Set_Table", cls);
}

}  // namespace tarnwick
