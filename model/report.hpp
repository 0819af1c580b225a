// A report run: the output command sends one request to the worker, and the
// progress monitor shows the worker's messages, one per timer tick.
#pragma once

#include "area.hpp"
#include "host.hpp"

#include <memory>

namespace lumivar {

// The progress monitor's period, in milliseconds.
constexpr int kTickMs = 500;

class ReportRun : public std::enable_shared_from_this<ReportRun> {
  public:
    // `parameters_owner` is the window's Parameters instance, read at each press.
    ReportRun(py::dict g, Host host, py::object parameters_owner, py::object set_table, py::object set_button,
              py::object textbox);

    Commands commands();
    void add_buttons(const ButtonBar& bar) const;
    // Wraps the monitor with the logger; its first tick comes `kTickMs` after
    // the event loop starts.
    void start_monitor(const py::object& app);

    void button_event_001();
    void aa();

  private:
    py::object end() const;  // the text box's end index
    void write(const py::object& text) const;

    py::dict g_;
    Host host_;
    py::object parameters_owner_;
    py::object set_table_;
    py::object set_button_;
    py::object textbox_;
    py::object app_;
    py::object monitor_;  // the monitor as the timer sees it
};

}  // namespace lumivar
