// The stock selection the user left behind, read once at start and published as `initialStocks`.
#include "pyclass.hpp"

#include <string>

namespace {

constexpr const char *currentFile = "data/config/current.stocks";

py::object utils() { return py::module_::import("utils"); }

// Older files map symbol -> security name, without currency and in no particular order.
py::list legacyRecords(py::dict stocks) {
    py::list records;
    for (py::handle pair : py::module_::import("builtins").attr("sorted")(stocks.attr("items")())) {
        py::dict record;
        record["Symbol"] = pair[py::int_(0)];
        record["Security Name"] = pair[py::int_(1)];
        records.append(record);
    }
    return records;
}

// `understood` tells a file that could not be read from a failure after the reading.
py::object readSelection(const py::module_ &m, py::object self, bool &understood) {
    py::object document = utils().attr("readSelectionFile")(currentFile);
    py::object stocks = document["stocks"];
    if (py::isinstance<py::dict>(stocks)) stocks = legacyRecords(stocks);
    velmora::debug(m.attr("logger"), [] { return std::string("Using save configuration"); });
    py::object table = utils().attr("selectionStocks")(stocks);
    py::object title = utils().attr("selectionTitle")(document);
    understood = true;
    self.attr("config")["selectionTitle"] = title;
    self.attr("providerManager").attr("setTitle")(currentFile, title);
    return table;
}

// The first name beside the selection file that nothing holds: a second damaged file does not replace
// the first one's, which the user may not have looked at yet.
std::string freeDamagedName(py::module_ os) {
    std::string kept = std::string(currentFile) + ".damaged";
    for (int number = 2; velmora::truthy(os.attr("path").attr("lexists")(kept)); ++number)
        kept = std::string(currentFile) + ".damaged-" + std::to_string(number);
    return kept;
}

// The close-time save writes the selection to this file: one the start could not read (damaged, or a
// folder or a pipe in its place) is put aside first, so that what the user can still recover from it is
// not overwritten unread and the save can make the file.
std::string keptAside(const py::module_ &m) {
    py::module_ os = py::module_::import("os");
    if (!velmora::truthy(os.attr("path").attr("lexists")(currentFile))) return "";
    std::string kept = freeDamagedName(os);
    try {
        os.attr("replace")(currentFile, kept);
    } catch (py::error_already_set &error) {
        m.attr("logger").attr("error")("Keeping %s aside failed: %s", currentFile, error.value());
        return "";
    }
    return kept;
}

// A selection that cannot be read must not stop the start: the user begins with an empty one.
void construct(const py::module_ &m, py::object self, py::object config, py::object providerManager,
               py::kwargs kws) {
    velmora::super(m.attr("CurrentProvider"), self).attr("__init__")(config, **kws);
    self.attr("providerManager") = providerManager;
    py::object table;
    bool understood = false;
    try {
        table = readSelection(m, self, understood);
    } catch (...) {
        std::string message = std::string("Loading stocklist from ") + currentFile;
        std::string kept = understood ? "" : keptAside(m);
        if (!kept.empty()) message += ", kept as " + kept;
        velmora::logFailure(m, message.c_str());
        table = utils().attr("selectionStocks")(py::list());
    }
    self["initialStocks"] = table.attr("sort_index")();
}

void defineCurrentProvider(py::module_ &m) {
    py::object cls =
        velmora::makeClass(m, "CurrentProvider", py::make_tuple(velmora::classOf("provider", "Provider")));
    cls.attr("key") = "current";
    velmora::constructor(cls, std::as_const(m), &construct, "config"_a, "providerManager"_a = py::none());
}

}  // namespace

PYBIND11_MODULE(current, m) {
    m.attr("logger") = py::module_::import("logging").attr("getLogger")("current");
    defineCurrentProvider(m);
}
