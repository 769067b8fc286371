// The data provider: the prices of the selected stocks over the analysis period, published as `prices`.
#include "rawsource.hpp"

#include <utility>

namespace {

py::object normalizeDate(py::object dateVal) {
    return py::module_::import("datetime")
        .attr("datetime")
        .attr("strptime")(dateVal, "%Y-%m-%d")
        .attr("date")();
}

py::object noPrices() {
    py::list columns;
    columns.append("Symbol");
    return py::module_::import("pandas").attr("DataFrame")("columns"_a = columns);
}

// What readers find when the prices of the selection could not be had: a price table of no
// stock, never the prices of an earlier selection or of other settings.
py::object emptyPrices() {
    py::object pandas = velmora::pandas();
    py::object dates = pandas.attr("DatetimeIndex")(py::list(), "name"_a = "Date");
    return pandas.attr("DataFrame")("index"_a = dates).attr("reset_index")().attr("set_index")(
        "Date", "drop"_a = false);
}

// The settings the published prices were fetched with. Prices fetched in another currency,
// from another source or key, for another period or cleaned with other clip bounds must not
// outlive a change of them.
py::tuple settingsOf(py::object config) {
    py::object data = config["data"];
    return py::make_tuple(data["localCurrency"], data["dataProvider"], data["apiKey"], data["basePeriod"],
                          data["endDate"], data["sigmaClipLow"], data["sigmaClipHigh"]);
}

void construct(const py::module_ &m, py::object self, py::object config, py::object providerManager,
               py::kwargs kws) {
    self.attr("config") = config;
    self.attr("providerManager") = providerManager;
    velmora::super(m.attr("DataProvider"), self).attr("__init__")(config, **kws);
    self.attr("fetchedWith") = py::none();
    self.attr("reconfiguring") = false;
    self.attr("refetch") = false;
    self["prices"] = noPrices();
    self.attr("reconfigure")(config);
}

void reconfigure(py::object self, py::object config, py::object dataSource) {
    self.attr("dataSource") = dataSource;
    // The reconfiguration recomputes every provider at once, on each keystroke in the API
    // key's field: a download with half a key would fail for every stock and offer to remove
    // them all. Prices are fetched when a reader next asks for them, after this event.
    self.attr("reconfiguring") = true;
}

// After a failed or cancelled download (`refetch`), the next look at the prices tries again.
py::object recompute(const py::module_ &m, py::object self) {
    if (velmora::truthy(self.attr("reconfiguring"))) return self.attr("lastGeneration");
    bool stale = !self.attr("fetchedWith").is_none() &&
                 !settingsOf(self.attr("config")).equal(self.attr("fetchedWith"));
    if (stale || velmora::truthy(self.attr("refetch"))) self.attr("lastGeneration") = -1;
    return velmora::super(m.attr("DataProvider"), self).attr("recompute")();
}

py::object handleEvent(const py::module_ &m, py::object self, py::object window, py::object event,
                       py::object values) {
    self.attr("reconfiguring") = false;
    return velmora::super(m.attr("DataProvider"), self).attr("handleEvent")(window, event, values);
}

py::list missingSymbols(py::list symbols, py::object prices) {
    py::set missing(py::set(symbols).attr("difference")(py::set(prices.attr("columns"))));
    return py::module_::import("builtins").attr("sorted")(missing);
}

// True when the user had the missing stocks removed.
bool offerRemoval(const py::module_ &m, py::object self, py::list missing) {
    m.attr("logger").attr("error")("Missing stocks: %s", py::str(", ").attr("join")(missing));
    py::object message = velmora::translate("Missing price data for:") + py::str("\n\n\t") +
                         py::str(",\n\t").attr("join")(missing) + py::str("\n\n") +
                         velmora::translate(
                             "Possible reason is that stock prices are only available for part of "
                             "the analysis period.\n\nThese stocks were not used in constructing the "
                             "portfolio.\n\nShould these stocks be removed from the list?");
    py::object answer =
        velmora::sg().attr("PopupYesNo")(message, "title"_a = velmora::translate("Error"),
                                         "keep_on_top"_a = true, "location"_a = velmora::popupLocation());
    if (!answer.equal(py::str("Yes"))) return false;
    py::module_::import("selection").attr("selectionProvider").attr("removeStocks")(missing);
    return true;
}

// Fewer than two stocks make no allocation: the user is told, and readers find no prices, not
// those of an earlier selection. Asked again only when the selection changes.
void refuseTooFewStocks(py::object self) {
    velmora::sg().attr("Popup")(
        velmora::translate("You need to select at least 2 stocks to compute an allocation"),
        "title"_a = velmora::translate("Error"), "keep_on_top"_a = true,
        "location"_a = velmora::popupLocation());
    self["prices"] = emptyPrices();
    self.attr("fetchedWith") = settingsOf(self.attr("config"));
}

// Why the last request of the data source failed for some symbol (a currency's rates among
// them), or none. A stock the service answered without prices for part of the period is no failure
// of the download: it is one of the stocks without prices, which the user may remove.
py::object firstDownloadFailure(py::object self) {
    py::dict failures = py::getattr(self.attr("dataSource"), "downloadFailures", py::dict());
    for (auto failure : failures)
        if (!velmora::rawsource::answeredNoPrices(failure.second))
            return py::reinterpret_borrow<py::object>(failure.second);
    return py::none();
}

// The analysis period: the base period's days up to the end date, or up to today without one.
std::pair<py::object, py::object> analysisPeriod(py::object data) {
    py::object datetime = py::module_::import("datetime");
    py::object endDate = velmora::truthy(data["endDate"]) ? normalizeDate(data["endDate"])
                                                          : datetime.attr("date").attr("today")();
    py::object days = velmora::builtins().attr("int")(data["basePeriod"]);
    return {endDate - datetime.attr("timedelta")("days"_a = days), endDate};
}

void download(const py::module_ &m, py::object self, py::object stocks, py::list symbols) {
    py::object data = self.attr("config")["data"];
    auto [startDate, endDate] = analysisPeriod(data);
    py::object prices =
        self.attr("dataSource")
            .attr("get")(stocks, startDate.attr("strftime")("%Y-%m-%d"), endDate.attr("strftime")("%Y-%m-%d"),
                         "progress"_a = self.attr("update"), "currency"_a = data["localCurrency"],
                         "cleaned"_a = true);
    // A symbol the download failed for has not been found without prices: the download failed.
    py::object failure = firstDownloadFailure(self);
    if (!failure.is_none()) velmora::raise(failure);
    py::list missing = missingSymbols(symbols, prices);
    if (py::len(missing) > 0 && offerRemoval(m, self, missing) && py::len(self["stocks"]) < 2) {
        refuseTooFewStocks(self);
        return;
    }
    // A table of no prices at all comes from an empty cache, whose index has no name yet.
    prices.attr("index").attr("name") = "Date";
    prices = prices.attr("reset_index")().attr("set_index")("Date", "drop"_a = false);
    self["prices"] = prices;
    self.attr("fetchedWith") = settingsOf(self.attr("config"));
}

// The user's words for why the download failed, in those of a failed search.
py::object downloadFailureText(py::handle failure) {
    switch (velmora::rawsource::failureOf(failure)) {
    case velmora::rawsource::Failure::unreachable:
        return velmora::translate("The prices could not be downloaded: the market data service could not be "
                                  "reached.");
    case velmora::rawsource::Failure::errorAnswer:
        return velmora::translate("The prices could not be downloaded: the market data service answered "
                                  "with an error.");
    default:
        return velmora::translate("The prices could not be downloaded: the answer of the market data "
                                  "service could not be read.");
    }
}

// A failed download is the user's business, who would otherwise see only that nothing
// happened; a cancelled one is the user's own doing. One message, in words: a failed request
// with its error last, missing exchange rates by their currency.
void reportFailure(const py::module_ &m, py::object self, py::object error) {
    if (velmora::truthy(py::getattr(self, "progressCancelled", py::bool_(false)))) return;
    m.attr("logger").attr("error")("Downloading prices failed", "exc_info"_a = error);
    py::object requestFailure = firstDownloadFailure(self);
    if (requestFailure.is_none() && py::isinstance(error, py::module_::import("httpx").attr("HTTPError")))
        requestFailure = error;
    if (!requestFailure.is_none()) {
        py::object kind = py::type::of(requestFailure).attr("__name__");
        velmora::showError(downloadFailureText(requestFailure),
                           py::str("{}: {}").format(kind, requestFailure));
        return;
    }
    if (py::isinstance(error, py::module_::import("pdatasource").attr("ExchangeRateError"))) {
        py::object currency = py::str(error.attr("currency")).attr("removesuffix")(".FOREX");
        velmora::showError(
            velmora::translate("The exchange rates of the local currency {} could not be fetched from the "
                               "market data service.").attr("format")(currency));
        return;
    }
    // A key error's text is its key in quotes; the user reads the plain cause.
    py::tuple arguments = error.attr("args");
    py::object cause = py::len(arguments) == 1 ? py::str(arguments[0]) : py::str(error);
    velmora::showError(velmora::translate("The prices could not be downloaded:"), cause);
}

void compute(const py::module_ &m, py::object self) {
    py::object stocks = self["stocks"];
    py::list symbols = stocks["Symbol"].attr("tolist")();
    if (py::len(symbols) < 2) {
        refuseTooFewStocks(self);
        self.attr("refetch") = false;
        return;
    }
    py::object scope = self.attr("start")(py::len(stocks));
    scope.attr("__enter__")();
    py::object error;
    try {
        // Settings that give no period fail here, where the failure is shown like any other.
        download(m, self, stocks, symbols);
    } catch (...) {
        error = velmora::currentException();
    }
    if (!error) {
        scope.attr("__exit__")(py::none(), py::none(), py::none());
        self.attr("refetch") = false;
        return;
    }
    scope.attr("__exit__")(py::type::of(error), error, error.attr("__traceback__"));
    // Readers get no prices rather than an error, and the next look at the prices tries again.
    reportFailure(m, self, error);
    self["prices"] = emptyPrices();
    self.attr("refetch") = true;
}

void defineDataProvider(py::module_ &m) {
    py::object cls =
        velmora::makeClass(m, "DataProvider", py::make_tuple(velmora::classOf("provider", "Provider")));
    cls.attr("key") = "data";
    cls.attr("working") = velmora::translate("Downloading");
    velmora::constructor(cls, std::as_const(m), &construct, "config"_a, "providerManager"_a = py::none());
    velmora::method(cls, "reconfigure", &reconfigure, "config"_a, "dataSource"_a = py::none());
    velmora::method(cls, "recompute", std::as_const(m), &recompute);
    velmora::method(cls, "handleEvent", std::as_const(m), &handleEvent, "window"_a, "event"_a, "values"_a);
    velmora::method(cls, "compute", std::as_const(m), &compute);
}

}  // namespace

PYBIND11_MODULE(dataprov, m) {
    m.attr("logger") = py::module_::import("logging").attr("getLogger")("dataprov");
    m.def("normalizeDate", &normalizeDate, "dateVal"_a);
    defineDataProvider(m);
}
