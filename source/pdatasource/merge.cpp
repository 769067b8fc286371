// A part of the price cache: the download merge. What a request lacks is fetched in one download for
// all its symbols; what that delivers is made storable, merged into the cache and written to its file.
#include "parts.hpp"

#include "../rawsource.hpp"

#include <algorithm>
#include <tuple>
#include <vector>

namespace velmora::pdatasource {

namespace {

// The raw sources leave out the first day of every download, and Yahoo's the last one too, so
// a range is widened by fetching from a few days inside it: the days lost at the seam are
// ones the cache already holds.
constexpr int seamDays = 7;

py::object shifted(py::object day, int days) {
    py::object datetime = import("datetime");
    py::object parsed = datetime.attr("date").attr("fromisoformat")(day);
    return (parsed + datetime.attr("timedelta")("days"_a = days)).attr("isoformat")();
}

// A cached rate series that lacks rates for longer than a market closes within the span asked would
// fail the conversion on every request: its range holds the gap (a file written before the gap
// was recorded as uncovered, or an answer since repaired), so it is asked for the whole span again.
bool lacksRatesWithin(py::object self, py::handle symbol, py::object startDate, py::object endDate) {
    if (!isRateSeries(symbol)) return false;
    py::object rates = self.attr("cache")[symbol];
    return lacksRatesLong(rates, orNone(startDate), lastKnowableDay(orNone(endDate)));
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
            if (lacksRatesWithin(self, symbol, startDate, endDate)) {
                widen(orNone(startDate), orNone(endDate));
            } else {
                if (!before && !after) continue;
                widen(after && !before ? shifted(coveredLast, -seamDays) : orNone(startDate),
                      before && !after ? shifted(coveredFirst, seamDays) : orNone(endDate));
            }
        }
        missing.symbols.append(symbol);
    }
    return missing;
}

