// The raw data source on Yahoo Finance's public chart and search API: price histories, symbol
// search and currency lookup.
#include "minorunits.hpp"
#include "rawsource.hpp"

#include <utility>

namespace {

namespace rawsource = velmora::rawsource;

constexpr const char *baseUrlVariable = "VELMORA_YAHOO_URL";
constexpr const char *userAgent =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/133.0.0.0 "
    "Safari/537.36";

py::dict requestHeaders() {
    py::dict headers;
    headers["User-Agent"] = userAgent;
    return headers;
}

void construct(const py::module_ &m, py::object self, py::object apiKey) {
    self.attr("apiKey") = apiKey;
    self.attr("client") = velmora::httpx().attr("Client")(
        "base_url"_a = rawsource::serviceBase(self, baseUrlVariable), "headers"_a = m.attr("headers"));
    self.attr("currencies") = py::dict();
    self.attr("downloadFailures") = py::dict();
    self.attr("progress") = py::none();
    self.attr("progressValue") = 0;
}

// The client of one download or one batch of currency lookups.
py::object openAsyncClient(const py::module_ &m, py::object self) {
    return velmora::httpx().attr("AsyncClient")("base_url"_a = rawsource::serviceBase(self, baseUrlVariable),
                                                "headers"_a = m.attr("headers"), "http2"_a = true);
}

// Local midnight at the start of the day, as the computer's time zone (and its daylight
// saving time) sees it, in whole Unix seconds.
py::object localMidnight(py::object day) {
    py::object parsed = py::module_::import("datetime").attr("datetime").attr("strptime")(day, "%Y-%m-%d");
    return py::int_(py::module_::import("time").attr("mktime")(parsed.attr("timetuple")()));
}

// Indexes the frame by the calendar day of each timestamp, at midnight, on the market's clock: in its
// time zone (`zone`, a ZoneInfo) where one is known, each row by its own day's offset, else `offset`
// seconds ahead of UTC. The service stamps a trading day with the hour its market opens, which for a
// market far east of UTC (Sydney) falls on the UTC day before, and a rate series at London midnight,
// which in summer is 23:00 UTC of the day before; only the market's own day counts.
py::object indexedByDay(py::object frame, py::object timestamps, long long offset = 0,
                        py::object zone = py::none()) {
    py::object pd = velmora::pandas();
    py::object seconds = pd.attr("Series")(timestamps, "dtype"_a = "int64");
    py::object stamps;
    if (zone.is_none()) {
        stamps = pd.attr("to_datetime")(seconds + py::int_(offset), "unit"_a = "s");
    } else {
        py::object local = pd.attr("to_datetime")(seconds, "unit"_a = "s", "utc"_a = true).attr("dt");
        stamps = local.attr("tz_convert")(zone).attr("dt").attr("tz_localize")(py::none());
    }
    frame["Date"] = stamps.attr("dt").attr("normalize")().attr("to_numpy")();
    return frame.attr("set_index")("Date", "drop"_a = false);
}

// The dollar in dollars needs no service: 1 on every day from start, end excluded.
py::object identitySeries(py::object start, py::object end) {
    py::list timestamps, ones;
    for (long long stamp = start.cast<long long>(); stamp < end.cast<long long>(); stamp += 86400) {
        timestamps.append(stamp);
        ones.append(1);
    }
    py::dict columns;
    columns["Adjusted_close"] = ones;
    py::object frame = velmora::pandas().attr("DataFrame")(columns, "dtype"_a = "int64");
    return indexedByDay(frame, timestamps)["Adjusted_close"];
}

// The service's own form of the symbols that the rest of the program writes with EOD suffixes.
py::str serviceSymbol(py::str stock) {
    const std::pair<const char *, const char *> suffixes[] = {
        {".FOREX", "=X"}, {".US", ""}, {".XETRA", ".DE"}};
    for (const auto &[suffix, replacement] : suffixes)
        if (stock.attr("endswith")(suffix).cast<bool>()) return stock.attr("replace")(suffix, replacement);
    return stock;
}

py::str chartPath(py::object symbol) { return py::str("/v8/finance/chart/") + py::str(symbol); }

// The one history of a chart answer, chart → result → its single element. Several histories in one
// answer for one symbol leave no telling which is the symbol's.
py::object chartResult(py::object response) {
    py::object body = py::module_::import("json").attr("loads")(response.attr("content"));
    py::object results = body["chart"]["result"];
    if (py::isinstance<py::list>(results) && py::len(results) > 1)
        velmora::raise(PyExc_ValueError,
                       velmora::translate("the answer holds {} histories for one symbol").attr("format")(
                           py::len(results)));
    return results[py::int_(0)];
}

// A chart answer with an error status is the service's error, whatever body it carries: a body
// sent beside a 429 or a 500 is no history the service stands by.
py::object acceptedChartResult(py::object response) {
    if (velmora::truthy(response.attr("is_error"))) velmora::raise(rawsource::statusError(response));
    return chartResult(response);
}

// The seconds a market's clock runs ahead of UTC, as the answer gives them; UTC where it gives
// none that a clock on Earth could show.
long long marketOffset(py::object result) {
    if (!py::isinstance<py::dict>(result)) return 0;
    py::object meta = result.attr("get")("meta");
    if (!py::isinstance<py::dict>(meta)) return 0;
    py::object offset = meta.attr("get")("gmtoffset");
    if (!py::isinstance<py::int_>(offset) || py::isinstance<py::bool_>(offset)) return 0;
    long long seconds = offset.cast<long long>();
    return seconds >= -14 * 3600 && seconds <= 14 * 3600 ? seconds : 0;
}

// The time zone of the answer's exchange ("Europe/London"), where it names one the zone database
// knows; none otherwise, and the day is the one at `marketOffset`.
py::object marketZone(py::object result) {
    if (!py::isinstance<py::dict>(result)) return py::none();
    py::object meta = result.attr("get")("meta");
    if (!py::isinstance<py::dict>(meta)) return py::none();
    py::object name = meta.attr("get")("exchangeTimezoneName");
    if (!py::isinstance<py::str>(name) || py::len(name) == 0) return py::none();
    try {
        return py::module_::import("zoneinfo").attr("ZoneInfo")(name);
    } catch (py::error_already_set &) {
        return py::none();  // no zone known by that name, or no name a zone could have
    }
}

bool isoCode(py::handle text) {
    if (!py::isinstance<py::str>(text)) return false;
    std::string code = py::str(text).attr("encode")("utf-8", "replace").cast<std::string>();
    if (code.size() != 3) return false;
    for (char letter : code)
        if (letter < 'A' || letter > 'Z') return false;
    return true;
}

// The currency symbol ("EUR.FOREX") of the currency a chart answer names, a hundredth of a
// currency ("GBp") as that unit, in which the prices come; a text that is no currency code is the
// symbol's failure, since the conversion would take it for a currency.
py::object currencySymbolOf(py::object named) {
    py::object code = named;
    if (py::isinstance<py::str>(named) && named.attr("endswith")(".FOREX").cast<bool>())
        code = named[py::slice(0, -6, 1)];
    if (!isoCode(code) && !velmora::minorunits::ofCode(code))
        velmora::raise(PyExc_ValueError,
                       velmora::translate("the service names no currency code but {!r}").attr("format")(named));
    return py::str(code) + py::str(".FOREX");
}

// The frame of one price history, indexed by day. A period without a trading day is answered
// without timestamps and with empty indicators: the service's word that it has no prices there.
py::object readPrices(py::object response) {
    py::object result = acceptedChartResult(response);
    if (!result.contains("timestamp")) rawsource::raiseNoPrices();
    py::object indicators = result["indicators"];
    py::dict columns;
    columns["Close"] = indicators["quote"][py::int_(0)]["close"];
    columns["Adjusted_close"] = indicators["adjclose"][py::int_(0)]["adjclose"];
    return indexedByDay(velmora::pandas().attr("DataFrame")(columns, "dtype"_a = "float64"),
                        result["timestamp"], marketOffset(result), marketZone(result));
}

// A request's whole time: the client's time-outs bound each read, and an answer trickled a byte
// at a time would pass every one of them while holding the search or the chart without end.
py::object withinDeadline(const py::module_ &m, py::object request) {
    return rawsource::asyncio().attr("wait_for")(request, "timeout"_a = m.attr("requestDeadline"));
}

// The search's answer, read whole within the request's deadline: its status line and headers as
// much as its body, either of which a service may trickle a byte at a time past every read's
// time-out. Only an event loop can end a request that still waits for its headers, so the search
// goes where `client` sends (its address and headers) on an asynchronous client of its own.
py::object searchAnswer(const py::module_ &m, py::object self, py::dict parameters) {
    py::object client = self.attr("client");
    py::object searching = velmora::httpx().attr("AsyncClient")("base_url"_a = client.attr("base_url"),
                                                                "headers"_a = client.attr("headers"));
    py::object search = rawsource::operation("YahooDataSource.queryStocks", [m, searching, parameters] {
        return rawsource::gatherOnClient(searching, [&] {
            py::list requests;
            requests.append(withinDeadline(m, searching.attr("get")("/v1/finance/search", "params"_a = parameters)));
            return requests;
        });
    });
    try {
        return rawsource::asyncio().attr("run")(search)[py::int_(0)];
    } catch (py::error_already_set &failure) {
        if (!failure.matches(PyExc_TimeoutError)) throw;
        velmora::raise(py::module_::import("httpx").attr("ReadTimeout"),
                       velmora::translate("the service's answer took longer than a request may take"));
    }
}

// The name shown for a quote: its short name, else its long name, else the symbol. Only the
// presence of a key counts: a name given as null stays null. The service spells the long name in
// lower case; the other spelling is read where only it is sent.
py::object quoteName(py::handle quote, py::object symbol) {
    for (const char *key : {"shortname", "longname", "longName"})
        if (quote.contains(key)) return rawsource::shownName(quote[key], symbol);
    return symbol;
}

py::object getAsyncUrl(const py::module_ &m, py::object self, py::object parms) {
    return rawsource::operation("YahooDataSource.getAsyncUrl", [m, self, parms]() -> py::object {
        rawsource::Parms p = rawsource::unpack(parms);
        // Outside the guard: a date that does not parse ends the whole download.
        py::object start = localMidnight(p.startDate);
        py::object end = localMidnight(p.endDate);
        py::object logger = m.attr("logger");
        rawsource::Step failed = rawsource::symbolFailed(logger, self, p.stock);

        if (p.stock.equal(py::str("USD.FOREX")))
            return rawsource::finished(rawsource::orElse([&]() -> py::object {
                py::object series = identitySeries(start, end);
                self.attr("incProgress")();
                return py::make_tuple(p.stock, series);
            }, failed));

        auto answer = [logger, self, p](py::object response) -> py::object {
            velmora::debug(logger, [&] {
                return py::str("getAsyncUrl stock={} url={} status={}")
                    .format(p.stock, response.attr("request").attr("url"), response.attr("status_code"));
            });
            py::object frame = rawsource::readAnswer(response, [&] { return readPrices(response); });
            if (velmora::truthy(p.removeAdjusted) && rawsource::closeEverAboveAdjusted(frame))
                return py::none();
            self.attr("incProgress")();
            return py::make_tuple(p.stock, frame["Adjusted_close"]);
        };
        return rawsource::afterRequest([m, self, p, start, end] {
            py::dict parameters;
            parameters["period1"] = start;
            parameters["period2"] = end;
            parameters["interval"] = "1d";
            parameters["events"] = "div,split";
            parameters["includePrepPost"] = false;
            return withinDeadline(m, self.attr("asyncClient").attr("get")(
                                         chartPath(serviceSymbol(py::str(p.stock))), "params"_a = parameters));
        }, answer, failed);
    });
}

py::object queryStocks(const py::module_ &m, py::object self, py::object search) {
    py::object logger = m.attr("logger");
    return rawsource::searchOrNull(logger, self, [&](py::object &response) {
        py::dict parameters;
        parameters["q"] = search;
        response = searchAnswer(m, self, parameters);
        py::object body = py::module_::import("json").attr("loads")(response.attr("content"));
        py::list names, symbols;
        for (py::handle quote : body["quotes"]) {
            // A result is shown to be added to the selection: one it could not save is left out, and so
            // is one of another kind (a private company's comes without a symbol), not the whole search.
            if (!py::isinstance<py::dict>(quote)) continue;
            py::object kind = quote.attr("get")("quoteType");
            bool kept = kind.equal(py::str("EQUITY")) || kind.equal(py::str("CRYPTOCURRENCY")) ||
                        kind.equal(py::str("ETF"));
            if (!kept) continue;
            py::object symbol = quote.attr("get")("symbol");
            if (!rawsource::savableText(symbol)) continue;
            symbols.append(symbol);
            names.append(quoteName(quote, symbol));
        }
        py::object currencies = rawsource::asyncio().attr("run")(self.attr("getCurrenciesAsync")(symbols));
        py::dict columns;
        columns["Symbol"] = symbols;
        columns["Security Name"] = names;
        columns["Currency"] = currencies;
        return velmora::pandas().attr("DataFrame")(columns).attr("set_index")("Symbol", "drop"_a = false);
    });
}

py::dict currencyParameters() {
    py::dict parameters;
    parameters["interval"] = "1d";
    return parameters;
}

// One lookup per symbol, all on a fresh client; each finished one is told to `progress`.
py::object getCurrenciesAsync(const py::module_ &m, py::object self, py::object symbols,
                              py::object progress) {
    return rawsource::operation("YahooDataSource.getCurrenciesAsync", [m, self, symbols, progress] {
        self.attr("progressValue") = 0;
        self.attr("progress") = progress;
        py::object client = openAsyncClient(m, self);
        self.attr("asyncClient") = client;
        return rawsource::gatherOnClient(client, [&] {
            py::list lookups;
            for (py::handle symbol : symbols) lookups.append(self.attr("getCurrencyAsync")(symbol));
            return lookups;
        });
    });
}

py::object getCurrencyAsync(const py::module_ &m, py::object self, py::object symbol) {
    return rawsource::operation("YahooDataSource.getCurrencyAsync", [m, self, symbol]() -> py::object {
        py::object cache = self.attr("currencies");
        if (cache.contains(symbol)) {
            self.attr("incProgress")();
            return rawsource::finished(cache[symbol]);
        }
        auto answer = [self, symbol](py::object response) -> py::object {
            py::object currency = currencySymbolOf(acceptedChartResult(response)["meta"]["currency"]);
            self.attr("currencies")[symbol] = currency;
            self.attr("incProgress")();
            return currency;
        };
        auto failed = [m, self, symbol](py::object error) -> py::object {
            m.attr("logger").attr("exception")("Error getting currency for %s", symbol, "exc_info"_a = error);
            self.attr("incProgress")();
            return py::none();
        };
        return rawsource::afterRequest([m, self, symbol] {
            return withinDeadline(
                m, self.attr("asyncClient").attr("get")(chartPath(symbol), "params"_a = currencyParameters()));
        }, answer, failed);
    });
}

// The currencies of many symbols at once, as the downloads are made (a symbol whose currency the
// service does not give has none); a false answer of `progress` stops the lookups with an error.
py::object getCurrencies(py::object self, py::object symbols, py::object progress) {
    return rawsource::runToEnd(self, progress,
                               [&] { return self.attr("getCurrenciesAsync")(symbols, progress); });
}

py::object getCurrency(const py::module_ &m, py::object self, py::object symbol) {
    try {
        py::object response =
            self.attr("client").attr("get")(chartPath(symbol), "params"_a = currencyParameters());
        return chartResult(response)["meta"]["currency"];
    } catch (py::error_already_set &failure) {
        m.attr("logger").attr("exception")("Querying for symbol", "exc_info"_a = failure.value());
        throw;
    }
}

void defineYahooDataSource(py::module_ &m) {
    py::object cls = velmora::makeClass(m, "YahooDataSource");
    const py::module_ &module = m;  // the module-first overloads take the module as const
    cls.attr("baseUrl") = "https://query2.finance.yahoo.com";
    velmora::constructor(cls, module, &construct, "apiKey"_a);
    rawsource::bindDriver(cls, module, &openAsyncClient);
    velmora::method(cls, "getAsyncUrl", module, &getAsyncUrl, "parms"_a);
    velmora::method(cls, "queryStocks", module, &queryStocks, "search"_a);
    velmora::method(cls, "getCurrenciesAsync", module, &getCurrenciesAsync, "symbols"_a,
                    "progress"_a = py::none());
    velmora::method(cls, "getCurrencies", &getCurrencies, "symbols"_a, "progress"_a = py::none());
    velmora::method(cls, "getCurrencyAsync", module, &getCurrencyAsync, "symbol"_a);
    velmora::method(cls, "getCurrency", module, &getCurrency, "symbol"_a);
}

}  // namespace

PYBIND11_MODULE(yahoods2, m) {
    m.attr("logger") = py::module_::import("logging").attr("getLogger")("yahoods2");
    m.attr("headers") = requestHeaders();
    m.attr("requestDeadline") = 60.0;  // seconds
    defineYahooDataSource(m);
}
