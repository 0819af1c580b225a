#include "host.hpp"

#include "protocol.hpp"

#include <utility>

namespace lumivar {

bool runs_as_main(const py::dict& g) {
    PyObject* name = PyDict_GetItemString(g.ptr(), "__name__");  // borrowed
    return name && PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "__main__") == 0;
}

Host::Host(py::object queues, py::object events, bool trial)
    : queues_(std::move(queues)), events_(std::move(events)), trial_(trial) {}

py::object Host::queue(const char* key) const { return queues_[py::str(key)]; }

py::object Host::event(const char* key) const { return events_[py::str(key)]; }

void Host::send_end_signals() const {
    if (!connected()) return;
    queue(protocol::kEnd).attr("put")(py::none());
    event(protocol::kEnd).attr("set")();
    queue(protocol::kRequests).attr("put")(py::none());
}

}  // namespace lumivar