// What the reader would refuse never enters the cache: rows dated after today, which no source
// knows yet, and rows outside the span fetched, which an answer ignoring the span asked holds and no
// later fetch of their own span would replace; zero, negative and infinite prices, or larger ones than
// the cleaning takes, become gaps (as the cleaning of a request makes them). Dates that are no calendar
// days, one row a day, come from a source that breaks its contract: its whole answer is refused, and
// logged.
py::object storablePrices(const py::module_ &m, py::object fetched, const Missing &missing,
                          py::object today) {
    py::object pd = import("pandas"), np = import("numpy");
    if (py::len(fetched.attr("columns")) == 0) return fetched;
    py::object index = fetched.attr("index");
    try {
        bool days = py::isinstance(index, pd.attr("DatetimeIndex")) && index.attr("tz").is_none() &&
                    velmora::truthy(index.attr("is_unique")) &&
                    velmora::truthy(index.attr("equals")(index.attr("normalize")()));
        if (!days) throw py::value_error("the dates are no calendar days, one row a day");
        py::object once = fetched.attr("columns").attr("duplicated")("keep"_a = "last").attr("__invert__")();
        fetched = fetched.attr("loc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), once)];
        py::object last = velmora::truthy(missing.last) && !(missing.last > today) ? missing.last : today;
        py::object span = import("builtins").attr("slice")(missing.first, last);
        fetched = fetched.attr("sort_index")().attr("loc")[span].attr("astype")("float64");
    } catch (py::error_already_set &error) {
        py::object symbols = fetched.attr("columns").attr("tolist")();
        m.attr("logger").attr("error")("Refused the prices of %s: %s", symbols, error.value());
        return pd.attr("DataFrame")();
    }
    py::object values = fetched.attr("to_numpy")();
    py::object valid =
        np.attr("logical_and")(np.attr("greater")(values, 0.0), np.attr("less_equal")(values, largestPrice));
    return fetched.attr("where")(valid);
}

// The first date with a price, as text, or none.
py::object firstPriced(py::object series) {
    py::object first = series.attr("first_valid_index")();
    return first.is_none() ? first : first.attr("strftime")("%Y-%m-%d");
}

// The days the answer for `symbol` lists, priced or not; where the source keeps no record of them,
// the days it priced.
py::object listedDays(py::object rawProvider, py::handle symbol, py::object series) {
    py::object answered = py::getattr(rawProvider, "answeredDays", py::none());
    if (py::isinstance<py::dict>(answered) && answered.contains(symbol)) return answered[symbol];
    return series.attr("dropna")().attr("index");
}

// The days from `first` to `last` the answer lists without a storable price.
py::object unpricedDays(py::object series, py::object listed, py::object first, py::object last) {
    py::object span = import("builtins").attr("slice")(first, last);
    py::object answered = series.attr("reindex")(listed).attr("loc")[span];
    return answered.attr("index")[answered.attr("isna")()];
}

py::object dayText(py::object stamp) { return stamp.attr("strftime")("%Y-%m-%d"); }

// How far the answer covers the stretch from `first` to `last` after what a symbol's range held
// (`anchor`, its last day, none for a new symbol): up to the day before the first day it lists
// without a price, and of that only up to its last price (or the anchor, where it prices none)
// when longer than a market closes follows that it does not list. None when it covers nothing.
py::object coveredEnd(py::object series, py::object listed, py::object first, py::object last,
                      py::object anchor) {
    py::object pd = import("pandas");
    py::object limit = pd.attr("Timestamp")(last);
    py::object unpriced = unpricedDays(series, listed, first, last);
    if (py::len(unpriced) > 0) limit = py::object(unpriced[py::int_(0)]) - pd.attr("Timedelta")("days"_a = 1);
    if (limit < pd.attr("Timestamp")(first)) return anchor;
    py::object priced = series.attr("loc")[py::slice(first, dayText(limit), py::none())].attr("dropna")();
    py::object reached = py::len(priced) > 0 ? py::object(priced.attr("index")[py::int_(-1)])
                         : anchor.is_none()  ? py::none()
                                             : py::object(pd.attr("Timestamp")(anchor));
    if (reached.is_none()) return reached;
    if ((limit - reached).attr("days").cast<int>() > closedDays) limit = reached;
    return dayText(limit);
}

// Where the answer's cover of the stretch from `first` to `last`, before a symbol's range, begins:
// after the last day it lists without a price. Before a stock's first price the service may hold
// none (it was not yet listed), so days the answer does not list there count as covered; a rate
// series' are narrowed further by `rateCover`.
py::object coveredStart(py::object series, py::object listed, py::object first, py::object last) {
    py::object unpriced = unpricedDays(series, listed, first, last);
    if (py::len(unpriced) == 0) return first;
    return shifted(dayText(unpriced[py::int_(-1)]), 1);
}

// Dates as day numbers, so that the stretches between them are differences.
long long dayNumber(py::handle day) {
    return import("numpy").attr("datetime64")(day, "D").attr("astype")("int64").cast<long long>();
}

py::object dayOfNumber(long long number) {
    return py::str(import("numpy").attr("datetime64")(number, "D"));
}

// A rate series' cover of `from` to `to` (`covered` its range before, `known` whether it had one): the
// conversion carries no rate across a stretch without rates longer than a market closes and fails the
// download there, so such a stretch is left uncovered wherever it lies, also before the rates the answer
// lists, and the next request asks for it again. The cover keeps the range it had and grows from it up
// to the first such stretch on either side; a new series' begins at its first rate.
Range rateCover(py::object prices, py::object from, py::object to, Range covered, bool known) {
    py::object priced = prices.attr("loc")[py::slice(from, to, py::none())].attr("dropna")().attr("index");
    auto days = priced.attr("values").attr("astype")("datetime64[D]").attr("astype")("int64")
                    .attr("tolist")().cast<std::vector<long long>>();
    const long long first = dayNumber(from), last = dayNumber(to);
    if (days.empty() && !known) return {from, to};
    long long start = known && velmora::truthy(covered.first) ? std::max(first, dayNumber(covered.first))
                      : days.empty()                          ? first
                                                              : days.front();
    long long end = known && velmora::truthy(covered.second) ? std::min(last, dayNumber(covered.second))
                                                             : start;
    for (auto day = days.rbegin(); day != days.rend(); ++day)
        if (*day < start && start - *day <= closedDays) start = *day;
        else if (*day < start) break;
    if (start - first <= closedDays) start = first;
    for (long long day : days)
        if (day > end && day - end <= closedDays) end = day;
        else if (day > end) break;
    if (last - end <= closedDays) end = last;
    return {start == first ? from : dayOfNumber(start), end == last ? to : dayOfNumber(end)};
}

// A symbol whose span fetched the answer did not cover keeps it uncovered, so that the next request
// asks for it again; it is named among the download's failures as one without prices there, unless
// the download failed for it.
void nameUncovered(py::object self, py::handle symbol) {
    py::object failures = self.attr("downloadFailures");
    if (failures.contains(symbol)) return;
    failures[symbol] = velmora::rawsource::noPricesError("no prices for part of the period asked for");
}

// Merges the delivered symbols into the cache, their fresh prices winning where both have one,
// and widens their ranges by what the answer covers of the span fetched; an open end of the request
// is closed where the prices begin, and at today. A symbol that was not delivered, or has no price in
// its range, keeps what it had and is asked for again next time.
void mergeDelivered(const py::module_ &m, py::object self, py::object fetched, const Missing &missing) {
    py::object cache = self.attr("cache");
    py::set cached(cache.attr("columns"));
    py::dict ranges;
    for (py::handle symbol : cached) {
        Range range = rangeOf(self, symbol);
        ranges[symbol] = py::make_tuple(range.first, range.second);
    }
    py::object today = todayText();
    fetched = storablePrices(m, fetched, missing, today);
    py::list delivered;
    for (py::handle symbol : missing.symbols) {
        bool known = cached.contains(symbol);
        if (!fetched.attr("columns").contains(symbol) || !readableSymbol(symbol)) {
            if (known) nameUncovered(self, symbol);
            continue;
        }
        py::object series = fetched[symbol];
        py::object from = missing.first, to = missing.last;
        Range covered{py::none(), py::none()};
        bool before = false, after = true;
        if (known) {
            covered = rangeOf(self, symbol);
            before = startsBefore(from, covered.first);
            after = endsAfter(to, covered.second);
            if (!before) from = covered.first;
            if (!after) to = covered.second;
        }
        // No source knows prices beyond today: coverage recorded past it would keep a later
        // request from fetching the days that have come since.
        if (!velmora::truthy(to) || to > today) to = today;
        if (!velmora::truthy(from))
            from = firstPriced(known ? py::object(series.attr("combine_first")(cache[symbol])) : series);
        if (from.is_none() || from > to) continue;
        py::object inRange = series.attr("loc")[py::slice(from, to, py::none())];
        if (!known && !velmora::truthy(inRange.attr("notna")().attr("any")())) continue;
        py::object listed = listedDays(self.attr("rawProvider"), symbol, series);
        bool uncovered = false;
        if (after && (!known || to > covered.second)) {
            py::object first = known ? shifted(covered.second, 1) : from;
            py::object end = coveredEnd(series, listed, first, to, known ? covered.second : py::none());
            if (end.is_none()) {
                nameUncovered(self, symbol);
                continue;
            }
            uncovered = end < to;
            to = end;
        }
        if (before && from < covered.first) {
            py::object start = coveredStart(series, listed, from, shifted(covered.first, -1));
            uncovered = uncovered || start > from;
            from = start;
        }
        if (isRateSeries(symbol)) {
            py::object prices = known ? py::object(series.attr("combine_first")(cache[symbol])) : series;
            Range rated = rateCover(prices, from, to, covered, known);
            uncovered = uncovered || rated.first > from || rated.second < to;
            std::tie(from, to) = rated;
        }
        if (uncovered) nameUncovered(self, symbol);
        delivered.append(symbol);
        ranges[symbol] = py::make_tuple(from, to);
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

}  // namespace

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
    mergeDelivered(m, self, fetched, missing);
}

}  // namespace velmora::pdatasource
