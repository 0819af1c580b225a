// The small commands of the icon buttons: clear, file pickers, working
// folder, web page and copyright notice.
#pragma once

#include "area.hpp"
#include "paths.hpp"

#include <memory>

namespace lumivar {

class Toolbar : public std::enable_shared_from_this<Toolbar> {
  public:
    Toolbar(py::dict g, Paths paths, py::object set_table);

    Commands commands();
    void add_buttons(const ButtonBar& bar);

    void button_event_003();    // clears both paths
    void button_event_005();    // shows the working folder
    void button_event_006();    // picks the template workbook
    void button_event_007();    // picks the patent workbook
    void button_event_008();    // opens the product's web page
    void button_event_003_B();  // opens the copyright notice

  private:
    void choose_file(const char* entry_name);

    py::dict g_;
    Paths paths_;
    py::object set_table_;
};

}  // namespace lumivar
