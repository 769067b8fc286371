// The base of every allocation method: from a solved optimiser to the allocation and performance tables.
#include "refusals.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

namespace refusals = velmora::refusals;

py::list sortedList(py::handle iterable) { return velmora::builtins().attr("sorted")(iterable); }

// A weight that the solver returns a hair below the minimum is at the minimum and stays.
py::object minimumOf(py::object owner) {
    py::object minWeight = owner.attr("minWeight");
    return velmora::builtins().attr("max")(minWeight - py::float_(refusals::tolerance), py::float_(0.0));
}

// Interior-point solvers leave the stocks they leave out at weights of up to some millionths,
// and at times a little above: a weight below a hundredth of a percent is one they left out,
// whatever the minimum. Kept, it would be rounded up to a whole share, or bought as a fraction
// worth a cent, of a stock the optimiser did not choose.
constexpr double leftOutBelow = 1e-4;

py::object cleanWeights(py::object ef, py::object owner) {
    py::object cutoff = velmora::builtins().attr("max")(minimumOf(owner), py::float_(leftOutBelow));
    return ef.attr("clean_weights")("cutoff"_a = cutoff, "rounding"_a = py::none());
}

py::object uncutWeights(py::object ef) {
    return ef.attr("clean_weights")("cutoff"_a = py::float_(0.0), "rounding"_a = py::none());
}

// A few of the largest weights always stay, so that the maximum weight per stock can still
// be met on the second pass; after them only stocks that reach the minimum weight. They are
// ranked before the cutoff, which would leave the weights below the minimum indistinguishable.
// With a minimum of 0 every stock stays for the second pass.
py::list retainedStocks(py::object owner, py::object weights) {
    py::object maxWeight = owner.attr("maxWeight");
    py::object minimum = minimumOf(owner);
    py::object byWeight = py::module_::import("operator").attr("itemgetter")(1);
    py::object entries =
        velmora::builtins().attr("sorted")(weights.attr("items")(), "key"_a = byWeight, "reverse"_a = true);
    py::list stocksUsed;
    for (py::handle entry : entries) {
        py::object label = entry[py::int_(0)];
        py::object weight = entry[py::int_(1)];
        bool unconditional = py::int_(py::len(stocksUsed)) <= py::int_(1) / maxWeight;
        if (unconditional || weight >= minimum) stocksUsed.append(label);
    }
    return sortedList(stocksUsed);
}

// The owner keeps the narrowed tables after the call: its later steps (backtest, charts)
// describe the stocks that were kept. The old tables are left as they were.
void narrowOwner(py::object owner, py::list stocksUsed) {
    py::object prices = owner.attr("prices");
    owner.attr("prices") = prices[stocksUsed];
    py::object expectedReturns = owner.attr("expectedReturns");
    owner.attr("expectedReturns") = expectedReturns.attr("loc")[stocksUsed];
    py::object historicReturns = owner.attr("historicReturns");
    owner.attr("historicReturns") = historicReturns[stocksUsed];
}

bool anyPositive(py::object weights) {
    for (py::handle weight : weights.attr("values")())
        if (py::reinterpret_borrow<py::object>(weight) > py::int_(0)) return true;
    return false;
}

py::object largestOf(py::object weights) {
    py::list values(weights.attr("values")());
    return py::len(values) == 0 ? py::object(py::float_(0.0)) : velmora::builtins().attr("max")(values);
}

// The stocks the optimiser kept: those of a weight, in label order.
py::list keptStocks(py::dict weights) {
    py::list kept;
    for (auto [label, weight] : weights)
        if (py::reinterpret_borrow<py::object>(weight) > py::int_(0)) kept.append(py::str(label));
    return kept;
}

// No stock gets more than its weight rounded up to a whole share, nor more shares than keep it
// within the maximum weight, which the user holds to as a limit.
long long mostShares(double money, double weight, double price, double most) {
    // A quotient of whole shares that the division leaves a hair off stays that many.
    constexpr double hair = 1e-9;
    auto roundedUp = static_cast<long long>(std::ceil(money * weight / price - hair));
    auto withinMaximum = static_cast<long long>(std::floor(money * most / price + hair));
    return std::max(0LL, std::min(roundedUp, withinMaximum));
}

