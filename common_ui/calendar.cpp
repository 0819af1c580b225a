// CTkCalendar: a month view with day buttons; a click selects the day.
#include "common.hpp"

#include <array>
#include <cstdio>
#include <optional>

namespace tarnwick {
namespace {

// Same range and (proleptic Gregorian) rules as Python's datetime.date.
constexpr int kMinYear = 1;
constexpr int kMaxYear = 9999;

constexpr bool is_leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

void check_year(int year) {
    if (year < kMinYear || year > kMaxYear) {
        throw py::value_error("year " + std::to_string(year) + " is out of range " +
                              std::to_string(kMinYear) + ".." + std::to_string(kMaxYear));
    }
}

void check_month(int year, int month) {
    check_year(year);
    if (month < 1 || month > 12) {
        throw py::value_error("month must be in 1..12, not " + std::to_string(month));
    }
}

int days_in_month(int year, int month) {
    check_month(year, month);
    constexpr std::array<int, 12> days{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int n = days[static_cast<std::size_t>(month - 1)];
    return month == 2 && is_leap(year) ? n + 1 : n;
}

// Monday is 0, as datetime.date.weekday() counts (Sakamoto's method).
int weekday(int year, int month, int day) {
    constexpr std::array<int, 12> offset{0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    const int y = month < 3 ? year - 1 : year;
    const int sunday_based =
        (y + y / 4 - y / 100 + y / 400 + offset[static_cast<std::size_t>(month - 1)] + day) % 7;
    return (sunday_based + 6) % 7;
}

int first_weekday(int year, int month) {
    check_month(year, month);
    return weekday(year, month, 1);
}

constexpr int kDayWidth = 32;
constexpr int kDayHeight = 28;
constexpr int kFirstDayRow = 2;
const std::array<const char*, 7> kWeekdayNames{"一", "二", "三", "四", "五", "六", "日"};

py::object theme_color(const char* widget, const char* key) {
    return customtkinter().attr("ThemeManager").attr("theme")[widget][key];
}

// Holds the widgets and the state. It is a Python object of its own so the
// buttons' commands can be bound methods of it: the collector then sees
// every reference between the widgets and the calendar.
class CalendarView {
  public:
    CalendarView(int year, int month, py::object command)
        : year_(year), month_(month), command_(std::move(command)) {
        check_month(year_, month_);
    }

    void build(const py::object& master, const py::object& self) {
        using namespace py::literals;
        auto ctk = customtkinter();
        auto partial = py::module_::import("functools").attr("partial");
        frame_ = ctk.attr("CTkFrame")(master);
        try {
            font_ = house_font();
            prev_ =
                ctk.attr("CTkButton")(frame_, "text"_a = "<", "width"_a = kDayWidth, "height"_a = kDayHeight,
                                      "font"_a = font_, "command"_a = partial(self.attr("_step"), -1));
            title_ = ctk.attr("CTkLabel")(frame_, "text"_a = title(), "font"_a = font_,
                                          "fg_color"_a = "transparent");
            next_ =
                ctk.attr("CTkButton")(frame_, "text"_a = ">", "width"_a = kDayWidth, "height"_a = kDayHeight,
                                      "font"_a = font_, "command"_a = partial(self.attr("_step"), 1));
            prev_.attr("grid")("row"_a = 0, "column"_a = 0, "padx"_a = 1, "pady"_a = 2);
            title_.attr("grid")("row"_a = 0, "column"_a = 1, "columnspan"_a = 5);
            next_.attr("grid")("row"_a = 0, "column"_a = 6, "padx"_a = 1, "pady"_a = 2);
            for (std::size_t column = 0; column < kWeekdayNames.size(); ++column) {
                py::object label =
                    ctk.attr("CTkLabel")(frame_, "text"_a = kWeekdayNames[column], "font"_a = font_,
                                         "width"_a = kDayWidth, "fg_color"_a = "transparent");
                label.attr("grid")("row"_a = 1, "column"_a = column, "padx"_a = 1);
                weekday_labels_.push_back(std::move(label));
            }
            show(self);
        } catch (py::error_already_set&) {
            frame_.attr("destroy")();
            throw;
        }
    }

    // Lays out the day buttons of the shown month.
    void show(const py::object& self) {
        using namespace py::literals;
        auto ctk = customtkinter();
        auto partial = py::module_::import("functools").attr("partial");
        // Destroying calls back into Python: take the buttons out first.
        const std::vector<py::object> old = std::exchange(day_buttons_, {});
        for (const auto& button : old) {
            button.attr("destroy")();
        }
        title_.attr("configure")("text"_a = title());

        const int first = weekday(year_, month_, 1);
        const int count = days_in_month(year_, month_);
        for (int day = 1; day <= count; ++day) {
            const int slot = first + day - 1;
            py::object button = ctk.attr("CTkButton")(frame_, "text"_a = std::to_string(day),
                                                      "width"_a = kDayWidth, "height"_a = kDayHeight,
                                                      "command"_a = partial(self.attr("_pick"), day));
            button.attr("grid")("row"_a = kFirstDayRow + slot / 7, "column"_a = slot % 7, "padx"_a = 1,
                                "pady"_a = 1);
            day_buttons_.push_back(std::move(button));
        }
        paint();
    }

    void step(const py::object& self, int delta) {
        int month = month_ + delta;
        int year = year_;
        while (month < 1) {
            month += 12;
            --year;
        }
        while (month > 12) {
            month -= 12;
            ++year;
        }
        check_year(year);
        year_ = year;
        month_ = month;
        show(self);
    }

    void pick(int day) {
        const int count = days_in_month(year_, month_);
        if (day < 1 || day > count) {
            throw py::value_error("day must be in 1.." + std::to_string(count) + ", not " +
                                  std::to_string(day));
        }
        selected_ = {year_, month_, day};
        paint();
        if (!command_.is_none()) {
            command_(get_date());
        }
    }

    void set_date(const py::object& self, const py::object& date) {
        if (date.is_none()) {
            selected_ = {};
            paint();
            return;
        }
        if (!py::isinstance(date, py::module_::import("datetime").attr("date"))) {
            throw py::type_error("set_date needs a datetime.date or None, not " +
                                 py::repr(date).cast<std::string>());
        }
        const int year = date.attr("year").cast<int>();
        const int month = date.attr("month").cast<int>();
        const int day = date.attr("day").cast<int>();
        check_month(year, month);
        year_ = year;
        month_ = month;
        selected_ = {year, month, day};
        show(self);
    }

    py::object get_date() const {
        if (selected_[0] == 0) {
            return py::none();
        }
        return py::module_::import("datetime").attr("date")(selected_[0], selected_[1], selected_[2]);
    }

    std::string title() const {
        char text[16];
        std::snprintf(text, sizeof text, "%04d-%02d", year_, month_);
        return text;
    }

    int year() const { return year_; }
    int month() const { return month_; }
    const py::object& frame() const { return frame_; }
    py::list day_buttons() const {
        py::list out;
        for (const auto& button : day_buttons_) {
            out.append(button);
        }
        return out;
    }

    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(frame_.ptr());
        Py_VISIT(font_.ptr());
        Py_VISIT(prev_.ptr());
        Py_VISIT(title_.ptr());
        Py_VISIT(next_.ptr());
        Py_VISIT(command_.ptr());
        if (int rc = visit_objects(weekday_labels_, visit, arg)) {
            return rc;
        }
        return visit_objects(day_buttons_, visit, arg);
    }

    void clear() {
        clear_objects(day_buttons_);
        clear_objects(weekday_labels_);
        clear_object(command_);
        clear_object(next_);
        clear_object(title_);
        clear_object(prev_);
        clear_object(font_);
        clear_object(frame_);
    }

  private:
    // The selected day stands out in the button colour; the others look like text.
    void paint() const {
        using namespace py::literals;
        const py::object selected_fg = theme_color("CTkButton", "fg_color");
        const py::object selected_text = theme_color("CTkButton", "text_color");
        const py::object plain_text = theme_color("CTkLabel", "text_color");
        const bool this_month = selected_[0] == year_ && selected_[1] == month_;
        const auto buttons = day_buttons_;  // configure calls back into Python
        for (std::size_t i = 0; i < buttons.size(); ++i) {
            const bool chosen = this_month && static_cast<int>(i) + 1 == selected_[2];
            buttons[i].attr("configure")("fg_color"_a = chosen ? selected_fg : py::str("transparent"),
                                         "text_color"_a = chosen ? selected_text : plain_text);
        }
    }

    int year_;
    int month_;
    std::array<int, 3> selected_{};  // year, month, day; year 0 when none
    py::object command_;
    py::object frame_ = py::none();
    py::object font_ = py::none();
    py::object prev_ = py::none();
    py::object title_ = py::none();
    py::object next_ = py::none();
    std::vector<py::object> weekday_labels_;
    std::vector<py::object> day_buttons_;
};

// What the caller holds; the view lives on as long as its buttons do.
class Calendar {
  public:
    Calendar(const py::object& master, std::optional<int> year, std::optional<int> month,
             const py::object& command) {
        if (!command.is_none() && !PyCallable_Check(command.ptr())) {
            throw py::type_error("command must be callable or None");
        }
        if (!year || !month) {
            py::object today = py::module_::import("datetime").attr("date").attr("today")();
            year = year.value_or(today.attr("year").cast<int>());
            month = month.value_or(today.attr("month").cast<int>());
        }
        view_ = py::cast(std::make_unique<CalendarView>(*year, *month, command));
        view().build(master, view_);
    }

    CalendarView& view() const { return view_.cast<CalendarView&>(); }
    const py::object& view_object() const { return view_; }

    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(view_.ptr());
        return 0;
    }

    void clear() { clear_object(view_); }

  private:
    py::object view_ = py::none();
};

}  // namespace

void register_calendar(py::module_& m) {
    py::class_<CalendarView>(m, "_CalendarView", gc_support<CalendarView>())
        .def("_step", [](py::object self, int delta) { self.cast<CalendarView&>().step(self, delta); })
        .def("_pick", &CalendarView::pick);

    py::class_<Calendar> cls(m, "CTkCalendar", gc_support<Calendar>(),
                             "A month calendar; clicking a day selects it.");
    cls.def(py::init<const py::object&, std::optional<int>, std::optional<int>, const py::object&>(),
            py::arg("master"), py::arg("year") = py::none(), py::arg("month") = py::none(), py::kw_only(),
            py::arg("command") = py::none())
        .def(
            "grid",
            [](const Calendar& self, const py::kwargs& kw) { self.view().frame().attr("grid")(**kw); },
            "Grids the calendar's frame.")
        .def(
            "pack",
            [](const Calendar& self, const py::kwargs& kw) { self.view().frame().attr("pack")(**kw); },
            "Packs the calendar's frame.")
        .def(
            "place",
            [](const Calendar& self, const py::kwargs& kw) { self.view().frame().attr("place")(**kw); },
            "Places the calendar's frame.")
        .def_property_readonly("frame", [](const Calendar& self) { return self.view().frame(); })
        .def_property_readonly("year", [](const Calendar& self) { return self.view().year(); })
        .def_property_readonly("month", [](const Calendar& self) { return self.view().month(); })
        .def_property_readonly(
            "title", [](const Calendar& self) { return self.view().title(); }, "The header text, YYYY-MM.")
        .def_property_readonly(
            "day_buttons", [](const Calendar& self) { return self.view().day_buttons(); },
            "The day buttons of the shown month, first day first.")
        .def(
            "prev_month", [](const Calendar& self) { self.view().step(self.view_object(), -1); },
            "Shows the month before.")
        .def(
            "next_month", [](const Calendar& self) { self.view().step(self.view_object(), 1); },
            "Shows the month after.")
        .def(
            "get_date", [](const Calendar& self) { return self.view().get_date(); },
            "The selected day as a datetime.date, or None.")
        .def(
            "set_date",
            [](const Calendar& self, const py::object& date) {
                self.view().set_date(self.view_object(), date);
            },
            py::arg("date"), "Selects `date` and shows its month; None clears the selection.")
        .def_static(
            "is_leap",
            [](int year) {
                check_year(year);
                return is_leap(year);
            },
            py::arg("year"))
        .def_static("days_in_month", &days_in_month, py::arg("year"), py::arg("month"))
        .def_static("first_weekday", &first_weekday, py::arg("year"), py::arg("month"),
                    "Weekday of the 1st, Monday being 0.");
    add_to_widget_model(m, "CTkCalendar", cls);
}

}  // namespace tarnwick
