// A report run: the output command sends one request to the worker, and the
// progress monitor shows the worker's messages, one per timer tick.
#include "window.hpp"

#include "protocol.hpp"

using namespace pybind11::literals;

namespace lumivar {

namespace {

using namespace protocol;

constexpr const char* kButton = kIdleLabel;  // the button's name is its idle label
constexpr const char* kBusy1 = kBusyLabels[0];
constexpr const char* kBusy2 = kBusyLabels[1];
constexpr const char* kBusy3 = kBusyLabels[2];

// Python's == and != with the interpreter's own rules.
bool equals(const py::object& a, const py::object& b) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool differs(const py::object& a, const py::object& b) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_NE);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// str(x): a text subclass is converted too, so its own + or __str__ is honoured
// exactly as the interpreter's str() does.
py::object text_of(const py::object& value) {
    PyObject* text = PyObject_Str(value.ptr());
    if (!text) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(text);
}

py::object end_index(const py::dict& g) { return global(g, "tkinter").attr("END"); }

}  // namespace

void Window::button_event_001() {
    py::object busy = Event_All_variable[py::str(kBusy)];
    // A press during a running report must not end that report's busy state;
    // when the event cannot tell, the press counts as the one that set it.
    bool was_busy = false;
    catch_exception([&] { was_busy = truthy(busy.attr("is_set")()); });
    busy.attr("set")();

    // From here on a request of this press that does not reach the queue must
    // not leave the button animating as if a report were running.
    bool sent = false;
    auto withdraw_busy = [&] {
        if (!sent && !was_busy) discard_errors([&] { busy.attr("clear")(); });
    };

    py::dict sss;
    try {
        sss[py::str(kTemplatePath)] = set_table.attr("get")(kTemplatePath);
        sss[py::str(kPatentPath)] = set_table.attr("get")(kPatentPath);
        py::object parameters = PP.attr("parameters");
        for (const char* key : {kSizeRatio, kCjkFont, kLatinFont}) sss[py::str(key)] = parameters[py::str(key)];
    } catch (...) {
        withdraw_busy();
        throw;
    }

    py::object error;
    try {
        error = catch_exception([&] {
            if (!running_as_main(g)) {
                Queue_All_variable[py::str(kRequests)].attr("put")(sss);
                sent = true;
            }
            textbox.attr("delete")("1.0", end_index(g));
            textbox.attr("insert")(end_index(g), kHeader);
        });
    } catch (...) {
        withdraw_busy();
        throw;
    }
    if (error) {
        if (!sent && !running_as_main(g)) withdraw_busy();
        textbox.attr("insert")(end_index(g), kErrorLine, "red_tag");
        textbox.attr("insert")(end_index(g), concat(py::str(error), py::str("\n")));
    }
    discard_errors([&] { textbox.attr("tag_config")("red_tag", "foreground"_a = "red"); });
}

void Window::aa() {
    // Label: animate while busy, show the idle label otherwise.
    discard_errors([&] {
        py::object busy = Event_All_variable[py::str(kBusy)];
        auto label = [&] { return set_button.attr("cget")(kButton, "text"); };
        auto show = [&](const char* text) { set_button.attr("configure")(kButton, "text"_a = text); };
        if (equals(busy.attr("is_set")(), py::bool_(true))) {
            if (equals(label(), py::str(kBusy1))) {
                show(kBusy2);
            } else if (equals(label(), py::str(kBusy2))) {
                show(kBusy3);
            } else if (equals(label(), py::str(kBusy3))) {
                show(kBusy1);
            } else {
                show(kBusy1);
            }
        } else if (equals(busy.attr("is_set")(), py::bool_(false))) {
            show(kIdleLabel);
        }
    });

    // Message: at most one per tick, taken only when the queue reports one.
    discard_errors([&] {
        py::object messages = Queue_All_variable[py::str(kMessages)];
        if (equals(messages.attr("empty")(), py::bool_(false))) {
            py::object PAPN = messages.attr("get")();
            if (differs(PAPN, py::str(kMarker))) {
                textbox.attr("insert")(end_index(g), concat(text_of(PAPN), py::str("\n")));
            } else {
                textbox.attr("insert")(end_index(g), kDone);
                Event_All_variable[py::str(kBusy)].attr("clear")();
            }
        }
    });

    app.attr("after")(kTickMs, aa_wrapped);
}

}  // namespace lumivar
