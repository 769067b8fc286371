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

// Yahoo's currency lookup answers bare ISO codes ("EUR"), and selections saved after such a
// lookup hold them; the currency conversion knows a currency only as "EUR.FOREX".
py::object currencySymbol(py::handle currency) {
    py::object value = py::reinterpret_borrow<py::object>(currency);
    if (!py::isinstance<py::str>(currency) || py::len(currency) == 0) return value;
    if (value.attr("endswith")(".FOREX").cast<bool>()) return value;
    return value + py::str(".FOREX");
}

// In place, on the stock table's own column.
void normalizeCurrencies(py::object stocks) {
    if (!stocks.attr("columns").contains("Currency")) return;
    stocks["Currency"] = stocks["Currency"].attr("map")(py::cpp_function(&currencySymbol));
}

}  // namespace

PYBIND11_MODULE(utils, m) {
    m.def("dspStocks", &dspStocks, "stocks"_a);
    m.def("currencySymbol", &currencySymbol, "currency"_a);
    m.def("normalizeCurrencies", &normalizeCurrencies, "stocks"_a);
}
