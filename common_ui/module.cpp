// The compiled core of the common widget package.
#include "common.hpp"

PYBIND11_MODULE(_core, m) {
    m.doc() = "Common customtkinter components and the handler wrapper that logs failures.";
    tarnwick::register_set_table(m);
    tarnwick::register_set_button(m);
    tarnwick::register_entry_table(m);
    tarnwick::register_calendar(m);
    tarnwick::register_try_except(m);
}
