// One call of GUI(...): the window and the parts it is composed of. The host's
// channels and the platform's paths are decided once here and handed to the
// areas (the report run, the toolbar, the settings dialog), each of which
// holds only what it uses and makes its own commands and buttons.
#pragma once

#include "area.hpp"
#include "host.hpp"
#include "paths.hpp"
#include "report.hpp"
#include "settings.hpp"
#include "toolbar.hpp"

#include <memory>

namespace lumivar {

class Window {
  public:
    Window(py::dict g, py::object queues, py::object events);
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    // Builds the window, runs its event loop and sends the end signals.
    void run();

  private:
    void build();
    void prepare_working_folder() const;
    void make_main_window();
    void make_frames();
    void make_logo_band() const;
    void make_option_menu() const;
    void connect_areas();
    void close_if_open();

    py::dict g_;  // the module's global names
    Host host_;
    Paths paths_;

    py::object parameters_owner_;  // PP
    py::object set_button_;
    py::object app_;
    py::object icon_;  // the window icon's image, alive as long as the window
    Frames frames_;
    py::object textbox_;
    py::object set_table_;

    std::shared_ptr<ReportRun> report_;
    std::shared_ptr<Toolbar> toolbar_;
    std::shared_ptr<SettingsDialog> settings_;
};

}  // namespace lumivar
