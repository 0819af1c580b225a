#include "report.hpp"

#include "look.hpp"
#include "protocol.hpp"
#include "settings.hpp"

#include <utility>

using namespace pybind11::literals;

namespace lumivar {

namespace {

using namespace protocol;

constexpr const char* kButton = kIdleLabel;  // the button's name is its idle label

// str(x): a text subclass is converted too, so its own + or __str__ is honoured
// exactly as the interpreter's str() does (py::str would keep it as it is).
py::object text_of(const py::object& value) {
    PyObject* text = PyObject_Str(value.ptr());
    if (!text) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(text);
}

}  // namespace

ReportRun::ReportRun(py::dict g, Host host, py::object parameters_owner, py::object set_table,
                     py::object set_button, py::object textbox)
    : g_(std::move(g)),
      host_(std::move(host)),
      parameters_owner_(std::move(parameters_owner)),
      set_table_(std::move(set_table)),
      set_button_(std::move(set_button)),
      textbox_(std::move(textbox)) {}

Commands ReportRun::commands() {
    return {{"button_event_001",
             bind_command(shared_from_this(), &ReportRun::button_event_001, "button_event_001")}};
}

void ReportRun::add_buttons(const ButtonBar& bar) const {
    bar.add_button(bar.frames.command_panel, "button_event"_a = bar.logged["button_event_001"],
                   "button_name"_a = kButton, "text"_a = kIdleLabel,
                   "size"_a = py::make_tuple(look::kIconSize, look::kIconSize), "padx"_a = 50, "pady"_a = 10,
                   "sticky"_a = "", "width"_a = look::kOutputWidth);
}

void ReportRun::start_monitor(const py::object& app) {
    app_ = app;
    monitor_ = global(g_, "try_except_log")(bind_command(shared_from_this(), &ReportRun::aa, "aa"));
    app_.attr("after")(kTickMs, monitor_);
}

py::object ReportRun::end() const { return global(g_, "tkinter").attr("END"); }

void ReportRun::write(const py::object& text) const { textbox_.attr("insert")(end(), text); }

void ReportRun::button_event_001() {
    py::object busy = host_.event(kBusy);
    // A press during a running report must not end that report's busy state;
    // when the event cannot tell, the press counts as the one that set it.
    bool was_busy = false;
    catch_ordinary_error([&] { was_busy = py::bool_(busy.attr("is_set")()); });
    busy.attr("set")();

    // From here on a request of this press that does not reach the queue must
    // not leave the button animating as if a report were running.
    bool sent = false;
    auto withdraw_busy = [&] {
        if (!sent && !was_busy) discard_errors([&] { busy.attr("clear")(); });
    };

    py::dict sss;
    try {
        sss[py::str(kTemplatePath)] = set_table_.attr("get")(kTemplatePath);
        sss[py::str(kPatentPath)] = set_table_.attr("get")(kPatentPath);
        py::object parameters = parameters_owner_.attr("parameters");
        for (const char* key : {kSizeRatio, kCjkFont, kLatinFont})
            sss[py::str(key)] = parameters[py::str(key)];
    } catch (...) {
        withdraw_busy();
        throw;
    }

    py::object error;
    try {
        error = catch_ordinary_error([&] {
            if (host_.connected()) {
                host_.queue(kRequests).attr("put")(sss);
                sent = true;
            }
            textbox_.attr("delete")("1.0", end());
            write(py::str(kHeader));
        });
    } catch (...) {
        withdraw_busy();
        throw;
    }
    if (error) {
        if (host_.connected()) withdraw_busy();
        textbox_.attr("insert")(end(), kErrorLine, "red_tag");
        write(py::str(error) + py::str("\n"));
    }
    discard_errors([&] { textbox_.attr("tag_config")("red_tag", "foreground"_a = "red"); });
}

void ReportRun::aa() {
    // Label: animate while busy, show the idle label otherwise.
    discard_errors([&] {
        py::object busy = host_.event(kBusy);
        auto label = [&] { return set_button_.attr("cget")(kButton, "text"); };
        auto show = [&](const char* text) { set_button_.attr("configure")(kButton, "text"_a = text); };
        if (busy.attr("is_set")().equal(py::bool_(true))) {
            if (label().equal(py::str(kBusyLabels[0]))) {
                show(kBusyLabels[1]);
            } else if (label().equal(py::str(kBusyLabels[1]))) {
                show(kBusyLabels[2]);
            } else if (label().equal(py::str(kBusyLabels[2]))) {
                show(kBusyLabels[0]);
            } else {
                show(kBusyLabels[0]);
            }
        } else if (busy.attr("is_set")().equal(py::bool_(false))) {
            show(kIdleLabel);
        }
    });

    // Message: at most one per tick, taken only when the queue reports one.
    discard_errors([&] {
        py::object messages = host_.queue(kMessages);
        if (messages.attr("empty")().equal(py::bool_(false))) {
            py::object PAPN = messages.attr("get")();
            if (PAPN.not_equal(py::str(kMarker))) {
                write(text_of(PAPN) + py::str("\n"));
            } else {
                write(py::str(kDone));
                host_.event(kBusy).attr("clear")();
            }
        }
    });

    app_.attr("after")(kTickMs, monitor_);
}

void register_rules(py::module_& m) {
    // The press and tick rules and the ratio's reading, with whatever stands
    // in for the widgets and the timer: a test needs no window for them.
    py::dict g = m.attr("__dict__");
    py::class_<ReportRun, std::shared_ptr<ReportRun>>(m, "_ReportRun", py::module_local())
        .def(py::init([g](py::object queues, py::object events, py::object parameters_owner,
                          py::object set_table, py::object set_button, py::object textbox) {
                 return std::make_shared<ReportRun>(g, Host(std::move(queues), std::move(events), false),
                                                    std::move(parameters_owner), std::move(set_table),
                                                    std::move(set_button), std::move(textbox));
             }),
             py::arg("queues"), py::arg("events"), py::arg("parameters_owner"), py::arg("set_table"),
             py::arg("set_button"), py::arg("textbox"))
        .def("press", &ReportRun::button_event_001, "What a press of the output button does.")
        .def("start", &ReportRun::start_monitor, py::arg("app"), "Arms the first tick on `app`'s timer.")
        .def("tick", &ReportRun::aa, "One tick of the progress monitor.");
    m.attr("_ratio_from_text") = py::cpp_function(&ratio_from_text, py::arg("text"));
}

}  // namespace lumivar