// The library's integer program counts money kept as cash and money put into a stock above
// its weight alike; it is solved here with the same objective and each stock's most shares as
// a bound, so that the money a cap would take off a stock goes to the others the program can
// still buy, not to cash. A stock whose weight is at the maximum is held at it, to a share: it gets its
// most shares, which the program would otherwise trade for the rounding of the others once the weights
// take the whole capital. No allocation invests less than `invested`. Weights and prices are paired by label,
// in the same order.
py::object cappedIntegerProgram(py::list labels, py::dict weights, py::object prices, py::object capital,
                                py::object caps, py::object least, double invested) {
    py::module_ cp = py::module_::import("cvxpy"), np = py::module_::import("numpy");
    py::object p = prices.attr("to_numpy")("dtype"_a = "float64");
    py::list weightList;
    for (py::handle label : labels) weightList.append(weights[label]);
    py::object w = np.attr("array")(weightList, "dtype"_a = "float64");
    py::ssize_t n = py::len(labels);
    py::object x = cp.attr("Variable")(n, "integer"_a = true), u = cp.attr("Variable")(n);
    py::object remaining = capital - velmora::matmul(p, x);
    py::object eta = w * capital - cp.attr("multiply")(x, p);
    auto compare = [](py::handle a, py::handle b, int op) {
        PyObject *constraint = PyObject_RichCompare(a.ptr(), b.ptr(), op);
        if (constraint == nullptr) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(constraint);
    };
    py::list constraints;
    constraints.append(compare(eta, u, Py_LE));
    constraints.append(compare(eta, -u, Py_GE));
    constraints.append(compare(x, least, Py_GE));
    constraints.append(compare(x, caps, Py_LE));
    constraints.append(compare(remaining, py::int_(0), Py_GE));
    // A hair below the floor, so that the allocation that set it stays within the solver's tolerance.
    if (invested > 0) constraints.append(compare(velmora::matmul(p, x), py::float_(invested * (1 - 1e-9)), Py_GE));
    py::object problem = cp.attr("Problem")(cp.attr("Minimize")(cp.attr("sum")(u) + remaining), constraints);
    problem.attr("solve")();
    py::object status = problem.attr("status");
    if (!status.equal(py::str("optimal")) && !status.equal(py::str("optimal_inaccurate")))
        velmora::raise(PyExc_ArithmeticError, "the integer program found no allocation");
    py::object counts = np.attr("rint")(x.attr("value"));
    py::dict allocation;
    for (py::ssize_t i = 0; i < n; ++i) allocation[labels[i]] = py::int_(counts[py::int_(i)]);
    return allocation;
}

// What the integer program or the library's greedy answer holds, within each stock's most
// shares; a stock of no share is left out.
py::dict withinWeights(py::handle allocation, py::dict weights, py::object lastPrices, py::object capital,
                       py::object maxWeight) {
    double money = capital.cast<double>(), most = maxWeight.cast<double>();
    py::dict capped;
    for (auto [label, shares] : py::reinterpret_borrow<py::dict>(allocation)) {
        double price = lastPrices[label].cast<double>(), weight = weights[label].cast<double>();
        long long count = std::min(shares.cast<long long>(), mostShares(money, weight, price, most));
        if (count > 0) capped[label] = count;
    }
    return capped;
}

// The most of the capital that whole shares of a stock take within the maximum weight, a fraction of it.
double wholeShareMaximum(double money, double price, double most) {
    return static_cast<double>(mostShares(money, most, price, most)) * price / money;
}

// Whole shares hold a dear stock below its weight where one more share would pass the maximum weight; what
// that takes off its weight goes to the stocks still below their whole-share maximum, in proportion to their
// weights, as fractional shares spread what the maximum takes, so that the integer program may put it into
// their shares rather than keep it as cash. The weights keep their total; where none crosses its maximum
// they stay as they are.
std::vector<double> spreadWithinWholeShares(const std::vector<double> &weights, const std::vector<double> &maxima) {
    double total = 0.0;
    bool crosses = false;
    for (size_t i = 0; i < weights.size(); ++i) {
        total += weights[i];
        crosses = crosses || weights[i] > maxima[i];
    }
    if (!crosses || !(total > 0)) return weights;
    std::vector<double> ofTotal(maxima.size());
    for (size_t i = 0; i < maxima.size(); ++i) ofTotal[i] = maxima[i] / total;
    std::vector<double> spread = refusals::spreadWithinMaxima(weights, ofTotal);
    for (double &weight : spread) weight *= total;
    return spread;
}

// The integer program's terms for one set of weights: each stock's weight as its target, its most shares as
// its cap, and, where `held` is at the maximum weight, those shares as its least.
struct ShareTerms {
    py::dict targets;
    py::object caps, least;
};

ShareTerms shareTerms(py::list labels, const std::vector<double> &weights, const std::vector<double> &held,
                      const std::vector<double> &prices, double money, double most) {
    ShareTerms terms;
    py::list caps, least;
    for (size_t i = 0; i < weights.size(); ++i) {
        terms.targets[labels[i]] = weights[i];
        long long cap = mostShares(money, weights[i], prices[i], most);
        caps.append(cap);
        least.append(held[i] >= most - refusals::tolerance ? cap : 0LL);
    }
    py::object np = py::module_::import("numpy");
    terms.caps = np.attr("array")(caps, "dtype"_a = "float64");
    terms.least = np.attr("array")(least, "dtype"_a = "float64");
    return terms;
}

