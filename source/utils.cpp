// The stock table in the form in which it is shown and exported.
#include "pyclass.hpp"

namespace {

// "USD.FOREX" shows as USD. A currency that is missing or not a text shows empty, so
// that one stock of unknown currency does not break the display of all the others.
py::object shortCurrency(py::handle currency) {
    if (!py::isinstance<py::str>(currency)) return py::str("");
    return py::reinterpret_borrow<py::str>(currency)[py::slice(0, 3, 1)];
}

py::object dspStocks(py::object stocks) {
    py::object shown = stocks.attr("copy")("deep"_a = true);
    if (!shown.attr("columns").contains("Currency")) return shown;
    py::list displayed;
    for (const char *column : {"Symbol", "Security Name", "Currency"}) displayed.append(column);
    shown = shown[displayed];
    shown["Currency"] = shown["Currency"].attr("map")(py::cpp_function(&shortCurrency));
    return shown;
}

}  // namespace

PYBIND11_MODULE(utils, m) { m.def("dspStocks", &dspStocks, "stocks"_a); }
