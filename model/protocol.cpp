// GUI._protocol: the shared texts of protocol.hpp, for the host's own copy to
// be checked against, and under WINDOW every text the window shows, for the
// tests to read instead of spelling them again.
#include "protocol.hpp"

#include "gui.hpp"

namespace lumivar {

namespace {

template <std::size_t N>
py::tuple texts_of(const char* const (&items)[N]) {
    py::tuple out(N);
    for (std::size_t i = 0; i < N; ++i) out[i] = py::str(items[i]);
    return out;
}

}  // namespace

void register_protocol(py::module_& m) {
    using namespace protocol;
    py::object readonly = py::module_::import("types").attr("MappingProxyType");
    py::dict window;
    window["IDLE_LABEL"] = kIdleLabel;
    window["BUSY_LABELS"] = texts_of(kBusyLabels);
    window["HEADER"] = kHeader;
    window["DONE_LINE"] = kDone;
    window["ERROR_LINE"] = kErrorLine;
    window["TITLE"] = kTitle;
    window["UNUSED_OPTION"] = kUnusedOption;
    window["PICK_TITLE"] = kPickTitle;
    window["SETTINGS_TITLE"] = kSettingsTitle;
    window["LATIN_FONT_LABEL"] = kLatinFontLabel;
    window["CJK_FONT_LABEL"] = kCjkFontLabel;
    window["RATIO_LABEL"] = kRatioLabel;
    window["CONFIRM_LABEL"] = kConfirmLabel;
    window["FONT_CHOICES"] = texts_of(kFontChoices);
    window["WORKBOOK_PREFIX"] = kWorkbookPrefix;
    window["NOTICE_PREFIX"] = kNoticePrefix;
    window["OPEN_PREFIX"] = kOpenPrefix;

    py::dict texts;
    texts["REQUESTS"] = kRequests;
    texts["RECEIPTS"] = kMessages;
    texts["BUSY"] = kBusy;
    texts["END"] = kEnd;
    texts["DONE"] = kMarker;
    texts["REQUEST_KEYS"] = py::make_tuple(kTemplatePath, kPatentPath, kSizeRatio, kCjkFont, kLatinFont);
    texts["DEFAULT_RATIO"] = kDefaultRatio;
    texts["DEFAULT_CJK_FONT"] = kDefaultCjkFont;
    texts["DEFAULT_LATIN_FONT"] = kDefaultLatinFont;
    texts["WINDOW"] = readonly(window);
    m.attr("_protocol") = readonly(texts);
}

}  // namespace lumivar