double investedBy(py::dict shares, py::list labels, const std::vector<double> &prices) {
    double invested = 0.0;
    for (size_t i = 0; i < prices.size(); ++i) invested += shares[labels[i]].cast<double>() * prices[i];
    return invested;
}

// The spread weights raise the targets and caps of the stocks below their maximum, but the program counts
// an overshoot and the cash it saves alike, so with the others' targets raised it may keep as cash the price
// of a dear share that the plain weights buy. The plain weights' allocation is solved first, and what it
// invests is a floor for the spread one; a stock is held at its maximum only where its own weight is, since
// the shares the spread would force there could take the money for a dear stock's one share.
py::dict spreadIntegerProgram(py::list labels, const std::vector<double> &weights, const std::vector<double> &spread,
                              const std::vector<double> &prices, py::object lastPrices, py::object capital,
                              double most) {
    double money = capital.cast<double>();
    py::object labelPrices = lastPrices.attr("loc")[labels];
    ShareTerms plain = shareTerms(labels, weights, weights, prices, money, most);
    py::dict shares = cappedIntegerProgram(labels, plain.targets, labelPrices, capital, plain.caps, plain.least, 0.0);
    if (spread == weights) return shares;
    ShareTerms spreadTerms = shareTerms(labels, spread, weights, prices, money, most);
    try {
        return cappedIntegerProgram(labels, spreadTerms.targets, labelPrices, capital, spreadTerms.caps,
                                    spreadTerms.least, investedBy(shares, labels, prices));
    } catch (py::error_already_set &) {
        return shares;
    }
}

// A weight without a latest price cannot be bought, nor can a weight of 0.
py::object wholeShares(py::dict weights, py::object lastPrices, py::object capital, py::object maxWeight) {
    py::list labels;
    std::vector<double> parts, prices, maxima;
    double money = capital.cast<double>(), most = maxWeight.cast<double>();
    for (auto [label, weight] : weights) {
        bool positive = py::reinterpret_borrow<py::object>(weight) > py::int_(0);
        if (!positive || !lastPrices.attr("index").contains(label)) continue;
        labels.append(label);
        parts.push_back(weight.cast<double>());
        prices.push_back(lastPrices[label].cast<double>());
        maxima.push_back(wholeShareMaximum(money, prices.back(), most));
    }
    std::vector<double> spread = spreadWithinWholeShares(parts, maxima);
    py::dict priced;
    for (size_t i = 0; i < spread.size(); ++i) priced[labels[i]] = spread[i];
    py::object shares;
    try {
        shares = spreadIntegerProgram(labels, parts, spread, prices, lastPrices, capital, most);
    } catch (py::error_already_set &) {
        shares = py::module_::import("pypfopt.discrete_allocation")
                     .attr("DiscreteAllocation")(priced, lastPrices.attr("loc")[labels],
                                                 "total_portfolio_value"_a = capital)
                     .attr("greedy_portfolio")()[py::int_(0)];
    }
    return withinWeights(shares, priced, lastPrices, capital, maxWeight);
}

// The weights left after the cutoff are scaled up to the whole capital, but no stock above
// the maximum weight: what a stock cannot take goes to those below the maximum, and stays as cash
// only where every stock is at it.
py::dict fractionalShares(py::dict weights, py::object lastPrices, py::object capital, py::object maxWeight) {
    py::object sumWeights = py::int_(0);
    for (auto [label, weight] : weights) sumWeights = sumWeights + py::reinterpret_borrow<py::object>(weight);
    std::vector<double> parts;
    bool crosses = false;
    for (auto [label, weight] : weights) {
        py::object share = py::reinterpret_borrow<py::object>(weight);
        parts.push_back(share.cast<double>());
        crosses = crosses || (share > py::int_(0) && share / sumWeights > maxWeight);
    }
    std::vector<double> spread = refusals::spreadWithinMaximum(parts, maxWeight.cast<double>());
    py::dict allocation;
    size_t i = 0;
    for (auto [label, weight] : weights) {
        py::object share = py::reinterpret_borrow<py::object>(weight);
        double fraction = spread[i++];
        if (!(share > py::int_(0))) continue;
        allocation[label] = crosses ? capital * py::float_(fraction) / lastPrices[label]
                                    : capital * share / lastPrices[label] / sumWeights;
    }
    return allocation;
}

bool wholeSharesConfigured(py::object owner) {
    py::object fractional = owner.attr("config").attr("allocation").attr("fractional");
    return py::isinstance<py::str>(fractional) && fractional.cast<std::string>() == "NO";
}

