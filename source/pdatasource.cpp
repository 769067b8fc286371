// The cached data source: every price series ever fetched, kept in one table mirrored to a file, converted and cleaned on request.
#include "pyclass.hpp"

#include <pybind11/numpy.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace {

// The file keeps, beside the prices, the date range that the cache was fetched for, so
// that a later process knows which requests it can answer without asking the service.
constexpr const char *coveredRangeKey = "coveredRange";

py::object import(const char *name) { return py::module_::import(name); }

// Dates and file names count as not given when they are none or empty text.
bool given(py::handle value) {
    if (value.is_none()) return false;
    int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth == 1;
}

py::object orNone(py::handle value) { return given(value) ? py::reinterpret_borrow<py::object>(value) : py::none(); }

bool isDateText(py::handle value) {
    if (!py::isinstance<py::str>(value)) return false;
    std::string text = value.cast<std::string>();
    if (text.size() != 10) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        bool dash = i == 4 || i == 7;
        if (dash ? text[i] != '-' : (text[i] < '0' || text[i] > '9')) return false;
    }
    return true;
}

py::object emptyCache() {
    py::object pd = import("pandas");
    return pd.attr("DataFrame")("index"_a = pd.attr("DatetimeIndex")(py::list(), "name"_a = "Date"));
}

py::object sorted(py::handle iterable) { return import("builtins").attr("sorted")(iterable); }

// ---- Cache file ------------------------------------------------------------------------
//
// One Arrow IPC file holding a single row: the dates, the symbols and all prices as one
// column-major block. Reading it runs no code, and the block lands in the table's memory
// layout in one read, which a file of one column per symbol cannot do.

py::list fileColumns() {
    py::list names;
    for (const char *name : {"Date", "Symbol", "Prices"}) names.append(name);
    return names;
}

[[noreturn]] void foreignFile(const char *why) { throw py::value_error(std::string("not a price cache file: ") + why); }

void checkSchema(py::object table) {
    py::object types = import("pyarrow.types");
    py::object schema = table.attr("schema");
    if (!py::list(schema.attr("names")).equal(fileColumns())) foreignFile("unexpected columns");
    py::object dateType = schema.attr("field")("Date").attr("type");
    py::object symbolType = schema.attr("field")("Symbol").attr("type");
    py::object priceType = schema.attr("field")("Prices").attr("type");
    bool sound = types.attr("is_list")(dateType).cast<bool>() &&
                 types.attr("is_timestamp")(dateType.attr("value_type")).cast<bool>() &&
                 dateType.attr("value_type").attr("tz").is_none() &&
                 types.attr("is_list")(symbolType).cast<bool>() &&
                 types.attr("is_string")(symbolType.attr("value_type")).cast<bool>() &&
                 types.attr("is_large_list")(priceType).cast<bool>() &&
                 types.attr("is_float64")(priceType.attr("value_type")).cast<bool>();
    if (!sound) foreignFile("unexpected column types");
    if (table.attr("num_rows").cast<long long>() != 1) foreignFile("unexpected number of rows");
    for (py::handle name : fileColumns())
        if (table.attr("column")(name).attr("num_chunks").cast<long long>() != 1) foreignFile("split columns");
}

py::tuple readCoveredRange(py::object table) {
    py::object metadata = table.attr("schema").attr("metadata");
    py::bytes key(coveredRangeKey);
    if (metadata.is_none() || !metadata.contains(key)) foreignFile("no covered range");
    py::object range = import("json").attr("loads")(metadata[key]);
    if (!py::isinstance<py::list>(range) || py::len(range) != 2) foreignFile("bad covered range");
    for (py::handle bound : range)
        if (!bound.is_none() && !isDateText(bound)) foreignFile("bad covered range");
    return py::make_tuple(range[py::int_(0)], range[py::int_(1)]);
}

// The whole file in writable memory that is not cleared first: the read fills it anyway.
py::object readWhole(py::object fileName) {
    py::object file = import("builtins").attr("open")(fileName, "rb");
    try {
        py::object size = import("os").attr("fstat")(file.attr("fileno")()).attr("st_size");
        py::object data = import("numpy").attr("empty")(size, "dtype"_a = "uint8");
        if (!file.attr("readinto")(data).equal(size)) throw py::value_error("cache file changed while read");
        file.attr("close")();
        return data;
    } catch (...) {
        file.attr("close")();
        throw;
    }
}

