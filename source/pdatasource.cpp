// The cached data source: every price series ever fetched, kept in one table mirrored to a
// file, converted and cleaned on request. The covered ranges, the file format, the load with its
// checks, the download merge, the currency conversion and the cleaning are the module's parts in
// source/pdatasource/.
#include "pdatasource/parts.hpp"

namespace velmora::pdatasource {

py::object import(const char *name) { return py::module_::import(name); }

py::object orNone(py::handle value) {
    return velmora::truthy(value) ? py::reinterpret_borrow<py::object>(value) : py::none();
}

// Symbols and currencies come from stock tables, where a missing one is none or NaN.
bool isNonEmptyText(py::handle value) { return py::isinstance<py::str>(value) && py::len(value) > 0; }

py::object todayText() { return import("datetime").attr("date").attr("today")().attr("isoformat")(); }

namespace {

py::object emptyCache() { return import("pandas").attr("DataFrame")(); }

// The cache starts from its file, and empty where there is none it can read.
void construct(const py::module_ &m, py::object self, py::object fileName, py::object rawProvider,
               py::object config) {
    self.attr("fileName") = fileName;
    self.attr("config") = config;
    bool loaded = false;
    if (velmora::truthy(fileName)) {
        try {
            self.attr("load")(fileName);
            loaded = true;
        } catch (...) {
            // A missing, damaged or foreign file only means that the prices are fetched anew.
        }
    }
    if (!loaded) {
        self.attr("cache") = emptyCache();
        setRanges(self, py::dict());
        m.attr("updateNeeded") = false;
    }
    self.attr("rawProvider") = rawProvider;
    self.attr("downloadFailures") = py::dict();
}

void load(py::object self, py::object fileName) {
    auto [cache, covered] = readCacheFile(fileName);
    self.attr("cache") = cache;
    setRanges(self, covered);
}

// A reader, or the next start after a crash, finds either the old cache or the new one, never a
// part, and every hard link of the file the new one.
void save(py::object self, py::object fileName) { writeCacheFile(self, fileName); }

// The once-per-process check that used to discard a cache reaching not far enough. A request
// now fetches what lies outside the ranges of its symbols, so the check has nothing left to do.
void update(const py::module_ &m, py::object, py::object, py::object, py::object) {
    m.attr("updateNeeded") = false;
}

// A bound of a request as a text that compares in calendar order with the table's first and last days:
// strftime writes a year before 1000 without its leading zeros. Empty for a bound that is no such text.
std::string comparableDay(py::handle bound) {
    if (!py::isinstance<py::str>(bound)) return "";
    std::string text = bound.cast<std::string>();
    const size_t dash = text.find('-');
    if (dash == 0 || dash > 4) return "";
    if (dash < 4) text.insert(0, 4 - dash, '0');
    return text;
}

bool beforeTablesFirstDay(py::handle bound) {
    std::string day = comparableDay(bound);
    return !day.empty() && day < tablesFirstDay;
}

bool afterTablesLastDay(py::handle bound) { return comparableDay(bound) > tablesLastDay; }

// The table holds no day before its first one nor after its last: a request reaching further is one
// from or to that day, so that the span fetched, the range recorded, the rates checked and the answer's
// cut are days it holds.
void cutToTablesDays(py::object &startDate, py::object &endDate) {
    if (beforeTablesFirstDay(startDate)) startDate = py::str(tablesFirstDay);
    if (afterTablesLastDay(endDate)) endDate = py::str(tablesLastDay);
}

// A request: what its symbols lack is fetched in one download and merged into the cache and its file;
// the answer is cut from the cache.
py::object doGet(const py::module_ &m, py::object self, py::object stocks, py::object startDate,
                 py::object endDate, py::object progress) {
    py::list requested = import("builtins").attr("sorted")(py::set(stocks));
    // One that ends before the table's first day or starts after its last has no prices and asks for none.
    cutToTablesDays(startDate, endDate);
    const bool outsideEveryDay = beforeTablesFirstDay(endDate) || afterTablesLastDay(startDate);
    if (!self.attr("rawProvider").is_none() && !outsideEveryDay) {
        if (velmora::truthy(m.attr("updateNeeded"))) self.attr("update")(startDate, endDate, progress);
        fetchMissing(m, self, requested, startDate, endDate, progress);
    }
    py::object cache = self.attr("cache");
    py::set cached(cache.attr("columns"));
    py::list available;
    for (py::handle symbol : requested)
        if (cached.contains(symbol)) available.append(symbol);
    py::object rows = import("builtins").attr("slice")(orNone(startDate), orNone(endDate));
    if (outsideEveryDay) {
        cache = cache.attr("iloc")[py::slice(0, 0, 1)];
        rows = import("builtins").attr("slice")(py::none());
    }
    return cache.attr("loc")[py::make_tuple(rows, available)].attr("copy")();
}

py::object queryStocks(py::object self, py::object search) {
    py::object rawProvider = self.attr("rawProvider");
    if (rawProvider.is_none()) return py::none();
    return rawProvider.attr("queryStocks")(search);
}

// The retrieval the providers call: one symbol, a list of symbols, or a stock table whose prices are
// converted into `currency` where one is given; cleaned on request.
py::object get(const py::module_ &m, py::object self, py::object stocks, py::object startDate,
               py::object endDate, py::object progress, py::object currency, py::object cleaned,
               py::object partial) {
    self.attr("downloadFailures") = py::dict();
    cutToTablesDays(startDate, endDate);
    if (py::isinstance<py::str>(stocks)) {
        py::list single;
        single.append(stocks);
        py::object prices = self.attr("doGet")(single, startDate, endDate, progress);
        if (velmora::truthy(cleaned)) prices = clean(self, prices, partial);
        return prices[stocks];
    }
    py::object prices = py::isinstance(stocks, import("pandas").attr("DataFrame"))
                            ? stockTablePrices(m, self, stocks, startDate, endDate, progress, currency)
                            : self.attr("doGet")(stocks, startDate, endDate, progress);
    if (velmora::truthy(cleaned)) prices = clean(self, prices, partial);
    return prices;
}

// The failure of a request whose target currency has no exchange rates; `currency` names it.
void defineExchangeRateError(py::module_ &m) {
    velmora::makeClass(m, "ExchangeRateError", py::make_tuple(py::handle(PyExc_KeyError)));
}

void defineCachedDataSource(py::module_ &m) {
    py::object source = velmora::makeClass(m, "CachedDataSource");
    const py::module_ &module = m;  // the module-first overloads take the module as const
    velmora::constructor(source, module, &construct, "fileName"_a = py::none(), "rawProvider"_a = py::none(),
                         "config"_a = py::none());
    velmora::method(source, "load", &load, "fileName"_a);
    velmora::method(source, "save", &save, "fileName"_a);
    velmora::method(source, "update", module, &update, "startDate"_a = py::none(), "endDate"_a = py::none(),
                    "progress"_a = py::none());
    velmora::method(source, "doGet", module, &doGet, "stocks"_a, "startDate"_a = py::none(),
                    "endDate"_a = py::none(), "progress"_a = py::none());
    velmora::method(source, "queryStocks", &queryStocks, "search"_a);
    velmora::method(source, "get", module, &get, "stocks"_a, "startDate"_a = py::none(),
                    "endDate"_a = py::none(), "progress"_a = py::none(), "currency"_a = py::none(),
                    "cleaned"_a = false, "partial"_a = false);
}

}  // namespace

}  // namespace velmora::pdatasource

PYBIND11_MODULE(pdatasource, m) {
    // True until the once-per-process check of the cache has run.
    m.attr("updateNeeded") = true;
    m.attr("logger") = py::module_::import("logging").attr("getLogger")(m.attr("__name__"));
    velmora::pdatasource::defineExchangeRateError(m);
    velmora::pdatasource::defineCachedDataSource(m);
}
