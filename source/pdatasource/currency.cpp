// A part of the price cache: the conversion of a stock table's prices into a target currency, by
// exchange rates fetched through the same cache.
#include "parts.hpp"

#include "../minorunits.hpp"
#include "../rawsource.hpp"

namespace velmora::pdatasource {

bool lacksRatesLong(py::object series, py::object first, py::object last) {
    series = series.attr("loc")[py::slice(orNone(first), last, py::none())];
    py::object pd = import("pandas");
    py::object days = series.attr("dropna")().attr("index");
    if (velmora::truthy(first)) days = days.attr("insert")(0, pd.attr("Timestamp")(first));
    days = days.attr("insert")(py::len(days), pd.attr("Timestamp")(last));
    py::object stretches = days.attr("to_series")().attr("diff")();
    return velmora::truthy(stretches.attr("gt")(pd.attr("Timedelta")("days"_a = closedDays)).attr("any")());
}

py::object lastKnowableDay(py::object endDate) {
    py::object today = todayText();
    return velmora::truthy(endDate) && !(endDate > today) ? endDate : today;
}

namespace {

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

// A stock may lack prices for part of the period; a rate series that lacks rates for longer than a
// market closes leaves the prices in its currency unconverted there (see `carriedRates`): that is the
// series' failure of the download, whatever the service said. A shorter gap is carried over, and a
// series answered with one is only asked again. A series the service knows not at all converts no
// stock, which is left out as one without prices.
void failMissingRates(py::object self, py::object rates, py::set currencies, py::object startDate,
                      py::object endDate) {
    py::object last = lastKnowableDay(endDate);
    py::object failures = self.attr("downloadFailures");
    for (py::handle currency : currencies) {
        py::object failure = failures.attr("get")(currency);
        if (!failure.is_none() && !velmora::rawsource::answeredNoPrices(failure)) continue;
        if (!rates.attr("columns").contains(currency)) continue;
        if (!lacksRatesLong(rates[currency], orNone(startDate), last)) continue;
        py::object text =
            velmora::translate("the service answered no exchange rates of {} for part of the period asked for");
        failures[currency] = import("builtins").attr("ValueError")(text.attr("format")(currency));
    }
}

// The rates by day: a rate is carried across a gap of at most the longest a market closes, from the
// rates either side, and past the last rate as far; a day beyond has no rate, so that a price in its
// currency is left unconverted there rather than converted at a stale rate.
py::object carriedRates(py::object rates) {
    py::object pd = import("pandas");
    py::object carried = rates.attr("interpolate")();
    py::object index = rates.attr("index");
    py::object days = pd.attr("Series")(index, "index"_a = index);
    py::object limit = pd.attr("Timedelta")("days"_a = closedDays);
    for (py::handle currency : rates.attr("columns")) {
        py::object rated = days.attr("where")(py::object(rates[currency]).attr("notna")());
        py::object before = rated.attr("ffill")(), after = rated.attr("bfill")();
        py::object between = (after - before).attr("le")(limit);
        py::object past = after.attr("isna")() & (days - before).attr("le")(limit);
        carried[currency] = py::object(carried[currency]).attr("where")(between | past);
    }
    return carried;
}

// The currency whose rates a currency's prices are converted with: a minor unit's main currency, as
// the service has no rates for a hundredth; any other currency itself.
py::object rateSymbolOf(py::handle currency) {
    if (auto main = minorunits::mainCurrencySymbol(currency)) return *main;
    return py::reinterpret_borrow<py::object>(currency);
}

// Adds the rates of each minor unit among `wanted` whose main currency has rates: a hundred times
// as many units per dollar.
py::object withMinorUnits(py::object rates, py::set wanted) {
    for (py::handle currency : wanted) {
        auto main = minorunits::mainCurrencySymbol(currency);
        if (main && rates.attr("columns").contains(*main))
            rates[currency] = py::object(rates[*main]).attr("__mul__")(minorunits::perMainUnit);
    }
    return rates;
}

// Factors turning a price in each wanted currency into the target currency, by date.
// Without the target currency's own rates no stock can be converted, and that is no fault of
// any stock: the request fails as a whole with an `ExchangeRateError` naming the currency, so
// that the caller reports it rather than dropping every stock of the selection as missing. A
// series without a single rate in the range (an empty answer) converts nothing either.
py::object currencyFactors(const py::module_ &m, py::object self, py::dict currencyOf, size_t stockCount,
                           py::object currency, py::object startDate, py::object endDate,
                           py::object progress) {
    py::set wanted(currencyOf.attr("values")());
    wanted.add(currency);
    py::set fetched;
    for (py::handle each : wanted) fetched.add(rateSymbolOf(each));
    if (!progress.is_none()) progress(py::none(), "maxValue"_a = py::len(fetched) + stockCount);
    py::object rates = self.attr("doGet")(fetched, startDate, endDate, progress);
    if (!progress.is_none()) progress(py::none(), "addValue"_a = py::len(fetched));
    rates = withMinorUnits(rates, wanted);
    bool noRates = !rates.attr("columns").contains(currency) ||
                   !velmora::truthy(rates[currency].attr("notna")().attr("any")());
    if (noRates) {
        py::object error = m.attr("ExchangeRateError")(py::str("no exchange rates for {}").format(currency));
        error.attr("currency") = currency;
        velmora::raise(error);
    }
    failMissingRates(self, rates, fetched, startDate, endDate);
    rates = carriedRates(rates);
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

}  // namespace

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

}  // namespace velmora::pdatasource
