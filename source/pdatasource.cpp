// The cached data source: every price series ever fetched, kept in one table mirrored to a
// file, converted and cleaned on request.
#include "pyclass.hpp"

#include <pybind11/numpy.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>

namespace {

py::object import(const char *name) { return py::module_::import(name); }

py::object orNone(py::handle value) {
    return velmora::truthy(value) ? py::reinterpret_borrow<py::object>(value) : py::none();
}

// Symbols and currencies come from stock tables, where a missing one is none or NaN.
bool isNonEmptyText(py::handle value) { return py::isinstance<py::str>(value) && py::len(value) > 0; }

py::object emptyCache() { return import("pandas").attr("DataFrame")(); }

// ---- Covered ranges ----------------------------------------------------------------------
//
// Every symbol has the range of dates it was fetched for, (first, last) as texts, none for an
// open end, so that a request fetches only what lies outside it. The ranges are kept apart
// from the table because a range may begin or end on a day without trading.

using Range = std::pair<py::object, py::object>;

// Date texts compare in calendar order; none is the open end on its side.
bool startsBefore(py::handle a, py::handle b) { return velmora::truthy(b) && (!velmora::truthy(a) || a < b); }
bool endsAfter(py::handle a, py::handle b) { return velmora::truthy(b) && (!velmora::truthy(a) || a > b); }

// A symbol without a range of its own (set into the table from outside) has the cache's.
Range rangeOf(py::object self, py::handle symbol) {
    py::dict ranges = self.attr("cacheRanges");
    if (ranges.contains(symbol)) {
        py::tuple range = ranges[symbol];
        return {range[0], range[1]};
    }
    return {self.attr("cacheStartDate"), self.attr("cacheEndDate")};
}

// The cache's covered range is the hull of its symbols' ranges.
void setRanges(py::object self, py::dict ranges) {
    self.attr("cacheRanges") = ranges;
    py::object first = py::none(), last = py::none();
    bool any = false;
    for (auto item : ranges) {
        py::tuple range = py::reinterpret_borrow<py::tuple>(item.second);
        if (!any || startsBefore(range[0], first)) first = range[0];
        if (!any || endsAfter(range[1], last)) last = range[1];
        any = true;
    }
    self.attr("cacheStartDate") = orNone(first);
    self.attr("cacheEndDate") = orNone(last);
}

// The raw sources leave out the first day of every download, and Yahoo's the last one too, so
// a range is widened by fetching from a few days inside it: the days lost at the seam are
// ones the cache already holds.
constexpr int seamDays = 7;

py::object shifted(py::object day, int days) {
    py::object datetime = import("datetime");
    py::object parsed = datetime.attr("date").attr("fromisoformat")(day);
    return (parsed + datetime.attr("timedelta")("days"_a = days)).attr("isoformat")();
}

// ---- Cache file ------------------------------------------------------------------------
//
// Four numpy arrays, one after the other: the covered ranges (one row of two date texts per
// symbol, empty for an open end; a file of the first form holds one range for all symbols),
// the dates, the symbols and the prices with one row per symbol. Read with pickled data
// refused, the file runs no code, and the prices land in one read in the block that the
// table then uses, which makes loading about as fast as unpickling.
//
// A fifth array holds the SHA-256 digest of the four. Damage that leaves well-formed
// values (a zeroed block of prices, zeroed range bounds that read as an open range, one flipped
// digit of a date) passes every check of the values and would be served for good; with the digest
// the file is read as no cache and healed by the next download. Files written before the digest
// was kept are read as they always were and gain one at their next write.

constexpr int fileArrays = 4;

[[noreturn]] void foreignFile(const char *why) {
    throw py::value_error(std::string("not a price cache file: ") + why);
}

bool isArrayOf(py::handle array, const char *kind, int dimensions) {
    return array.attr("dtype").attr("kind").cast<std::string>() == kind &&
           array.attr("ndim").cast<int>() == dimensions;
}

// Hands the opened file to `use` and closes it again, also when `use` fails.
template <typename Use>
void withFile(py::object file, Use &&use) {
    try {
        use(file);
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
}

// The SHA-256 digest of the arrays: the type and shape of each, then its bytes, taken where they
// lie in memory rather than read from the file again.
py::bytes digestOf(py::list arrays) {
    py::object np = import("numpy"), digest = import("hashlib").attr("sha256")();
    for (py::handle array : arrays) {
        py::object contiguous = np.attr("ascontiguousarray")(array);
        py::object form =
            py::str("{}{}").format(contiguous.attr("dtype").attr("str"), contiguous.attr("shape"));
        digest.attr("update")(form.attr("encode")());
        digest.attr("update")(contiguous.attr("reshape")(-1).attr("view")("uint8"));
    }
    return digest.attr("digest")();
}

// Reads the digest that follows the arrays, if the file has one, and holds it against them.
void checkDigest(py::object file, py::list arrays) {
    if (py::len(file.attr("read")(1)) == 0) return;
    file.attr("seek")(-1, 1);
    py::object stored = import("numpy").attr("load")(file, "allow_pickle"_a = false);
    // A header that states a few bytes too few shifts what follows it; the bytes it leaves over
    // are what betrays it.
    if (py::len(file.attr("read")(1)) != 0) foreignFile("bytes after the digest");
    bool matches = isArrayOf(stored, "u", 1) && py::bytes(stored.attr("tobytes")()).equal(digestOf(arrays));
    if (!matches) foreignFile("the digest does not match the prices");
}

py::object boundText(py::handle bound) { return velmora::truthy(bound) ? py::str(bound) : py::str(""); }

// A bound is a date text "YYYY-MM-DD", or empty for an open end; one damaged byte makes it a text
// that no request can be compared with.
bool readableBound(py::handle bound) {
    if (py::len(bound) == 0) return true;
    try {
        py::object day = import("datetime").attr("date").attr("fromisoformat")(bound);
        return day.attr("isoformat")().equal(bound);
    } catch (py::error_already_set &) {
        return false;
    }
}

// Downloads record coverage up to today at most, and a range never ends before it starts: any
// other range comes from damage, and trusted it would keep the symbol from being fetched for good.
bool readableRange(py::list range, py::handle today) {
    py::object first = range[0], last = range[1];
    if (!readableBound(first) || !readableBound(last)) return false;
    bool open = py::len(first) == 0 || py::len(last) == 0;
    return (py::len(last) == 0 || last <= today) && (open || first <= last);
}

// Prices are positive, or missing where there was no trading: a negative or infinite one is
// damage, which the cleaning of a request would hide while the cache kept it for good.
py::list damagedPrices(py::object prices) {
    py::object np = import("numpy");
    py::object wrong = np.attr("logical_or")(np.attr("isinf")(prices), np.attr("less")(prices, 0.0));
    return wrong.attr("any")("axis"_a = 1).attr("tolist")();
}

// A symbol damaged in the file can name no series a request asks for.
bool readableSymbol(py::handle symbol) {
    return isNonEmptyText(symbol) && velmora::truthy(symbol.attr("isprintable")());
}

// No real cache comes near this size; a larger file, like a device or a pipe, is not read.
constexpr long long cacheFileLimit = 64LL << 20;

// ---- CachedDataSource -------------------------------------------------------------------

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
    py::object np = import("numpy"), pd = import("pandas");
    py::list arrays;
    withFile(velmora::openRegularFile(fileName, "rb", cacheFileLimit), [&](py::object file) {
        for (int i = 0; i < fileArrays; ++i) arrays.append(np.attr("load")(file, "allow_pickle"_a = false));
        checkDigest(file, arrays);
    });
    py::object ranges = arrays[0], dates = arrays[1], symbols = arrays[2], prices = arrays[3];
    py::object priceType = prices.attr("dtype"), priceShape = prices.attr("shape");
    if (!isArrayOf(dates, "M", 1) || !isArrayOf(symbols, "U", 1) ||
        !priceType.equal(np.attr("dtype")("float64")) ||
        !priceShape.equal(py::make_tuple(py::len(symbols), py::len(dates))))
        foreignFile("no price table");
    py::object rangeShape = ranges.attr("shape");
    bool oneRange = isArrayOf(ranges, "U", 1) && py::len(ranges) == 2;
    if (!oneRange && !(isArrayOf(ranges, "U", 2) && rangeShape.equal(py::make_tuple(py::len(symbols), 2))))
        foreignFile("no covered range");
    if (py::len(dates) == 0) foreignFile("no dates");
    py::object index = pd.attr("DatetimeIndex")(dates, "name"_a = "Date");
    py::list names = symbols.attr("tolist")();
    py::object columns = pd.attr("Index")(names);
    // Requests are cut from the table by date slices, which need the dates in order; prices are
    // quoted by day, so a date off midnight or twice in the file is damage that the rewrite after
    // the next fetch would otherwise keep for good.
    if (!index.attr("is_monotonic_increasing").cast<bool>() || !index.attr("is_unique").cast<bool>() ||
        !columns.attr("is_unique").cast<bool>())
        foreignFile("dates out of order or symbols repeated");
    if (!index.attr("equals")(index.attr("normalize")()).cast<bool>()) foreignFile("dates off midnight");
    // A symbol whose name, range or prices cannot be read is left out, as if it had never been
    // cached: the next request for it downloads it again and rewrites the file whole.
    py::list bounds = ranges.attr("tolist")(), readable, damaged = damagedPrices(prices);
    py::object today = import("datetime").attr("date").attr("today")().attr("isoformat")();
    py::dict covered;
    for (size_t i = 0; i < names.size(); ++i) {
        py::list range = oneRange ? bounds : py::list(bounds[i]);
        bool intact = readableSymbol(names[i]) && readableRange(range, today) && !velmora::truthy(damaged[i]);
        if (!intact) continue;
        covered[names[i]] = py::make_tuple(orNone(range[0]), orNone(range[1]));
        readable.append(names[i]);
    }
    if (readable.empty()) foreignFile("no readable symbol");
    py::object cache =
        pd.attr("DataFrame")(prices.attr("T"), "index"_a = index, "columns"_a = columns, "copy"_a = false);
    self.attr("cache") = readable.size() == names.size() ? cache : py::object(cache[readable]);
    setRanges(self, covered);
}

// A reader, or the next start after a crash, finds either the old cache or the new one, never a
// part, and every hard link of the file the new one.
void save(py::object self, py::object fileName) {
    py::object np = import("numpy");
    py::object cache = self.attr("cache");
    py::list columns(cache.attr("columns")), bounds;
    for (py::handle symbol : columns) {
        Range range = rangeOf(self, symbol);
        bounds.append(py::make_tuple(boundText(range.first), boundText(range.second)));
    }
    py::list arrays;
    arrays.append(np.attr("array")(bounds, "dtype"_a = "str").attr("reshape")(-1, 2));
    arrays.append(cache.attr("index").attr("to_numpy")());
    arrays.append(np.attr("array")(columns, "dtype"_a = "str"));
    arrays.append(np.attr("ascontiguousarray")(cache.attr("to_numpy")("dtype"_a = "float64").attr("T")));
    arrays.append(np.attr("frombuffer")(digestOf(arrays), "dtype"_a = "uint8"));
    velmora::replaceWhenWritten(fileName, ".tmp", [&](py::object temporary) {
        withFile(import("io").attr("open")(temporary, "wb"), [&](py::object file) {
            for (py::handle array : arrays) np.attr("save")(file, array, "allow_pickle"_a = false);
        });
    });
}

// The once-per-process check that used to discard a cache reaching not far enough. A request
// now fetches what lies outside the ranges of its symbols, so the check has nothing left to do.
void update(const py::module_ &m, py::object, py::object, py::object, py::object) {
    m.attr("updateNeeded") = false;
}

// What a request lacks: the symbols that are not cached, or whose range does not hold the
// requested one, and the one span that covers what any of them misses.
struct Missing {
    py::list symbols;
    py::object first, last;
};

Missing missingOf(py::object self, py::list requested, py::object startDate, py::object endDate) {
    Missing missing;
    py::set cached(self.attr("cache").attr("columns"));
    auto widen = [&](py::object from, py::object to) {
        if (missing.symbols.empty() || startsBefore(from, missing.first)) missing.first = from;
        if (missing.symbols.empty() || endsAfter(to, missing.last)) missing.last = to;
    };
    for (py::handle symbol : requested) {
        if (!cached.contains(symbol)) {
            widen(orNone(startDate), orNone(endDate));
        } else {
            auto [coveredFirst, coveredLast] = rangeOf(self, symbol);
            bool before = startsBefore(startDate, coveredFirst), after = endsAfter(endDate, coveredLast);
            if (!before && !after) continue;
            widen(after && !before ? shifted(coveredLast, -seamDays) : orNone(startDate),
                  before && !after ? shifted(coveredFirst, seamDays) : orNone(endDate));
        }
        missing.symbols.append(symbol);
    }
    return missing;
}

// Merges the delivered symbols into the cache, their fresh prices winning where both have one,
// and widens their ranges by the span fetched. A symbol that was not delivered keeps its range
// and is asked for again next time.
void mergeDelivered(py::object self, py::object fetched, const Missing &missing) {
    py::object cache = self.attr("cache");
    py::set cached(cache.attr("columns"));
    py::dict ranges;
    for (py::handle symbol : cached) {
        Range range = rangeOf(self, symbol);
        ranges[symbol] = py::make_tuple(range.first, range.second);
    }
    py::list delivered;
    py::object today = import("datetime").attr("date").attr("today")().attr("isoformat")();
    for (py::handle symbol : missing.symbols) {
        if (!fetched.attr("columns").contains(symbol)) continue;
        delivered.append(symbol);
        py::object from = missing.first, to = missing.last;
        if (cached.contains(symbol)) {
            auto [coveredFirst, coveredLast] = rangeOf(self, symbol);
            if (!startsBefore(from, coveredFirst)) from = coveredFirst;
            if (!endsAfter(to, coveredLast)) to = coveredLast;
        }
        // No source knows prices beyond today: coverage recorded past it would keep a later
        // request from fetching the days that have come since.
        if (velmora::truthy(to) && to > today) to = today;
        ranges[symbol] = py::make_tuple(orNone(from), orNone(to));
    }
    if (delivered.empty()) return;
    self.attr("cache") = fetched[delivered].attr("combine_first")(cache);
    setRanges(self, ranges);
    // Without a file name the cache lives in memory only, rather than failing every fetch; so does it
    // while its file cannot be written (a folder in its place, a full disk), which the log tells once.
    if (!velmora::truthy(self.attr("fileName"))) return;
    try {
        self.attr("save")(self.attr("fileName"));
    } catch (py::error_already_set &failure) {
        if (!failure.matches(PyExc_OSError)) throw;
        if (py::hasattr(self, "unwritable")) return;
        self.attr("unwritable") = true;
        py::module_::import("logging").attr("getLogger")("pdatasource").attr("error")(
            "The price cache %s cannot be written, prices are kept in memory only: %s", self.attr("fileName"),
            failure.value());
    }
}

// One download for all the symbols that lack something, over the span they miss; every other
// symbol stays as cached. A range that ends before it starts asks for nothing.
void fetchMissing(const py::module_ &m, py::object self, py::list requested, py::object startDate,
                  py::object endDate, py::object progress) {
    if (velmora::truthy(startDate) && velmora::truthy(endDate) && endDate < startDate) return;
    Missing missing = missingOf(self, requested, startDate, endDate);
    if (missing.symbols.empty()) return;
    velmora::debug(m.attr("logger"), [&] {
        return py::str("doGet missingStocks={} startDate={} endDate={}")
            .format(missing.symbols, missing.first, missing.last);
    });
    py::object rawProvider = self.attr("rawProvider");
    py::object fetched = rawProvider.attr("get")(missing.symbols, "startDate"_a = missing.first,
                                                 "endDate"_a = missing.last, "progress"_a = progress);
    self.attr("downloadFailures").attr("update")(py::getattr(rawProvider, "downloadFailures", py::dict()));
    mergeDelivered(self, fetched, missing);
}

py::object doGet(const py::module_ &m, py::object self, py::object stocks, py::object startDate,
                 py::object endDate, py::object progress) {
    py::list requested = import("builtins").attr("sorted")(py::set(stocks));
    if (!self.attr("rawProvider").is_none()) {
        if (velmora::truthy(m.attr("updateNeeded"))) self.attr("update")(startDate, endDate, progress);
        fetchMissing(m, self, requested, startDate, endDate, progress);
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
        if (isNonEmptyText(currency) && !currencyOf.contains(symbol)) currencyOf[symbol] = currency;
    }
    return currencyOf;
}

// Factors turning a price in each fetched currency into the target currency, by date.
// Without the target currency's own rates no stock can be converted, and that is no fault of
// any stock: the request fails as a whole with an `ExchangeRateError` naming the currency, so
// that the caller reports it rather than dropping every stock of the selection as missing. A
// series without a single rate in the range (an empty answer) converts nothing either.
py::object currencyFactors(const py::module_ &m, py::object self, py::dict currencyOf, size_t stockCount,
                           py::object currency, py::object startDate, py::object endDate,
                           py::object progress) {
    py::set currencies(currencyOf.attr("values")());
    currencies.add(currency);
    if (!progress.is_none()) progress(py::none(), "maxValue"_a = py::len(currencies) + stockCount);
    py::object rates = self.attr("doGet")(currencies, startDate, endDate, progress);
    if (!progress.is_none()) progress(py::none(), "addValue"_a = py::len(currencies));
    rates = rates.attr("interpolate")();
    bool noRates = !rates.attr("columns").contains(currency) ||
                   !velmora::truthy(rates[currency].attr("notna")().attr("any")());
    if (noRates) {
        py::object error = m.attr("ExchangeRateError")(py::str("no exchange rates for {}").format(currency));
        error.attr("currency") = currency;
        velmora::raise(error);
    }
    py::object toTarget = rates[currency].attr("copy")();
    return rates.attr("rtruediv")(toTarget, "axis"_a = 0);
}

// A stock without a currency, or whose currency has no rates, is left out and logged, so
// that the caller reports it as missing while the other stocks go on.
py::object convertPrices(const py::module_ &m, py::object prices, py::dict currencyOf, py::object factors) {
    py::object logger = m.attr("logger");
    py::list kept, factorColumns;
    for (py::handle symbol : prices.attr("columns")) {
        if (!currencyOf.contains(symbol)) {
            logger.attr("error")("Cannot convert %s: no currency", symbol);
            continue;
        }
        py::object stockCurrency = currencyOf[symbol];
        if (!factors.attr("columns").contains(stockCurrency)) {
            logger.attr("error")("Cannot convert %s: no exchange rate for %s", symbol, stockCurrency);
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

py::object stockTablePrices(const py::module_ &m, py::object self, py::object stocks, py::object startDate,
                            py::object endDate, py::object progress, py::object currency) {
    bool convert = velmora::truthy(currency);
    py::dict currencyOf;
    py::object factors = py::none();
    if (convert) {
        currencyOf = currenciesOf(stocks);
        factors =
            currencyFactors(m, self, currencyOf, py::len(stocks), currency, startDate, endDate, progress);
    }
    // A row without a symbol text cannot be fetched; the caller reports it as missing.
    py::list symbols;
    for (py::handle symbol : stocks["Symbol"])
        if (isNonEmptyText(symbol)) symbols.append(symbol);
    py::object prices = self.attr("doGet")(symbols, startDate, endDate, progress);
    return convert ? convertPrices(m, prices, currencyOf, factors) : prices;
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
    return import("pandas").attr("DataFrame")(values, "index"_a = prices.attr("index"),
                                              "columns"_a = prices.attr("columns"), "copy"_a = false);
}

// `cleaned` and `partial` arrive from configuration trees too, where a missing key is an empty
// node: each is taken by its truth value, as the interpreter would.
py::object clean(py::object self, py::object prices, py::object partial) {
    py::object data = self.attr("config")["data"];
    prices = clipValues(prices, py::float_(data["sigmaClipLow"]), py::float_(data["sigmaClipHigh"]));
    prices = prices.attr("dropna")("how"_a = "all");
    prices = prices.attr("interpolate")("limit_area"_a = "inside");
    prices = prices.attr("ffill")("limit"_a = 10);
    prices = prices.attr("bfill")("limit"_a = 10);
    if (!velmora::truthy(partial)) prices = prices.attr("dropna")("axis"_a = 1, "how"_a = "any");
    return prices;
}

py::object get(const py::module_ &m, py::object self, py::object stocks, py::object startDate,
               py::object endDate, py::object progress, py::object currency, py::object cleaned,
               py::object partial) {
    self.attr("downloadFailures") = py::dict();
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

PYBIND11_MODULE(pdatasource, m) {
    // True until the once-per-process check of the cache has run.
    m.attr("updateNeeded") = true;
    m.attr("logger") = py::module_::import("logging").attr("getLogger")(m.attr("__name__"));
    defineExchangeRateError(m);
    defineCachedDataSource(m);
}
