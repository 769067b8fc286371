// The cached data source: every price series ever fetched, kept in one table mirrored to a file, converted and cleaned on request.
#include "pyclass.hpp"

#include <pybind11/numpy.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

py::object import(const char *name) { return py::module_::import(name); }

// Dates, file names and the target currency count as not given when none or empty text.
bool given(py::handle value) { return !value.is_none() && py::bool_(py::reinterpret_borrow<py::object>(value)); }

py::object orNone(py::handle value) { return given(value) ? py::reinterpret_borrow<py::object>(value) : py::none(); }

// Symbols and currencies come from stock tables, where a missing one is none or NaN.
bool isText(py::handle value) { return py::isinstance<py::str>(value) && py::len(value) > 0; }

py::object emptyCache() { return import("pandas").attr("DataFrame")(); }

// ---- Cache file ------------------------------------------------------------------------
//
// Four numpy arrays, one after the other: the covered range (two date texts, empty for an
// open end), the dates, the symbols and the prices with one row per symbol. Read with
// pickled data refused, the file runs no code, and the prices land in one read in the
// block that the table then uses, which makes loading about as fast as unpickling.

constexpr int fileArrays = 4;

[[noreturn]] void foreignFile(const char *why) { throw py::value_error(std::string("not a price cache file: ") + why); }

bool isArrayOf(py::handle array, const char *kind, int dimensions) {
    return array.attr("dtype").attr("kind").cast<std::string>() == kind && array.attr("ndim").cast<int>() == dimensions;
}

