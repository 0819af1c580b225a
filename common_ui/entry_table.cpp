// Entry_Table: a frame with a header row of labels over rows of entries.
#include "common.hpp"

namespace tarnwick {
namespace {

constexpr int kCellWidth = 120;
constexpr int kCellHeight = 28;
constexpr int kCellPad = 3;

class EntryTable {
  public:
    EntryTable(const py::object& master, std::vector<std::string> headers, py::ssize_t rows)
        : headers_(std::move(headers)) {
        if (headers_.empty()) {
            throw py::value_error("an entry table needs at least one header");
        }
        if (rows < 0) {
            throw py::value_error("rows must not be negative, not " + std::to_string(rows));
        }
        using namespace py::literals;
        auto ctk = customtkinter();
        frame_ = ctk.attr("CTkFrame")(master);
        try {
            font_ = house_font();
            for (std::size_t column = 0; column < headers_.size(); ++column) {
                py::object label = ctk.attr("CTkLabel")(frame_, "text"_a = headers_[column], "font"_a = font_,
                                                        "fg_color"_a = "transparent");
                label.attr("grid")("row"_a = 0, "column"_a = column, "padx"_a = kCellPad,
                                   "pady"_a = py::make_tuple(kCellPad, 0));
                header_labels_.push_back(std::move(label));
            }
            for (py::ssize_t row = 0; row < rows; ++row) {
                add_row();
            }
        } catch (py::error_already_set&) {
            frame_.attr("destroy")();
            throw;
        }
    }

    std::size_t add_row() {
        using namespace py::literals;
        auto ctk = customtkinter();
        const std::size_t row = cells_.size();
        std::vector<py::object> cells;
        try {
            for (std::size_t column = 0; column < headers_.size(); ++column) {
                cells.push_back(
                    ctk.attr("CTkEntry")(frame_, "width"_a = kCellWidth, "height"_a = kCellHeight));
                cells.back().attr("grid")("row"_a = row + 1, "column"_a = column, "padx"_a = kCellPad,
                                          "pady"_a = kCellPad, "sticky"_a = "ew");
            }
        } catch (py::error_already_set&) {
            for (const auto& entry : cells) {
                entry.attr("destroy")();
            }
            throw;
        }
        cells_.push_back(std::move(cells));
        return row;
    }

    py::object get(py::ssize_t row, py::ssize_t column) const { return cell(row, column).attr("get")(); }

    // Calls back into Python work on copies of the cell objects: a callback
    // may add a row, and the vectors may then move their elements.
    void set(py::ssize_t row, py::ssize_t column, const std::string& text) const {
        const py::object entry = cell(row, column);
        entry.attr("delete")(0, "end");
        entry.attr("insert")(0, text);
    }

    py::list get_all() const {
        py::list out;
        const auto rows = cells_;
        for (const auto& cells : rows) {
            py::list texts;
            for (const auto& entry : cells) {
                texts.append(entry.attr("get")());
            }
            out.append(std::move(texts));
        }
        return out;
    }

    void clear_texts() const {
        const auto rows = cells_;
        for (const auto& cells : rows) {
            for (const auto& entry : cells) {
                entry.attr("delete")(0, "end");
            }
        }
    }

    py::object cell(py::ssize_t row, py::ssize_t column) const {
        const auto& cells = cells_[checked_index(row, cells_.size(), "row")];
        return cells[checked_index(column, cells.size(), "column")];
    }

    const py::object& frame() const { return frame_; }
    const std::vector<std::string>& headers() const { return headers_; }
    std::size_t row_count() const { return cells_.size(); }

    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(frame_.ptr());
        Py_VISIT(font_.ptr());
        if (int rc = visit_objects(header_labels_, visit, arg)) {
            return rc;
        }
        for (const auto& cells : cells_) {
            if (int rc = visit_objects(cells, visit, arg)) {
                return rc;
            }
        }
        return 0;
    }

    void clear() {
        std::vector<std::vector<py::object>> old;
        old.swap(cells_);
        clear_objects(header_labels_);
        clear_object(frame_);
        clear_object(font_);
    }

  private:
    std::vector<std::string> headers_;
    py::object frame_ = py::none();
    py::object font_ = py::none();
    std::vector<py::object> header_labels_;
    std::vector<std::vector<py::object>> cells_;
};

}  // namespace

void register_entry_table(py::module_& m) {
    py::class_<EntryTable> cls(m, "Entry_Table", gc_support<EntryTable>(),
                               "A frame of entries under a row of header labels.");
    cls.def(py::init<const py::object&, std::vector<std::string>, py::ssize_t>(), py::arg("master"),
            py::arg("headers"), py::arg("rows") = 1)
        .def(
            "grid", [](const EntryTable& self, const py::kwargs& kw) { self.frame().attr("grid")(**kw); },
            "Grids the table's frame.")
        .def(
            "pack", [](const EntryTable& self, const py::kwargs& kw) { self.frame().attr("pack")(**kw); },
            "Packs the table's frame.")
        .def(
            "place", [](const EntryTable& self, const py::kwargs& kw) { self.frame().attr("place")(**kw); },
            "Places the table's frame.")
        .def_property_readonly("frame", &EntryTable::frame)
        .def_property_readonly("headers", &EntryTable::headers)
        .def_property_readonly("rows", &EntryTable::row_count)
        .def_property_readonly("columns", [](const EntryTable& self) { return self.headers().size(); })
        .def("get", &EntryTable::get, py::arg("row"), py::arg("column"), "The text of one cell.")
        .def("set", &EntryTable::set, py::arg("row"), py::arg("column"), py::arg("text"),
             "Replaces the text of one cell.")
        .def("get_all", &EntryTable::get_all, "The texts of every row, top to bottom.")
        .def("add_row", &EntryTable::add_row, "Adds an empty row at the bottom; returns its index.")
        .def("clear", &EntryTable::clear_texts, "Empties every cell; the rows stay.")
        .def("cell", &EntryTable::cell, py::arg("row"), py::arg("column"), "The CTkEntry of one cell.");
    add_to_widget_model(m, "Entry_Table", cls);
}

}  // namespace tarnwick