// The prices as a writable array over the bytes read: the block is used where it lies,
// without the copy that Arrow's read-only view would force on the first change.
py::object priceBlock(py::object data, py::object prices) {
    py::object np = import("numpy");
    auto count = py::len(prices);
    if (prices.attr("null_count").cast<long long>() == 0 && count > 0) {
        auto base = import("pyarrow").attr("py_buffer")(data).attr("address").cast<std::uintptr_t>();
        auto address = prices.attr("buffers")()[py::int_(1)].attr("address").cast<std::uintptr_t>() +
                       prices.attr("offset").cast<std::uintptr_t>() * sizeof(double);
        auto end = address + count * sizeof(double);
        if (address >= base && end <= base + py::len(data))
            return np.attr("frombuffer")(data, "dtype"_a = "float64", "count"_a = count, "offset"_a = address - base);
    }
    return np.attr("array")(prices.attr("to_numpy")("zero_copy_only"_a = false), "dtype"_a = "float64");
}

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
    py::object pd = import("pandas");
    py::object data = readWhole(fileName);
    py::object table = import("pyarrow.ipc").attr("open_file")(import("pyarrow").attr("py_buffer")(data)).attr("read_all")();
    checkSchema(table);
    py::tuple range = readCoveredRange(table);
    py::object dates = table.attr("column")("Date").attr("chunk")(0).attr("flatten")();
    py::object symbols = table.attr("column")("Symbol").attr("chunk")(0).attr("flatten")();
    py::object prices = table.attr("column")("Prices").attr("chunk")(0).attr("flatten")();
    auto rows = py::len(dates), columns = py::len(symbols);
    if (rows == 0) foreignFile("no dates");
    if (dates.attr("null_count").cast<long long>() != 0 || symbols.attr("null_count").cast<long long>() != 0)
        foreignFile("missing dates or symbols");
    py::list names = symbols.attr("to_pylist")();
    if (py::len(py::set(names)) != columns) foreignFile("repeated symbols");
    if (py::len(prices) != rows * columns) foreignFile("prices do not fit dates and symbols");

    py::object block = priceBlock(data, prices).attr("reshape")(columns, rows);
    py::object index = pd.attr("DatetimeIndex")(dates.attr("to_numpy")(), "name"_a = "Date");
    // Requests are cut from the table by date slices, which need one row per date, in order.
    if (!index.attr("is_monotonic_increasing").cast<bool>() || !index.attr("is_unique").cast<bool>())
        foreignFile("dates out of order");
    py::object cache = pd.attr("DataFrame")(block.attr("T"), "index"_a = index, "columns"_a = pd.attr("Index")(names),
                                            "copy"_a = false);
    self.attr("cache") = cache;
    self.attr("cacheStartDate") = range[0];
    self.attr("cacheEndDate") = range[1];
}

py::object coveredBound(py::object bound) { return given(bound) ? py::object(py::str(bound)) : py::object(py::none()); }