// Hands the opened file to `use` and closes it again, also when `use` fails.
template <typename Use>
void withFile(py::object fileName, const char *mode, Use &&use) {
    py::object file = import("io").attr("open")(fileName, mode);
    try {
        use(file);
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
}

py::object boundText(py::handle bound) { return given(bound) ? py::str(bound) : py::str(""); }

py::object boundOf(py::handle text) { return given(text) ? py::reinterpret_borrow<py::object>(text) : py::none(); }

// ---- CachedDataSource -------------------------------------------------------------------

void construct(py::module_ m, py::object self, py::object fileName, py::object rawProvider, py::object config) {
    self.attr("fileName") = fileName;
    self.attr("config") = config;
    bool loaded = false;
    if (given(fileName)) {
        try {
            self.attr("load")(fileName);
            loaded = true;
        } catch (...) {
            // A missing, damaged or foreign file only means that the prices are fetched anew.
        }
    }
    if (!loaded) {
        self.attr("cache") = emptyCache();
        self.attr("cacheStartDate") = py::none();
        self.attr("cacheEndDate") = py::none();
        m.attr("updateNeeded") = false;
    }
    self.attr("rawProvider") = rawProvider;
}

void load(py::object self, py::object fileName) {
    py::object np = import("numpy"), pd = import("pandas");
    py::list arrays;
    withFile(fileName, "rb", [&](py::object file) {
        for (int i = 0; i < fileArrays; ++i) arrays.append(np.attr("load")(file, "allow_pickle"_a = false));
    });
    py::object range = arrays[0], dates = arrays[1], symbols = arrays[2], prices = arrays[3];
    if (!isArrayOf(range, "U", 1) || py::len(range) != 2) foreignFile("no covered range");
    py::object priceType = prices.attr("dtype"), priceShape = prices.attr("shape");
    if (!isArrayOf(dates, "M", 1) || !isArrayOf(symbols, "U", 1) || !priceType.equal(np.attr("dtype")("float64")) ||
        !priceShape.equal(py::make_tuple(py::len(symbols), py::len(dates))))
        foreignFile("no price table");
    if (py::len(dates) == 0) foreignFile("no dates");
    py::object index = pd.attr("DatetimeIndex")(dates, "name"_a = "Date");
    py::object columns = pd.attr("Index")(symbols.attr("tolist")());
    // Requests are cut from the table by date slices, which need the dates in order.
    if (!index.attr("is_monotonic_increasing").cast<bool>() || !columns.attr("is_unique").cast<bool>())
        foreignFile("dates out of order or symbols repeated");
    self.attr("cache") = pd.attr("DataFrame")(prices.attr("T"), "index"_a = index, "columns"_a = columns, "copy"_a = false);
    py::list bounds = range.attr("tolist")();
    self.attr("cacheStartDate") = boundOf(bounds[0]);
    self.attr("cacheEndDate") = boundOf(bounds[1]);
}

void save(py::object self, py::object fileName) {
    py::object np = import("numpy");
    py::object cache = self.attr("cache");
    py::list arrays;
    arrays.append(np.attr("array")(py::make_tuple(boundText(self.attr("cacheStartDate")), boundText(self.attr("cacheEndDate")))));
    arrays.append(cache.attr("index").attr("to_numpy")());
    arrays.append(np.attr("array")(py::list(cache.attr("columns")), "dtype"_a = "str"));
    arrays.append(np.attr("ascontiguousarray")(cache.attr("to_numpy")("dtype"_a = "float64").attr("T")));
    withFile(fileName, "wb", [&](py::object file) {
        for (py::handle array : arrays) np.attr("save")(file, array, "allow_pickle"_a = false);
    });
}

// Run at every request, not only at the first of the process: the cache is discarded when
// the request reaches beyond the range it was fetched for, so that every request is
// answered for its whole range. A bound that is not given is not compared, and a range
// that ends before it starts asks for nothing.
void update(py::module_ m, py::object self, py::object startDate, py::object endDate) {
    m.attr("updateNeeded") = false;
    if (given(startDate) && given(endDate) && endDate < startDate) return;
    py::object cacheStartDate = self.attr("cacheStartDate"), cacheEndDate = self.attr("cacheEndDate");
    bool beyondEnd = given(endDate) && given(cacheEndDate) && endDate > cacheEndDate;
    bool beforeStart = given(startDate) && given(cacheStartDate) && startDate < cacheStartDate;
    if (!beyondEnd && !beforeStart) return;
    self.attr("cache") = emptyCache();
    self.attr("cacheStartDate") = py::none();
    self.attr("cacheEndDate") = py::none();
}

// The symbols the cache lacks are fetched for the whole range it covers, so that all its
// columns share one range.
void fetchMissing(py::module_ m, py::object self, py::list requested, py::object progress) {
    py::object cache = self.attr("cache");
    py::set cached(cache.attr("columns"));
    py::list missing;
    for (py::handle symbol : requested)
        if (!cached.contains(symbol)) missing.append(symbol);
    if (py::len(missing) == 0) return;
    py::object startDate = self.attr("cacheStartDate"), endDate = self.attr("cacheEndDate");
    velmora::debug(m.attr("logger"), [&] {
        return py::str("doGet missingStocks={} startDate={} endDate={}").format(missing, startDate, endDate);
    });
    py::object fetched = self.attr("rawProvider").attr("get")(missing, "startDate"_a = startDate, "endDate"_a = endDate,
                                                              "progress"_a = progress);
    self.attr("cache") = import("pandas").attr("merge")(cache, fetched, "left_index"_a = true, "right_index"_a = true,
                                                        "how"_a = "outer", "sort"_a = true);
    // Without a file name the cache lives in memory only, rather than failing every fetch.
    if (given(self.attr("fileName"))) self.attr("save")(self.attr("fileName"));
}

py::object doGet(py::module_ m, py::object self, py::object stocks, py::object startDate, py::object endDate,
                 py::object progress) {
    py::list requested = import("builtins").attr("sorted")(py::set(stocks));
    if (!self.attr("rawProvider").is_none()) {
        self.attr("update")(startDate, endDate, progress);
        if (self.attr("cacheStartDate").is_none()) self.attr("cacheStartDate") = startDate;
        if (self.attr("cacheEndDate").is_none()) self.attr("cacheEndDate") = endDate;
        fetchMissing(m, self, requested, progress);
    }
    py::object cache = self.attr("cache");
    py::set cached(cache.attr("columns"));
    py::list available;
    for (py::handle symbol : requested)
        if (cached.contains(symbol)) available.append(symbol);
    py::object rows = import("builtins").attr("slice")(orNone(startDate), orNone(endDate));
    return cache.attr("loc")[py::make_tuple(rows, available)].attr("copy")();
}

py::object queryStocks(py::object self, py::object search) {
    py::object rawProvider = self.attr("rawProvider");
    if (rawProvider.is_none()) return py::none();
    return rawProvider.attr("queryStocks")(search);
}

// ---- Currency conversion ----------------------------------------------------------------

// The currency of every stock by symbol; a stock without a currency text has no entry.
py::dict currenciesOf(py::object stocks) {
    py::dict currencyOf;
    if (!stocks.attr("columns").contains("Currency")) return currencyOf;
    for (py::handle row : import("builtins").attr("zip")(stocks.attr("index"), stocks["Currency"])) {
        py::object symbol = row[py::int_(0)], currency = row[py::int_(1)];
        if (isText(currency) && !currencyOf.contains(symbol)) currencyOf[symbol] = currency;
    }
    return currencyOf;
}

// Factors turning a price in each fetched currency into the target currency, by date;
// none when the target currency's own rates could not be fetched.
py::object currencyFactors(py::object self, py::dict currencyOf, size_t stockCount, py::object currency,
                           py::object startDate, py::object endDate, py::object progress) {
    py::set currencies(currencyOf.attr("values")());
    currencies.add(currency);
    if (!progress.is_none()) progress(py::none(), "maxValue"_a = py::len(currencies) + stockCount);
    py::object rates = self.attr("doGet")(currencies, startDate, endDate, progress);
    if (!progress.is_none()) progress(py::none(), "addValue"_a = py::len(currencies));
    rates = rates.attr("interpolate")();
    if (!rates.attr("columns").contains(currency)) return py::none();
    py::object toTarget = rates[currency].attr("copy")();
    return rates.attr("rtruediv")(toTarget, "axis"_a = 0);
}

// A stock without a currency, or whose currency has no rates, is left out and logged, so
// that the caller reports it as missing while the other stocks go on.
py::object convertPrices(py::module_ m, py::object prices, py::dict currencyOf, py::object factors, py::object currency) {
    py::object logger = m.attr("logger");
    py::list kept, factorColumns;
    for (py::handle symbol : prices.attr("columns")) {
        if (!currencyOf.contains(symbol)) {
            logger.attr("error")("Cannot convert %s: no currency", symbol);
            continue;
        }
        py::object stockCurrency = currencyOf[symbol];
        if (factors.is_none() || !factors.attr("columns").contains(stockCurrency)) {
            logger.attr("error")("Cannot convert %s: no exchange rate for %s", symbol,
                                 factors.is_none() ? currency : stockCurrency);
            continue;
        }
        kept.append(symbol);
        factorColumns.append(stockCurrency);
    }
    py::object selected = prices[kept];
    if (py::len(kept) == 0) return selected;
    py::object factorBlock = factors[factorColumns].attr("reindex")(prices.attr("index")).attr("to_numpy")();
    return selected.attr("__mul__")(factorBlock);
}

py::object stockTablePrices(py::module_ m, py::object self, py::object stocks, py::object startDate, py::object endDate,
                            py::object progress, py::object currency) {
    bool convert = given(currency);
    py::dict currencyOf;
    py::object factors = py::none();
    if (convert) {
        currencyOf = currenciesOf(stocks);
        factors = currencyFactors(self, currencyOf, py::len(stocks), currency, startDate, endDate, progress);
    }
    // A row without a symbol text cannot be fetched; the caller reports it as missing.
    py::list symbols;
    for (py::handle symbol : stocks["Symbol"])
        if (isText(symbol)) symbols.append(symbol);
    py::object prices = self.attr("doGet")(symbols, startDate, endDate, progress);
    return convert ? convertPrices(m, prices, currencyOf, factors, currency) : prices;
}

// ---- Cleaning ---------------------------------------------------------------------------

// Negative prices, outliers beyond the sigma-clip bounds, infinities and zeros become gaps,
// column by column, since the bounds of a column depend on its own values only.
py::object clipValues(py::object prices, double low, double high) {
    py::object sigmaclip = import("scipy.stats").attr("sigmaclip");
    // A copy in column order: every column is one stretch of memory, changed in place.
    py::array_t<double, py::array::f_style> values(
        import("numpy").attr("array")(prices.attr("to_numpy")("dtype"_a = "float64"), "order"_a = "F"));
    const py::ssize_t rows = values.shape(0), columns = values.shape(1);
    double *data = values.mutable_data();
    constexpr double gap = std::numeric_limits<double>::quiet_NaN();
    for (py::ssize_t j = 0; j < columns; ++j) {
        double *column = data + j * rows;
        bool finite = true;
        for (py::ssize_t i = 0; i < rows; ++i) {
            if (column[i] < 0.0) column[i] = 0.0;
            finite = finite && std::isfinite(column[i]);
        }
        // A column with a gap or an infinity has undefined bounds: nothing in it is clipped.
        if (finite && rows > 0) {
            py::array_t<double> view({rows}, {static_cast<py::ssize_t>(sizeof(double))}, column, values);
            py::tuple bounds = sigmaclip(view, low, high);
            double lower = bounds[1].cast<double>(), upper = bounds[2].cast<double>();
            for (py::ssize_t i = 0; i < rows; ++i)
                if (column[i] < lower || column[i] > upper) column[i] = gap;
        }
        for (py::ssize_t i = 0; i < rows; ++i)
            if (std::isinf(column[i]) || column[i] == 0.0) column[i] = gap;
    }
    return import("pandas").attr("DataFrame")(values, "index"_a = prices.attr("index"), "columns"_a = prices.attr("columns"),
                                              "copy"_a = false);
}

py::object clean(py::object self, py::object prices, bool partial) {
    py::object data = self.attr("config")["data"];
    prices = clipValues(prices, py::float_(data["sigmaClipLow"]), py::float_(data["sigmaClipHigh"]));
    prices = prices.attr("dropna")("how"_a = "all");
    prices = prices.attr("interpolate")("limit_area"_a = "inside");
    prices = prices.attr("ffill")("limit"_a = 10);
    prices = prices.attr("bfill")("limit"_a = 10);
    if (!partial) prices = prices.attr("dropna")("axis"_a = 1, "how"_a = "any");
    return prices;
}

py::object get(py::module_ m, py::object self, py::object stocks, py::object startDate, py::object endDate,
               py::object progress, py::object currency, bool cleaned, bool partial) {
    if (py::isinstance<py::str>(stocks)) {
        py::list single;
        single.append(stocks);
        py::object prices = self.attr("doGet")(single, startDate, endDate, progress);
        if (cleaned) prices = clean(self, prices, partial);
        return prices[stocks];
    }
    py::object prices = py::isinstance(stocks, import("pandas").attr("DataFrame"))
                            ? stockTablePrices(m, self, stocks, startDate, endDate, progress, currency)
                            : self.attr("doGet")(stocks, startDate, endDate, progress);
    if (cleaned) prices = clean(self, prices, partial);
    return prices;
}

void defineCachedDataSource(py::module_ &m) {
    py::object source = velmora::makeClass(m, "CachedDataSource");
    velmora::constructor(source, [m](py::object self, py::object fileName, py::object rawProvider, py::object config) {
        construct(m, self, fileName, rawProvider, config);
    }, "fileName"_a = py::none(), "rawProvider"_a = py::none(), "config"_a = py::none());
    velmora::method(source, "load", &load, "fileName"_a);
    velmora::method(source, "save", &save, "fileName"_a);
    velmora::method(source, "update", [m](py::object self, py::object startDate, py::object endDate, py::object) {
        update(m, self, startDate, endDate);
    }, "startDate"_a = py::none(), "endDate"_a = py::none(), "progress"_a = py::none());
    velmora::method(source, "doGet", [m](py::object self, py::object stocks, py::object startDate, py::object endDate,
                                         py::object progress) { return doGet(m, self, stocks, startDate, endDate, progress); },
                    "stocks"_a, "startDate"_a = py::none(), "endDate"_a = py::none(), "progress"_a = py::none());
    velmora::method(source, "queryStocks", &queryStocks, "search"_a);
    velmora::method(source, "get", [m](py::object self, py::object stocks, py::object startDate, py::object endDate,
                                       py::object progress, py::object currency, bool cleaned, bool partial) {
        return get(m, self, stocks, startDate, endDate, progress, currency, cleaned, partial);
    }, "stocks"_a, "startDate"_a = py::none(), "endDate"_a = py::none(), "progress"_a = py::none(),
                    "currency"_a = py::none(), "cleaned"_a = false, "partial"_a = false);
}

}  // namespace

PYBIND11_MODULE(pdatasource, m) {
    // True until the first range check of the process has run.
    m.attr("updateNeeded") = true;
    m.attr("logger") = py::module_::import("logging").attr("getLogger")(m.attr("__name__"));
    defineCachedDataSource(m);
}
