// The host's side of one window: the two mappings of named queues and events
// handed to GUI, and whether anyone is listening at all.
#pragma once

#include "gui.hpp"

namespace lumivar {

// True while the module runs as the program's main module (the stand-alone
// trial), where the mappings are placeholders and nothing is sent.
bool runs_as_main(const py::dict& g);

class Host {
  public:
    Host(py::object queues, py::object events, bool trial);

    // False in the stand-alone trial: requests and end signals are not sent.
    bool connected() const { return !trial_; }

    // The queue or event of that name, looked up at each use.
    py::object queue(const char* key) const;
    py::object event(const char* key) const;

    // Tells the worker that the window has closed and no request will follow.
    void send_end_signals() const;

  private:
    py::object queues_;
    py::object events_;
    bool trial_;
};

}  // namespace lumivar