void save(py::object self, py::object fileName) {
    py::object pa = import("pyarrow"), np = import("numpy"), pd = import("pandas"), os = import("os");
    py::object cache = self.attr("cache");
    py::object index = pd.attr("DatetimeIndex")(cache.attr("index"));
    if (!index.attr("tz").is_none()) index = index.attr("tz_localize")(py::none());
    auto rows = py::len(index), columns = py::len(cache.attr("columns"));
    py::list names;
    for (py::handle column : cache.attr("columns")) names.append(py::str(column));
    py::object values =
        np.attr("ascontiguousarray")(cache.attr("to_numpy")("dtype"_a = "float64").attr("T")).attr("reshape")(-1);

    auto offsets = [&pa](size_t length, const char *type) {
        return pa.attr("array")(py::make_tuple(0, length), "type"_a = pa.attr(type)());
    };
    py::dict columnsByName;
    columnsByName["Date"] = pa.attr("ListArray").attr("from_arrays")(offsets(rows, "int32"), pa.attr("array")(index.attr("to_numpy")()));
    columnsByName["Symbol"] = pa.attr("ListArray").attr("from_arrays")(offsets(columns, "int32"),
                                                                       pa.attr("array")(names, "type"_a = pa.attr("string")()));
    columnsByName["Prices"] = pa.attr("LargeListArray").attr("from_arrays")(offsets(rows * columns, "int64"), pa.attr("array")(values));
    py::dict metadata;
    metadata[coveredRangeKey] = import("json").attr("dumps")(
        py::make_tuple(coveredBound(self.attr("cacheStartDate")), coveredBound(self.attr("cacheEndDate"))));
    py::object table = pa.attr("table")(columnsByName, "metadata"_a = metadata);

    // Written beside the file and then put in its place, so that a failed write leaves the
    // previous cache readable instead of a torn file.
    py::object path = os.attr("fspath")(fileName);
    py::object directory = os.attr("path").attr("dirname")(os.attr("path").attr("abspath")(path));
    os.attr("makedirs")(directory, "exist_ok"_a = true);
    py::tuple temporary = import("tempfile").attr("mkstemp")(
        "dir"_a = directory, "prefix"_a = py::str(os.attr("path").attr("basename")(path)) + py::str("."), "suffix"_a = ".tmp");
    os.attr("close")(temporary[0]);
    py::object temporaryName = temporary[1];
    try {
        py::object sink = pa.attr("OSFile")(temporaryName, "wb");
        try {
            py::object writer = import("pyarrow.ipc").attr("new_file")(sink, table.attr("schema"));
            writer.attr("write_table")(table);
            writer.attr("close")();
        } catch (...) {
            sink.attr("close")();
            throw;
        }
        sink.attr("close")();
        os.attr("replace")(temporaryName, path);
    } catch (...) {
        try {
            os.attr("remove")(temporaryName);
        } catch (py::error_already_set &) {
        }
        throw;
    }
}

// A request reaches beyond the cache when part of its range lies outside the range the
// cache was fetched for. A bound that is not given is not compared, and a range that
// ends before it starts asks for nothing.
bool reachesBeyond(py::object self, py::object startDate, py::object endDate) {
    if (given(startDate) && given(endDate) && endDate < startDate) return false;
    py::object cacheStartDate = self.attr("cacheStartDate"), cacheEndDate = self.attr("cacheEndDate");
    if (given(endDate) && given(cacheEndDate) && endDate > cacheEndDate) return true;
    return given(startDate) && given(cacheStartDate) && startDate < cacheStartDate;
}

void update(py::module_ m, py::object self, py::object startDate, py::object endDate, py::object progress) {
    m.attr("updateNeeded") = false;
    if (!reachesBeyond(self, startDate, endDate)) return;
    self.attr("cache") = emptyCache();
    self.attr("cacheStartDate") = py::none();
    self.attr("cacheEndDate") = py::none();
}

// The raw source's answer joined into the cache; none when it delivered nothing new.
py::object mergeFetched(py::object cache, py::object fetched, py::set wanted) {
    py::object pd = import("pandas");
    py::list delivered;
    for (py::handle column : fetched.attr("columns"))
        if (wanted.contains(column)) delivered.append(column);
    if (py::len(delivered) == 0) return py::none();
    fetched = fetched[delivered].attr("astype")("float64");
    py::object index = pd.attr("DatetimeIndex")(fetched.attr("index"));
    // The exchange's own calendar date is what counts; a zone would not mix with the cache.
    if (!index.attr("tz").is_none()) index = index.attr("tz_localize")(py::none());
    fetched = fetched.attr("set_axis")(index.attr("rename")("Date"), "axis"_a = 0);
    fetched = fetched[index.attr("duplicated")("keep"_a = "last").attr("__invert__")()];
    py::object merged = py::len(cache.attr("columns")) == 0
                            ? fetched.attr("sort_index")()
                            : pd.attr("merge")(cache, fetched, "left_index"_a = true, "right_index"_a = true, "how"_a = "outer",
                                               "sort"_a = true);
    return merged.attr("rename_axis")("Date");
}

