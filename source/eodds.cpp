// The raw data source on the EOD Historical Data API: price histories as CSV and a JSON symbol search, authorised by the user's key.
#include "rawsource.hpp"

namespace {

using velmora::rawsource::guarded;

constexpr const char *baseUrlVariable = "VELMORA_EOD_URL";

py::module_ httpx() { return py::module_::import("httpx"); }
py::module_ pandas() { return py::module_::import("pandas"); }

py::dict keyParameter(py::object self) {
    py::dict parameters;
    parameters["api_token"] = self.attr("apiKey");
    return parameters;
}

void construct(py::object self, py::object apiKey) {
    self.attr("apiKey") = apiKey;
    self.attr("client") = httpx().attr("Client")("base_url"_a = velmora::rawsource::serviceBase(self, baseUrlVariable),
                                                 "params"_a = keyParameter(self));
}

py::object get(py::object self, py::object stocks, py::object startDate, py::object endDate,
               py::object removeAdjusted, py::object progress) {
    return velmora::rawsource::get(self, stocks, startDate, endDate, removeAdjusted, progress);
}

py::object getAsync(py::object self, py::object stocks, py::object startDate, py::object endDate,
                    py::object removeAdjusted, py::object progress) {
    return velmora::rawsource::getAsync(self, stocks, startDate, endDate, removeAdjusted, progress,
                                        "EodDataSource.getAsync", [](py::object source) {
        return httpx().attr("AsyncClient")(
            "base_url"_a = velmora::rawsource::serviceBase(source, baseUrlVariable),
            "params"_a = keyParameter(source), "http2"_a = true);
    });
}

// The answer of one symbol as a frame indexed by date; raises when it is no such CSV.
py::object readPrices(py::object response, bool withClose) {
    py::object io = py::module_::import("io");
    py::object frame = pandas().attr("read_csv")(io.attr("BytesIO")(response.attr("content")), "index_col"_a = "Date");
    frame.attr("index") = pandas().attr("to_datetime")(frame.attr("index"));
    frame["Adjusted_close"] = frame["Adjusted_close"].attr("astype")("float64");
    if (withClose) frame["Close"] = frame["Close"].attr("astype")("float64");
    return frame;
}

py::object getAsyncUrl(py::module_ m, py::object self, py::object parms) {
    return velmora::rawsource::operation("EodDataSource.getAsyncUrl", [m, self, parms]() {
        py::tuple unpacked = py::tuple(parms);
        if (py::len(unpacked) != 4) throw py::value_error("parms must hold stock, startDate, endDate, removeAdjusted");
        py::object stock = unpacked[0], startDate = unpacked[1], endDate = unpacked[2], removeAdjusted = unpacked[3];
        auto failure = [m, self, stock](py::object error) -> py::object {
            m.attr("logger").attr("exception")("Error getting data for %s", stock, "exc_info"_a = error);
            self.attr("incProgress")();
            return py::none();
        };
        auto answer = [m, self, stock, removeAdjusted](py::object response) -> py::object {
            py::object logger = m.attr("logger");
            velmora::debug(logger, [&] {
                return py::str("getAsyncUrl stock={} url={} status={}")
                    .format(stock, response.attr("request").attr("url"), response.attr("status_code"));
            });
            bool withClose = py::bool_(removeAdjusted);
            py::object frame = readPrices(response, withClose);
            if (withClose) {
                py::object ratio = frame["Close"] / frame["Adjusted_close"];
                if (py::bool_(ratio.attr("max")() > py::float_(1.0))) return py::none();
            }
            self.attr("incProgress")();
            return py::make_tuple(stock, frame["Adjusted_close"]);
        };
        return velmora::rawsource::afterRequest([self, stock, startDate, endDate]() {
            py::dict parameters;
            parameters["from"] = startDate;
            parameters["to"] = endDate;
            return self.attr("asyncClient").attr("get")(py::str("/api/eod/") + py::str(stock), "params"_a = parameters);
        }, answer, failure);
    });
}

void incProgress(py::object self) { velmora::rawsource::incProgress(self); }

// The search text goes into the request path; every character that could leave the
// search path ("/", "?", "#", "..") is escaped, so a search reaches nothing but the search.
py::object queryStocks(py::module_ m, py::object self, py::object search) {
    py::object result = py::none();
    guarded([&] {
        py::dict parameters;
        parameters["type"] = "stock";
        parameters["limit"] = 50;
        py::object quoted = py::module_::import("urllib.parse").attr("quote")(search, "safe"_a = "");
        py::object response = self.attr("client").attr("get")(py::str("/api/search/") + py::str(quoted),
                                                               "params"_a = parameters);
        velmora::debug(m.attr("logger"), [&] {
            return py::str("queryStocks search={} url={} status={}")
                .format(search, response.attr("request").attr("url"), response.attr("status_code"));
        });
        py::object records = py::module_::import("json").attr("loads")(response.attr("content"));
        if (!py::isinstance<py::list>(records)) throw py::type_error("the search answer is no list of records");
        py::object frame = pandas().attr("DataFrame")(records);
        frame["Security Name"] = frame["Name"];
        frame["Symbol"] = py::object(frame["Code"]) + py::str(".") + py::object(frame["Exchange"]);
        frame["Currency"] = py::object(frame["Currency"]) + py::str(".FOREX");
        py::list columns;
        for (const char *column : {"Symbol", "Security Name", "Currency"}) columns.append(column);
        result = frame[columns].attr("set_index")("Symbol", "drop"_a = false);
    }, [&](py::object error) {
        m.attr("logger").attr("exception")("Querying for symbol", "exc_info"_a = error);
        result = py::none();
    });
    return result;
}

void defineEodDataSource(py::module_ &m) {
    py::object cls = velmora::makeClass(m, "EodDataSource");
    cls.attr("baseUrl") = "https://eodhd.com";
    velmora::constructor(cls, &construct, "apiKey"_a);
    velmora::method(cls, "get", &get, "stocks"_a, "startDate"_a = py::none(), "endDate"_a = py::none(),
                    "removeAdjusted"_a = false, "progress"_a = py::none());
    velmora::method(cls, "getAsync", &getAsync, "stocks"_a, "startDate"_a = py::none(), "endDate"_a = py::none(),
                    "removeAdjusted"_a = false, "progress"_a = py::none());
    velmora::method(cls, "getAsyncUrl", [m](py::object self, py::object parms) { return getAsyncUrl(m, self, parms); },
                    "parms"_a);
    velmora::method(cls, "incProgress", &incProgress);
    velmora::method(cls, "queryStocks", [m](py::object self, py::object search) { return queryStocks(m, self, search); },
                    "search"_a);
}

}  // namespace

PYBIND11_MODULE(eodds, m) {
    m.attr("logger") = py::module_::import("logging").attr("getLogger")("eodds");
    velmora::rawsource::protectKeys({"eodds"});
    defineEodDataSource(m);
}
