// The raw data source on Yahoo Finance's public chart and search API: price histories, symbol search and currency lookup.
#include "rawsource.hpp"

#include <cmath>
#include <ctime>

namespace {

using velmora::rawsource::guarded;

constexpr const char *baseUrlVariable = "VELMORA_YAHOO_URL";
constexpr const char *userAgent =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/133.0.0.0 "
    "Safari/537.36";

py::module_ httpx() { return py::module_::import("httpx"); }
py::module_ pandas() { return py::module_::import("pandas"); }

py::dict requestHeaders() {
    py::dict headers;
    headers["User-Agent"] = userAgent;
    return headers;
}

void construct(py::module_ m, py::object self, py::object apiKey) {
    self.attr("apiKey") = apiKey;
    self.attr("client") = httpx().attr("Client")("base_url"_a = velmora::rawsource::serviceBase(self, baseUrlVariable),
                                                 "headers"_a = m.attr("headers"));
    self.attr("currencies") = py::dict();
}

py::object get(py::object self, py::object stocks, py::object startDate, py::object endDate,
               py::object removeAdjusted, py::object progress) {
    return velmora::rawsource::get(self, stocks, startDate, endDate, removeAdjusted, progress);
}

py::object asyncClient(py::module_ m, py::object self) {
    return httpx().attr("AsyncClient")("base_url"_a = velmora::rawsource::serviceBase(self, baseUrlVariable),
                                       "headers"_a = m.attr("headers"), "http2"_a = true);
}

py::object getAsync(py::module_ m, py::object self, py::object stocks, py::object startDate, py::object endDate,
                    py::object removeAdjusted, py::object progress) {
    return velmora::rawsource::getAsync(self, stocks, startDate, endDate, removeAdjusted, progress,
                                        "YahooDataSource.getAsync",
                                        [m](py::object source) { return asyncClient(m, source); });
}

// Local midnight at the start of the day, as the computer's time zone (and its daylight
// saving time) sees it, in whole Unix seconds.
py::object localMidnight(py::object day) {
    py::object parsed = py::module_::import("datetime").attr("datetime").attr("strptime")(day, "%Y-%m-%d");
    py::object seconds = py::module_::import("time").attr("mktime")(parsed.attr("timetuple")());
    return py::int_(seconds);
}

// The UTC calendar day of each timestamp, as date-times at midnight.
py::object utcDays(py::object timestamps) {
    py::list days;
    for (py::handle stamp : timestamps) {
        if (!(py::isinstance<py::int_>(stamp) || py::isinstance<py::float_>(stamp)) || py::isinstance<py::bool_>(stamp))
            throw py::type_error("a timestamp is not a number");
        std::time_t seconds = static_cast<std::time_t>(std::floor(stamp.cast<double>()));
        std::tm utc{};
        if (gmtime_r(&seconds, &utc) == nullptr) throw py::value_error("a timestamp is out of range");
        char text[16];
        std::strftime(text, sizeof text, "%Y-%m-%d", &utc);
        days.append(py::str(text));
    }
    return pandas().attr("to_datetime")(days, "format"_a = "%Y-%m-%d");
}

py::object indexedByDate(py::object frame, py::object timestamps) {
    frame["Date"] = utcDays(timestamps);
    return frame.attr("set_index")("Date", "drop"_a = false);
}

// The dollar's value in dollars needs no service: one row per day from start, end excluded.
py::object identitySeries(py::object start, py::object end) {
    py::list timestamps, values;
    for (long long stamp = start.cast<long long>(); stamp < end.cast<long long>(); stamp += 86400) {
        timestamps.append(stamp);
        values.append(1);
    }
    py::dict columns;
    columns["Adjusted_close"] = values;
    py::object frame = pandas().attr("DataFrame")(columns, "dtype"_a = "int64");
    return indexedByDate(frame, timestamps)["Adjusted_close"];
}

// The service's own form of the symbols that the rest of the program writes with EOD suffixes.
py::str serviceSymbol(py::str stock) {
    const std::pair<const char *, const char *> suffixes[] = {{".FOREX", "=X"}, {".US", ""}, {".XETRA", ".DE"}};
    for (const auto &[suffix, replacement] : suffixes)
        if (stock.attr("endswith")(suffix).cast<bool>()) return stock.attr("replace")(suffix, replacement);
    return stock;
}

py::object chartResult(py::object response) {
    py::object body = py::module_::import("json").attr("loads")(response.attr("content"));
    return body["chart"]["result"][py::int_(0)];
}

py::object getAsyncUrl(py::module_ m, py::object self, py::object parms) {
    return velmora::rawsource::operation("YahooDataSource.getAsyncUrl", [m, self, parms]() -> py::object {
        py::tuple unpacked = py::tuple(parms);
        if (py::len(unpacked) != 4) throw py::value_error("parms must hold stock, startDate, endDate, removeAdjusted");
        py::object stock = unpacked[0], removeAdjusted = unpacked[3];
        // Outside the guard: a date that does not parse ends the whole download.
        py::object start = localMidnight(unpacked[1]);
        py::object end = localMidnight(unpacked[2]);

        auto failure = [m, self, stock](py::object error) -> py::object {
            m.attr("logger").attr("exception")("Error getting data for %s", stock, "exc_info"_a = error);
            self.attr("incProgress")();
            return py::none();
        };
        if (py::isinstance<py::str>(stock) && stock.equal(py::str("USD.FOREX"))) {
            py::object result;
            guarded([&] {
                py::object series = identitySeries(start, end);
                self.attr("incProgress")();
                result = py::make_tuple(stock, series);
            }, [&](py::object error) { result = failure(error); });
            return velmora::rawsource::doneFuture(result);
        }
        auto answer = [m, self, stock, removeAdjusted](py::object response) -> py::object {
            velmora::debug(m.attr("logger"), [&] {
                return py::str("getAsyncUrl stock={} url={} status={}")
                    .format(stock, response.attr("request").attr("url"), response.attr("status_code"));
            });
            py::object result = chartResult(response);
            py::object timestamps = result["timestamp"];
            py::object indicators = result["indicators"];
            py::dict columns;
            columns["Close"] = indicators["quote"][py::int_(0)]["close"];
            columns["Adjusted_close"] = indicators["adjclose"][py::int_(0)]["adjclose"];
            py::object frame = indexedByDate(pandas().attr("DataFrame")(columns, "dtype"_a = "float64"), timestamps);
            if (py::bool_(removeAdjusted)) {
                py::object ratio = frame["Close"] / frame["Adjusted_close"];
                if (ratio.attr("max")() > py::float_(1.0)) return py::none();
            }
            self.attr("incProgress")();
            return py::make_tuple(stock, frame["Adjusted_close"]);
        };
        return velmora::rawsource::afterRequest([self, stock, start, end]() {
            py::dict parameters;
            parameters["period1"] = start;
            parameters["period2"] = end;
            parameters["interval"] = "1d";
            parameters["events"] = "div,split";
            parameters["includePrepPost"] = false;
            py::str path = py::str("/v8/finance/chart/") + serviceSymbol(py::str(stock));
            return self.attr("asyncClient").attr("get")(path, "params"_a = parameters);
        }, answer, failure);
    });
}

void incProgress(py::object self) { velmora::rawsource::incProgress(self); }

py::object queryStocks(py::module_ m, py::object self, py::object search) {
    py::object table = py::none();
    guarded([&] {
        py::dict parameters;
        parameters["q"] = search;
        py::object response = self.attr("client").attr("get")("/v1/finance/search", "params"_a = parameters);
        py::object body = py::module_::import("json").attr("loads")(response.attr("content"));
        py::list names, symbols;
        for (py::handle quote : body["quotes"]) {
            py::object kind = quote["quoteType"];
            if (!(kind.equal(py::str("EQUITY")) || kind.equal(py::str("CRYPTOCURRENCY")) || kind.equal(py::str("ETF"))))
                continue;
            py::object symbol = quote["symbol"];
            // Only the presence of a key counts: a name given as null stays null.
            py::object name = quote.contains("shortname") ? py::object(quote["shortname"])
                              : quote.contains("longName") ? py::object(quote["longName"])
                                                           : symbol;
            symbols.append(symbol);
            names.append(name);
        }
        py::object currencies = velmora::rawsource::asyncio().attr("run")(self.attr("getCurrenciesAsync")(symbols));
        py::dict columns;
        columns["Symbol"] = symbols;
        columns["Security Name"] = names;
        columns["Currency"] = currencies;
        table = pandas().attr("DataFrame")(columns).attr("set_index")("Symbol", "drop"_a = false);
    }, [&](py::object error) {
        m.attr("logger").attr("exception")("Querying for symbol", "exc_info"_a = error);
        table = py::none();
    });
    return table;
}

py::object getCurrenciesAsync(py::module_ m, py::object self, py::object symbols) {
    return velmora::rawsource::operation("YahooDataSource.getCurrenciesAsync", [m, self, symbols]() {
        py::object client = asyncClient(m, self);
        self.attr("asyncClient") = client;
        py::list lookups;
        for (py::handle symbol : symbols) lookups.append(self.attr("getCurrencyAsync")(symbol));
        return velmora::rawsource::gatherThenClose(client, lookups);
    });
}

py::dict currencyParameters() {
    py::dict parameters;
    parameters["interval"] = "1d";
    return parameters;
}

py::object getCurrencyAsync(py::module_ m, py::object self, py::object symbol) {
    return velmora::rawsource::operation("YahooDataSource.getCurrencyAsync", [m, self, symbol]() -> py::object {
        py::object cache = self.attr("currencies");
        if (cache.contains(symbol)) return velmora::rawsource::doneFuture(cache[symbol]);
        auto answer = [self, symbol](py::object response) -> py::object {
            py::object currency = chartResult(response)["meta"]["currency"];
            if (!py::isinstance<py::str>(currency)) throw py::type_error("the currency is not a text");
            if (!currency.attr("endswith")(".FOREX").cast<bool>()) currency = currency + py::str(".FOREX");
            self.attr("currencies")[symbol] = currency;
            return currency;
        };
        auto failure = [m, symbol](py::object error) -> py::object {
            m.attr("logger").attr("exception")("Error getting currency for %s", symbol, "exc_info"_a = error);
            return py::none();
        };
        return velmora::rawsource::afterRequest([self, symbol]() {
            return self.attr("asyncClient").attr("get")(py::str("/v8/finance/chart/") + py::str(symbol),
                                                        "params"_a = currencyParameters());
        }, answer, failure);
    });
}

py::object getCurrency(py::module_ m, py::object self, py::object symbol) {
    try {
        py::object response = self.attr("client").attr("get")(py::str("/v8/finance/chart/") + py::str(symbol),
                                                               "params"_a = currencyParameters());
        return chartResult(response)["meta"]["currency"];
    } catch (py::error_already_set &failure) {
        m.attr("logger").attr("exception")("Querying for symbol", "exc_info"_a = failure.value());
        throw;
    }
}

void defineYahooDataSource(py::module_ &m) {
    py::object cls = velmora::makeClass(m, "YahooDataSource");
    cls.attr("baseUrl") = "https://query2.finance.yahoo.com";
    velmora::constructor(cls, [m](py::object self, py::object apiKey) { construct(m, self, apiKey); }, "apiKey"_a);
    velmora::method(cls, "get", &get, "stocks"_a, "startDate"_a = py::none(), "endDate"_a = py::none(),
                    "removeAdjusted"_a = false, "progress"_a = py::none());
    velmora::method(cls, "getAsync",
                    [m](py::object self, py::object stocks, py::object startDate, py::object endDate,
                        py::object removeAdjusted, py::object progress) {
                        return getAsync(m, self, stocks, startDate, endDate, removeAdjusted, progress);
                    },
                    "stocks"_a, "startDate"_a = py::none(), "endDate"_a = py::none(), "removeAdjusted"_a = false,
                    "progress"_a = py::none());
    velmora::method(cls, "getAsyncUrl", [m](py::object self, py::object parms) { return getAsyncUrl(m, self, parms); },
                    "parms"_a);
    velmora::method(cls, "incProgress", &incProgress);
    velmora::method(cls, "queryStocks", [m](py::object self, py::object search) { return queryStocks(m, self, search); },
                    "search"_a);
    velmora::method(cls, "getCurrenciesAsync",
                    [m](py::object self, py::object symbols) { return getCurrenciesAsync(m, self, symbols); },
                    "symbols"_a);
    velmora::method(cls, "getCurrencyAsync",
                    [m](py::object self, py::object symbol) { return getCurrencyAsync(m, self, symbol); }, "symbol"_a);
    velmora::method(cls, "getCurrency", [m](py::object self, py::object symbol) { return getCurrency(m, self, symbol); },
                    "symbol"_a);
}

}  // namespace

PYBIND11_MODULE(yahoods2, m) {
    m.attr("logger") = py::module_::import("logging").attr("getLogger")("yahoods2");
    m.attr("headers") = requestHeaders();
    defineYahooDataSource(m);
}