py::object doGet(py::module_ m, py::object self, py::object stocks, py::object startDate, py::object endDate,
                 py::object progress) {
    py::set requested(stocks);
    py::object rawProvider = self.attr("rawProvider");
    if (!rawProvider.is_none()) {
        // Checked at every request, not only at the first of the process: a request reaching
        // beyond the covered range would otherwise get part of its range only.
        self.attr("update")(startDate, endDate, progress);
        py::set cached(self.attr("cache").attr("columns"));
        py::list missing;
        for (py::handle symbol : sorted(requested))
            if (!cached.contains(symbol)) missing.append(symbol);
        if (self.attr("cacheStartDate").is_none()) self.attr("cacheStartDate") = startDate;
        if (self.attr("cacheEndDate").is_none()) self.attr("cacheEndDate") = endDate;
        if (py::len(missing) > 0) {
            velmora::debug(m.attr("logger"), [&] {
                return py::str("doGet missingStocks={} startDate={} endDate={}")
                    .format(missing, self.attr("cacheStartDate"), self.attr("cacheEndDate"));
            });
            py::object fetched = rawProvider.attr("get")(missing, "startDate"_a = self.attr("cacheStartDate"),
                                                         "endDate"_a = self.attr("cacheEndDate"), "progress"_a = progress);
            py::object merged = mergeFetched(self.attr("cache"), fetched, py::set(missing));
            if (!merged.is_none()) {
                self.attr("cache") = merged;
                // Without a file name the cache lives in memory only, rather than failing every fetch.
                if (given(self.attr("fileName"))) self.attr("save")(self.attr("fileName"));
            }
        }
    }
    py::object cache = self.attr("cache");
    py::set cachedColumns(cache.attr("columns"));
    py::list available;
    for (py::handle symbol : sorted(requested))
        if (cachedColumns.contains(symbol)) available.append(symbol);
    py::object rows = import("builtins").attr("slice")(orNone(startDate), orNone(endDate));
    return cache.attr("loc")[py::make_tuple(rows, available)].attr("copy")();
}

py::object queryStocks(py::object self, py::object search) {
    py::object rawProvider = self.attr("rawProvider");
    if (rawProvider.is_none()) return py::none();
    return rawProvider.attr("queryStocks")(search);
}

// ---- Currency conversion ----------------------------------------------------------------

// Factors turning a price in each fetched currency into the target currency, by date;
// none when the target currency's own rates could not be fetched.
py::object currencyFactors(py::object self, py::object stocks, py::object currency, py::object startDate,
                           py::object endDate, py::object progress) {
    py::set currencies;
    currencies.add(currency);
    if (stocks.attr("columns").contains("Currency"))
        for (py::handle value : stocks["Currency"].attr("unique")())
            if (py::isinstance<py::str>(value) && given(value)) currencies.add(value);
    if (!progress.is_none()) progress(py::none(), "maxValue"_a = py::len(currencies) + py::len(stocks));
    py::object rates = self.attr("doGet")(sorted(currencies), startDate, endDate, progress);
    if (!progress.is_none()) progress(py::none(), "addValue"_a = py::len(currencies));
    rates = rates.attr("interpolate")();
    if (!rates.attr("columns").contains(currency)) return py::none();
    py::object toTarget = rates[currency].attr("copy")();
    return rates.attr("rtruediv")(toTarget, "axis"_a = 0);
}

