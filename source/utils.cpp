// The stock table in the form in which it is shown and exported, and as it is read from a selection file.
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

// A link to a device or a named pipe would hang the start, and a huge file would fill the memory.
// The limit lies far above any selection the program writes, since one that the program saved and
// then refused would leave the user an empty selection: 20,000 stocks with long accented names take
// some 5 MiB in the file's indented, escaped form.
constexpr long long selectionFileLimit = 64LL << 20;

// The JSON document of a selection file; the tokens NaN and Infinity are read as numbers.
py::object readSelectionFile(py::object path) {
    return velmora::within(velmora::openRegularFile(path, "r", selectionFileLimit),
                           [](py::object file) { return py::module_::import("json").attr("load")(file); });
}

py::object emptySelection() {
    py::list columns;
    for (const char *column : {"Symbol", "Security Name"}) columns.append(column);
    return py::module_::import("pandas").attr("DataFrame")("columns"_a = columns);
}

// A selection file may have been received or damaged: the rows sort, show and are written
// back by symbol and name, so a file that cannot give them is refused here, before it can
// stop the start or reach the next one through the close-time save.
// A lone surrogate escape ("\ud800") is valid JSON but no character: the table cannot show such a
// text and the selection file cannot be written with it.
bool writableText(py::handle value) {
    if (!py::isinstance<py::str>(value)) return true;
    Py_ssize_t size = 0;
    if (PyUnicode_AsUTF8AndSize(value.ptr(), &size) != nullptr) return true;
    PyErr_Clear();
    return false;
}

// A cell holds a text, a number or nothing: a list or an object in it breaks the table's sorting,
// its duplicates and the chart of the row.
bool plainCell(py::handle value) {
    return value.is_none() || py::isinstance<py::str>(value) || py::isinstance<py::int_>(value) ||
           py::isinstance<py::float_>(value);
}

bool plainRecord(py::dict record) {
    for (auto member : record)
        if (!plainCell(member.second)) return false;
    return true;
}

bool writableRecord(py::dict record) {
    for (auto member : record)
        if (!writableText(member.first) || !writableText(member.second)) return false;
    return true;
}

void checkRecords(py::object records) {
    if (!py::isinstance<py::list>(records))
        velmora::raise(PyExc_ValueError, "the stocks are no list of records");
    for (py::handle record : records) {
        if (!py::isinstance<py::dict>(record))
            velmora::raise(PyExc_ValueError, "a stock is no record: " + velmora::reprOf(record));
        if (!plainRecord(py::reinterpret_borrow<py::dict>(record)))
            velmora::raise(PyExc_ValueError,
                           "a stock has a value that is no text or number: " + velmora::reprOf(record));
        if (!writableRecord(py::reinterpret_borrow<py::dict>(record)))
            velmora::raise(PyExc_ValueError, "a stock has a text that is no Unicode: " + velmora::reprOf(record));
        if (!record.contains("Security Name"))
            velmora::raise(PyExc_ValueError, "a stock has no security name: " + velmora::reprOf(record));
        if (!record.contains("Symbol") || !py::isinstance<py::str>(record["Symbol"]))
            velmora::raise(PyExc_ValueError, "a stock has no text symbol: " + velmora::reprOf(record));
    }
}

// The selection tab's title field takes this many characters.
constexpr py::ssize_t titleLimit = 64;

// The title of a selection file's document. Files written before titles were kept as text hold
// an empty object where no title was given; a value that is no text, that one or any other, is no
// title, rather than its printed form ("nan") shown and written back as the title. A longer title
// than the field takes is cut to it: the title is the file's, which no configuration check may refuse.
py::object selectionTitle(py::object document) {
    if (!document.contains("selectionTitle")) return py::str("");
    py::object title = document["selectionTitle"];
    if (!py::isinstance<py::str>(title)) return py::str("");
    if (!writableText(title)) velmora::raise(PyExc_ValueError, "the selection title is no Unicode text");
    return title[py::slice(0, titleLimit, 1)];
}

// The stock table of a selection's records, indexed by symbol with the column kept; the
// empty list is the empty selection.
py::object selectionStocks(py::object records) {
    checkRecords(records);
    py::object stocks =
        py::len(records) == 0 ? emptySelection() : py::module_::import("pandas").attr("DataFrame")(records);
    normalizeCurrencies(stocks);
    return stocks.attr("set_index")("Symbol", "drop"_a = false);
}

}  // namespace

PYBIND11_MODULE(utils, m) {
    m.def("dspStocks", &dspStocks, "stocks"_a);
    m.def("currencySymbol", &currencySymbol, "currency"_a);
    m.def("normalizeCurrencies", &normalizeCurrencies, "stocks"_a);
    m.def("readSelectionFile", &readSelectionFile, "path"_a);
    m.def("selectionStocks", &selectionStocks, "records"_a);
    m.def("selectionTitle", &selectionTitle, "document"_a);
}