py::object allocationTable(py::object owner, py::object allocation, py::object lastPrices,
                           py::object capital) {
    py::object pd = velmora::pandas();
    py::object shares = pd.attr("DataFrame")(py::list(allocation.attr("items")()),
                                             "columns"_a = py::make_tuple("Symbol", "Shares"));
    if (wholeSharesConfigured(owner)) shares["Shares"] = shares["Shares"].attr("astype")("int");
    py::object prices = pd.attr("DataFrame")(py::list(lastPrices.attr("items")()),
                                             "columns"_a = py::make_tuple("Symbol", "Price"));
    py::object table = shares.attr("merge")(prices, "on"_a = "Symbol", "how"_a = "inner", "sort"_a = true);
    py::object value = table["Shares"] * table["Price"];
    table["Value"] = value;
    table["Weight"] = value / capital * py::int_(100);
    return table;
}

py::object performanceTable(py::object self, py::object owner, py::object ef, py::object table) {
    py::list values;
    for (py::handle figure : self.attr("getPortfolioPerformance")(owner, ef))
        values.append(py::reinterpret_borrow<py::object>(figure) * py::int_(100));
    values.append(table["Value"].attr("sum")());
    py::list sum;
    sum.append(velmora::translate("Sum"));
    py::dict columns;
    py::object results = self.attr("results");
    columns["Name"] = results + sum;
    columns["Value"] = values;
    return velmora::pandas().attr("DataFrame")(columns).attr("round")(2);
}

py::tuple computeRecommendation(py::object self, py::object owner) {
    refusals::refuseUnmeetableLimits(owner);
    py::object ef = self.attr("computeRecommendation2")(owner);
    narrowOwner(owner, retainedStocks(owner, uncutWeights(ef)));
    if (velmora::truthy(self.attr("twoPhase"))) ef = self.attr("computeRecommendation2")(owner);
    py::object weights = cleanWeights(ef, owner);
    // Weights that are all below the minimum buy nothing the user asked for.
    if (!anyPositive(weights)) refusals::refuseWeightsBelowMinimum(owner, largestOf(uncutWeights(ef)));
    py::object lastPrices = owner.attr("prices").attr("iloc")[py::int_(-1)];
    py::object capital = owner.attr("config").attr("allocation").attr("capital");
    py::dict ordered = velmora::builtins().attr("dict")(sortedList(weights.attr("items")()));
    py::object maxWeight = owner.attr("maxWeight");
    py::object allocation = wholeSharesConfigured(owner)
                                ? wholeShares(ordered, lastPrices, capital, maxWeight)
                                : fractionalShares(ordered, lastPrices, capital, maxWeight);
    // Whole shares of the chosen stocks may all lie above what the capital buys within the
    // maximum; an empty table would leave the user guessing why.
    if (py::len(allocation) == 0) refusals::refuseNoWholeShareOf(owner, keptStocks(ordered));
    py::object table = allocationTable(owner, allocation, lastPrices, capital);
    // The performance describes the cleaned weights; an optimiser that cannot take them
    // back reports its own.
    try {
        ef.attr("set_weights")(ordered);
    } catch (py::error_already_set &) {
    }
    return py::make_tuple(table, performanceTable(self, owner, ef, table));
}

py::tuple plotAnalysis(py::object self, py::object ax, py::kwargs) {
    if (!ax.is_none()) ax.attr("axis")("off");
    return py::make_tuple(py::none(), py::none());
}

// Optimisers that take no frequency report their figures for the risk-free rate alone.
py::object getPortfolioPerformance(py::object self, py::object owner, py::object ef) {
    py::object allocation = owner.attr("config").attr("allocation");
    try {
        py::object benchmark = allocation.attr("benchmark");
        py::object riskFreeRate = benchmark / py::float_(100.0);
        return ef.attr("portfolio_performance")("risk_free_rate"_a = riskFreeRate,
                                                "frequency"_a = allocation.attr("tradingDaysPerYear"));
    } catch (py::error_already_set &) {
        py::object benchmark = allocation.attr("benchmark");
        py::object riskFreeRate = benchmark / py::float_(100.0);
        return ef.attr("portfolio_performance")("risk_free_rate"_a = riskFreeRate);
    }
}

void defineRecommendationMethod(py::module_ &m) {
    py::object cls = velmora::makeClass(m, "RecommendationMethod");
    cls.attr("twoPhase") = true;
    velmora::method(cls, "computeRecommendation", &computeRecommendation, "owner"_a);
    velmora::method(cls, "plotAnalysis", &plotAnalysis, "ax"_a = py::none());
    velmora::method(cls, "getPortfolioPerformance", &getPortfolioPerformance, "owner"_a, "ef"_a);
}

}  // namespace

PYBIND11_MODULE(rmethod, m) { defineRecommendationMethod(m); }