// A stock without a currency, or whose currency has no rates, is left out and logged, so
// that the caller reports it as missing while the other stocks go on.
py::object convertPrices(py::module_ m, py::object prices, py::object stocks, py::object factors, py::object currency) {
    py::dict currencyOf;
    if (stocks.attr("columns").contains("Currency")) {
        py::object builtins = import("builtins");
        for (py::handle pair : builtins.attr("zip")(stocks.attr("index"), stocks["Currency"])) {
            py::object symbol = pair[py::int_(0)];
            if (!currencyOf.contains(symbol)) currencyOf[symbol] = pair[py::int_(1)];
        }
    }
    py::list kept, factorColumns;
    for (py::handle symbol : prices.attr("columns")) {
        py::object stockCurrency = currencyOf.contains(symbol) ? py::object(currencyOf[symbol]) : py::object(py::none());
        if (!py::isinstance<py::str>(stockCurrency) || !given(stockCurrency)) {
            m.attr("logger").attr("error")("Cannot convert %s: no currency", symbol);
            continue;
        }
        if (factors.is_none() || !factors.attr("columns").contains(stockCurrency)) {
            m.attr("logger").attr("error")("Cannot convert %s: no exchange rate for %s", symbol,
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

// ---- Cleaning ---------------------------------------------------------------------------

// Negative prices, outliers beyond the sigma-clip bounds, infinities and zeros become gaps.
// Per column, since the bounds of a column depend on its own values only.
py::object clipValues(py::object prices, double low, double high) {
    py::object np = import("numpy"), pd = import("pandas");
    py::object sigmaclip = import("scipy.stats").attr("sigmaclip");
    auto values = py::array_t<double, py::array::f_style>::ensure(
        np.attr("array")(prices.attr("to_numpy")("dtype"_a = "float64"), "order"_a = "F"));
    if (!values) throw py::error_already_set();
    const py::ssize_t rows = values.shape(0), columns = values.ndim() > 1 ? values.shape(1) : 0;
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
    return pd.attr("DataFrame")(values, "index"_a = prices.attr("index"), "columns"_a = prices.attr("columns"),
                                "copy"_a = false);
}

py::object clean(py::object self, py::object prices, bool partial) {
    py::object data = self.attr("config")["data"];
    double low = py::float_(data["sigmaClipLow"]), high = py::float_(data["sigmaClipHigh"]);
    prices = clipValues(prices, low, high);
    prices = prices.attr("dropna")("how"_a = "all");
    prices = prices.attr("interpolate")("limit_area"_a = "inside");
    prices = prices.attr("ffill")("limit"_a = 10);
    prices = prices.attr("bfill")("limit"_a = 10);
    if (!partial) prices = prices.attr("dropna")("axis"_a = 1, "how"_a = "any");
    return prices;
}

py::object get(py::module_ m, py::object self, py::object stocks, py::object startDate, py::object endDate,
               py::object progress, py::object currency, py::object cleanedFlag, py::object partialFlag) {
    bool cleaned = given(cleanedFlag), partial = given(partialFlag);
    if (py::isinstance<py::str>(stocks)) {
        py::list single;
        single.append(stocks);
        py::object prices = self.attr("doGet")(single, startDate, endDate, progress);
        if (cleaned) prices = clean(self, prices, partial);
        return prices[stocks];
    }
    py::object prices;
    if (py::isinstance(stocks, import("pandas").attr("DataFrame"))) {
        bool convert = given(currency);
        py::object factors = py::none();
        if (convert) factors = currencyFactors(self, stocks, currency, startDate, endDate, progress);
        // A row without a symbol text cannot be fetched; the caller reports it as missing.
        py::list symbols;
        for (py::handle symbol : stocks["Symbol"])
            if (py::isinstance<py::str>(symbol)) symbols.append(symbol);
        prices = self.attr("doGet")(symbols, startDate, endDate, progress);
        if (convert) prices = convertPrices(m, prices, stocks, factors, currency);
    } else {
        prices = self.attr("doGet")(stocks, startDate, endDate, progress);
    }
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
    velmora::method(source, "update", [m](py::object self, py::object startDate, py::object endDate, py::object progress) {
        update(m, self, startDate, endDate, progress);
    }, "startDate"_a = py::none(), "endDate"_a = py::none(), "progress"_a = py::none());
    velmora::method(source, "doGet", [m](py::object self, py::object stocks, py::object startDate, py::object endDate,
                                         py::object progress) { return doGet(m, self, stocks, startDate, endDate, progress); },
                    "stocks"_a, "startDate"_a = py::none(), "endDate"_a = py::none(), "progress"_a = py::none());
    velmora::method(source, "queryStocks", &queryStocks, "search"_a);
    velmora::method(source, "get", [m](py::object self, py::object stocks, py::object startDate, py::object endDate,
                                       py::object progress, py::object currency, py::object cleaned, py::object partial) {
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
