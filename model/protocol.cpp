// GUI._protocol: the shared texts of protocol.hpp, for the host's own copy to
// be checked against.
#include "protocol.hpp"
#include "gui.hpp"

namespace lumivar {

void register_protocol(py::module_& m) {
    using namespace protocol;
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
    m.attr("_protocol") = py::module_::import("types").attr("MappingProxyType")(texts);
}

}  // namespace lumivar
