// The raw data source on the EOD Historical Data API: price histories as CSV and a JSON symbol
// search, authorised by the user's key.
#include "rawsource.hpp"

namespace {

namespace rawsource = velmora::rawsource;

constexpr const char *baseUrlVariable = "VELMORA_EOD_URL";

// The key goes with every request of both clients, as their standing query parameter.
py::dict keyParameter(py::object self) {
    py::dict parameters;
    parameters["api_token"] = self.attr("apiKey");
    return parameters;
}

void construct(py::object self, py::object apiKey) {
    self.attr("apiKey") = apiKey;
    self.attr("downloadFailures") = py::dict();
    self.attr("client") = velmora::httpx().attr("Client")(
        "base_url"_a = rawsource::serviceBase(self, baseUrlVariable), "params"_a = keyParameter(self));
}

// The client of one download.
py::object openAsyncClient(const py::module_ &, py::object self) {
    return velmora::httpx().attr("AsyncClient")("base_url"_a = rawsource::serviceBase(self, baseUrlVariable),
                                                "params"_a = keyParameter(self), "http2"_a = true);
}

// The answer of one symbol as a frame indexed by date; raises when it is no such CSV.
py::object readPrices(py::object response, bool withClose) {
    py::object csv = py::module_::import("io").attr("BytesIO")(response.attr("content"));
    py::object frame = velmora::pandas().attr("read_csv")(csv, "index_col"_a = "Date");
    frame.attr("index") = velmora::pandas().attr("to_datetime")(frame.attr("index"));
    frame["Adjusted_close"] = frame["Adjusted_close"].attr("astype")("float64");
    if (withClose) frame["Close"] = frame["Close"].attr("astype")("float64");
    return frame;
}

// A search text or a symbol (which may come from a received selection file) is a single segment
// of the key-bearing request's path: every character that could take the request elsewhere is
// escaped ("/", "?", "#" and the rest), and so are the dots of "." and "..", which the HTTP
// client would resolve to the path itself or to its parent.
py::str pathSegment(py::object text) {
    py::str quoted = py::module_::import("urllib.parse").attr("quote")(text, "safe"_a = "");
    if (quoted.equal(py::str(".")) || quoted.equal(py::str("..")))
        quoted = quoted.attr("replace")(".", "%2E");
    return quoted;
}

py::object getAsyncUrl(const py::module_ &m, py::object self, py::object parms) {
    return rawsource::operation("EodDataSource.getAsyncUrl", [m, self, parms] {
        rawsource::Parms p = rawsource::unpack(parms);
        py::object logger = m.attr("logger");
        auto answer = [logger, self, p](py::object response) -> py::object {
            velmora::debug(logger, [&] {
                return py::str("getAsyncUrl stock={} url={} status={}")
                    .format(p.stock, response.attr("request").attr("url"), response.attr("status_code"));
            });
            bool removeAdjusted = velmora::truthy(p.removeAdjusted);
            py::object frame =
                rawsource::readAnswer(response, [&] { return readPrices(response, removeAdjusted); });
            if (removeAdjusted && rawsource::closeEverAboveAdjusted(frame)) return py::none();
            self.attr("incProgress")();
            return py::make_tuple(p.stock, frame["Adjusted_close"]);
        };
        return rawsource::afterRequest([self, p] {
            py::dict parameters;
            parameters["from"] = p.startDate;
            parameters["to"] = p.endDate;
            py::str path = py::str("/api/eod/") + pathSegment(p.stock);
            return self.attr("asyncClient").attr("get")(path, "params"_a = parameters);
        }, answer, rawsource::symbolFailed(logger, self, p.stock));
    });
}

py::object queryStocks(const py::module_ &m, py::object self, py::object search) {
    py::object logger = m.attr("logger");
    return rawsource::searchOrNull(logger, self, [&](py::object &response) -> py::object {
        py::dict parameters;
        parameters["type"] = "stock";
        parameters["limit"] = 50;
        response = self.attr("client").attr("get")(py::str("/api/search/") + pathSegment(search),
                                                   "params"_a = parameters);
        velmora::debug(logger, [&] {
            return py::str("queryStocks search={} url={} status={}")
                .format(search, response.attr("request").attr("url"), response.attr("status_code"));
        });
        py::object records = py::module_::import("json").attr("loads")(response.attr("content"));
        if (!py::isinstance<py::list>(records))
            throw py::type_error("the search answer is no list of records");
        py::list symbols, names, currencies;
        for (py::handle record : records) {
            if (!py::isinstance<py::dict>(record)) continue;
            auto found = py::reinterpret_borrow<py::dict>(record);
            py::object code = found.attr("get")("Code"), exchange = found.attr("get")("Exchange");
            // A result is shown to be added to the selection: one it could not save is left out.
            if (!rawsource::savableText(code) || !rawsource::savableText(exchange)) continue;
            py::object symbol = code + py::str(".") + exchange;
            symbols.append(symbol);
            names.append(found.contains("Name") ? rawsource::shownName(found["Name"], symbol) : symbol);
            py::object currency = found.attr("get")("Currency");
            currencies.append(rawsource::savableText(currency) ? currency + py::str(".FOREX") : py::none());
        }
        // Nothing matched: a table without rows, as the other source answers, so that the tab
        // shows no results rather than those of the previous search.
        py::dict columns;
        columns["Symbol"] = symbols;
        columns["Security Name"] = names;
        columns["Currency"] = currencies;
        return velmora::pandas().attr("DataFrame")(columns).attr("set_index")("Symbol", "drop"_a = false);
    });
}

void defineEodDataSource(py::module_ &m) {
    py::object cls = velmora::makeClass(m, "EodDataSource");
    const py::module_ &module = m;  // the module-first overloads take the module as const
    cls.attr("baseUrl") = "https://eodhd.com";
    velmora::constructor(cls, &construct, "apiKey"_a);
    rawsource::bindDriver(cls, module, &openAsyncClient);
    velmora::method(cls, "getAsyncUrl", module, &getAsyncUrl, "parms"_a);
    velmora::method(cls, "queryStocks", module, &queryStocks, "search"_a);
}

}  // namespace

PYBIND11_MODULE(eodds, m) {
    m.attr("logger") = py::module_::import("logging").attr("getLogger")("eodds");
    velmora::rawsource::protectKeys(m);
    defineEodDataSource(m);
}
