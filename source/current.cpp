// The stock selection the user left behind, read once at start and published as `initialStocks`.
#include "pyclass.hpp"

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

// Files written before titles were kept as text hold an empty object where no title was
// given; the selection then has the empty title.
py::object titleOf(py::dict document) {
    if (!document.contains("selectionTitle")) return py::str("");
    py::object title = document["selectionTitle"];
    if (py::isinstance<py::str>(title)) return title;
    return velmora::truthy(title) ? py::object(py::str(title)) : py::object(py::str(""));
}

py::object readSelection(const py::module_ &m, py::object self) {
    py::object document = utils().attr("readSelectionFile")(currentFile);
    py::object stocks = document["stocks"];
    if (py::isinstance<py::dict>(stocks)) stocks = legacyRecords(stocks);
    velmora::debug(m.attr("logger"), [] { return std::string("Using save configuration"); });
    py::object table = utils().attr("selectionStocks")(stocks);
    py::object title = titleOf(document);
    self.attr("config")["selectionTitle"] = title;
    self.attr("providerManager").attr("setTitle")(currentFile, title);
    return table;
}

// A selection that cannot be read must not stop the start: the user begins with an empty one.
void construct(const py::module_ &m, py::object self, py::object config, py::object providerManager,
               py::kwargs kws) {
    velmora::super(m.attr("CurrentProvider"), self).attr("__init__")(config, **kws);
    self.attr("providerManager") = providerManager;
    py::object table;
    try {
        table = readSelection(m, self);
    } catch (...) {
        velmora::logFailure(m, "Loading stocklist");
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
