// The settings dialog: fonts and text-size ratio of the report.
#pragma once

#include "area.hpp"
#include "paths.hpp"

#include <memory>

namespace lumivar {

// The entered percentage as a ratio, stored as typed: zero, negative,
// infinite and NaN values too (the worker decides what a report can use).
// Unreadable text gives the integer 1.
py::object ratio_from_text(const py::object& text);

class SettingsDialog : public std::enable_shared_from_this<SettingsDialog> {
  public:
    // `parameters_owner` is the window's Parameters instance.
    SettingsDialog(py::dict g, Paths paths, py::object parameters_owner);

    Commands commands();
    void add_buttons(const ButtonBar& bar) const;

    // Opens one dialog; its confirm button (button_event_004_A) stores the choices.
    void button_event_004();

  private:
    struct Dialog;
    void confirm(const Dialog& dialog) const;

    py::dict g_;
    Paths paths_;
    py::object parameters_owner_;
};

}  // namespace lumivar
