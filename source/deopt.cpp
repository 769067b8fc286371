// Differential evolution over share counts: the optimiser, the estimators of return and risk
// it is fed with, and the maximum-Sharpe and minimum-volatility methods built on it.
#include "pyclass.hpp"
#include "refusals.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

using velmora::matmul;
using velmora::power;

// The hot loop works on plain double arrays; anything array-like (a table, an integer
// array) is converted once per call, an array of doubles is used as it is.
using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

Array asArray(py::handle value) { return Array(py::reinterpret_borrow<py::object>(value)); }

py::module_ numpy() { return py::module_::import("numpy"); }

// `first, second = value`, with the interpreter's own complaint when it is not a pair.
std::pair<py::object, py::object> unpackPair(py::handle value) {
    py::tuple items(py::reinterpret_borrow<py::object>(value));
    if (items.size() != 2)
        velmora::raise(PyExc_ValueError,
                       items.size() > 2 ? std::string("too many values to unpack (expected 2)")
                                        : "not enough values to unpack (expected 2, got "
                                              + std::to_string(items.size()) + ")");
    return {items[0], items[1]};
}

[[noreturn]] void shapeError(const std::string &what) { velmora::raise(PyExc_ValueError, what); }

// ---------------------------------------------------------------------------------------
// Kernels. A decision vector holds n counts and then n used flags; a population holds
// its members in columns (2n x S), the layout the optimiser hands over. Weights are laid
// out one member per row (S x n). Products and quotients follow the numpy expressions in
// their order and give the same bits; sums run from the first stock to the last, where
// numpy's dot product may differ in the last bits.

struct Layout {
    py::ssize_t n;        // stocks
    py::ssize_t members;  // S, or 1 for a single vector
    bool population;
};

Layout decisionLayout(const Array &x, py::ssize_t stocks) {
    if (x.ndim() < 1 || x.ndim() > 2 || x.shape(0) != 2 * stocks)
        shapeError("a decision vector of " + std::to_string(2 * stocks) + " entries is expected for "
                   + std::to_string(stocks) + " stocks");
    return {stocks, x.ndim() == 2 ? x.shape(1) : 1, x.ndim() == 2};
}

// counts x flags, in the population's own layout (n, or n x S).
Array realCounts(const Array &x, py::ssize_t stocks) {
    Layout layout = decisionLayout(x, stocks);
    std::vector<py::ssize_t> shape{layout.n};
    if (layout.population) shape.push_back(layout.members);
    Array result(shape);
    const double *in = x.data();
    double *out = result.mutable_data();
    py::ssize_t half = layout.n * layout.members;
    for (py::ssize_t k = 0; k < half; ++k) out[k] = in[k] * in[half + k];
    return result;
}

// x^T y x per member: y times the member first, then the dot product with the member, as
// numpy's tensordot evaluates it.
std::vector<double> quadraticForms(const double *x, py::ssize_t members, py::ssize_t n, const Array &y) {
    if (y.ndim() != 2 || y.shape(0) != n || y.shape(1) != n)
        shapeError("the matrix of the quadratic form must be " + std::to_string(n) + " x "
                   + std::to_string(n));
    const double *matrix = y.data();
    std::vector<double> forms(members);
    for (py::ssize_t s = 0; s < members; ++s) {
        const double *row = x + s * n;
        double form = 0.0;
        for (py::ssize_t i = 0; i < n; ++i) {
            double product = 0.0;
            for (py::ssize_t j = 0; j < n; ++j) product += matrix[i * n + j] * row[j];
            form += row[i] * product;
        }
        forms[s] = form;
    }
    return forms;
}

// One number for a vector, an array of one number per row for a matrix.
py::object perMember(const std::vector<double> &values, bool matrix) {
    if (!matrix) return py::float_(values[0]);
    Array result(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), result.mutable_data());
    return result;
}

py::object quadForm(py::object x, py::object y) {
    Array weights = asArray(x);
    if (weights.ndim() < 1 || weights.ndim() > 2) shapeError("weights must be a vector or a matrix");
    bool matrix = weights.ndim() == 2;
    py::ssize_t n = weights.shape(weights.ndim() - 1);
    return perMember(quadraticForms(weights.data(), matrix ? weights.shape(0) : 1, n, asArray(y)), matrix);
}

// ---------------------------------------------------------------------------------------
// Optimizer

py::ssize_t stockCount(py::handle self) { return self.attr("stockCount").cast<py::ssize_t>(); }

void initOptimizer(const py::module_ &m, py::object self, py::object capital, py::object prices,
                   py::object minWeight, py::object maxWeight, py::object progress, py::object defaultValue,
                   py::object minDelta, py::object fractional) {
    self.attr("capital") = capital;
    self.attr("prices") = prices;
    self.attr("minWeight") = minWeight;
    self.attr("maxWeight") = maxWeight;
    self.attr("fractional") = fractional;
    self.attr("progress") = progress;
    self.attr("defaultValue") = defaultValue;
    self.attr("minDelta") = minDelta;
    self.attr("stockCount") = py::len(prices.attr("columns"));
    self.attr("lastPrices") = prices.attr("iloc")[py::int_(-1)].attr("values");
}

py::object realCount(const py::module_ &m, py::object self, py::object x) {
    return realCounts(asArray(x), stockCount(self));
}

// Money of each stock as a fraction of the capital, one row per member.
py::object weights(const py::module_ &m, py::object self, py::object x) {
    Array counts = asArray(self.attr("RealCount")(x));
    Array prices = asArray(self.attr("lastPrices"));
    double capital = self.attr("capital").cast<double>();
    py::ssize_t n = prices.size();
    if (counts.ndim() < 1 || counts.ndim() > 2 || counts.shape(0) != n)
        shapeError("real counts of " + std::to_string(n) + " stocks are expected");
    bool population = counts.ndim() == 2;
    py::ssize_t members = population ? counts.shape(1) : 1;
    std::vector<py::ssize_t> shape{n};
    if (population) shape.insert(shape.begin(), members);
    Array result(shape);
    const double *in = counts.data();
    const double *price = prices.data();
    double *out = result.mutable_data();
    for (py::ssize_t i = 0; i < n; ++i)
        for (py::ssize_t s = 0; s < members; ++s) out[s * n + i] = in[i * members + s] * price[i] / capital;
    return result;
}

// A candidate that buys nothing scores not-a-number, which the library's choice of the best
// member takes over any number: it would recommend buying nothing. It ranks last instead.
py::object lastWhenNotANumber(py::object scores) {
    py::module_ np = numpy();
    if (py::isinstance<py::array>(scores)) return np.attr("where")(np.attr("isnan")(scores), np.attr("inf"), scores);
    return std::isnan(scores.cast<double>()) ? py::float_(HUGE_VAL) : scores;
}

py::object objective(const py::module_ &m, py::object self, py::object x) {
    Array decision = asArray(x);
    if (decision.ndim() > 1 && decision.shape(1) == 0) return numpy().attr("zeros")(0);
    self.attr("valid") = true;
    return lastWhenNotANumber(self.attr("objectiveFunc")(self.attr("Weights")(decision)));
}

// The money spent; a population gets one row with a column per member, the shape the
// library expects of a constraint.
py::object capitalConstraint(const py::module_ &m, py::object self, py::object x) {
    Array decision = asArray(x);
    Array counts = asArray(self.attr("RealCount")(decision));
    Array prices = asArray(self.attr("lastPrices"));
    py::ssize_t n = prices.size();
    if (counts.ndim() < 1 || counts.ndim() > 2 || counts.shape(0) != n)
        shapeError("real counts of " + std::to_string(n) + " stocks are expected");
    bool population = counts.ndim() == 2;
    py::ssize_t members = population ? counts.shape(1) : 1;
    const double *in = counts.data();
    const double *price = prices.data();
    std::vector<double> spent(members, 0.0);
    for (py::ssize_t s = 0; s < members; ++s)
        for (py::ssize_t i = 0; i < n; ++i) spent[s] += in[i * members + s] * price[i];
    if (!population) return py::float_(spent[0]);
    Array result(std::vector<py::ssize_t>{1, members});
    std::copy(spent.begin(), spent.end(), result.mutable_data());
    return result;
}

// After every generation. The stop rule compares the gain of the last three generations
// with a quarter of the spread of the whole history, so a search that is still moving a
// lot needs a larger gain to go on; minDelta is the floor of that limit.
py::object callback(const py::module_ &m, py::object self, py::args args, py::kwargs kwargs) {
    py::list history = self.attr("history");
    py::ssize_t recorded = py::len(history);
    py::object progress = self.attr("progress");
    if (!progress.is_none()) {
        py::object goOn = progress(recorded + 1, std::max<py::ssize_t>(10, recorded + 4));
        if (!velmora::truthy(goOn)) return py::bool_(true);
    }
    py::module_ np = numpy();
    if (!velmora::truthy(self.attr("valid"))) {
        history.append(np.attr("nan"));
        return py::none();
    }
    if (args.empty()) velmora::raise(PyExc_TypeError, "Callback() needs the best decision vector");
    history.append(self.attr("Objective")(args[0]));
    py::ssize_t length = py::len(history);
    if (length > 4) {
        py::object delta = history[length - 4] - history[length - 1];
        py::object quarter = np.attr("std")(history) / py::int_(4);
        py::object minDelta = self.attr("minDelta");
        py::object limit = quarter > minDelta ? quarter : minDelta;
        if (delta < limit) {
            if (!progress.is_none()) progress(py::none(), "maxValue"_a = length);
            return py::bool_(true);
        }
    }
    return py::none();
}

// Bounds of the counts from the weight limits. Whole shares keep a stock within its maximum
// weight by rounding down; a held stock reaches its minimum weight by rounding up, unless the
// count that does is above the maximum's, where it takes the most that the maximum allows.
py::object floorDivision(py::object money, py::object lastPrices) {
    PyObject *quotient = PyNumber_FloorDivide(money.ptr(), lastPrices.ptr());
    if (!quotient) throw py::error_already_set();
    return numpy().attr("round")(py::reinterpret_steal<py::object>(quotient), 0);
}

py::object upperCounts(py::object capital, py::object maxWeight, py::object lastPrices, bool whole) {
    py::object money = capital * maxWeight;
    return whole ? floorDivision(money, lastPrices) : money / lastPrices;
}

py::object lowerCounts(py::object capital, py::object minWeight, py::object lastPrices, py::object upper,
                       bool whole) {
    py::object money = capital * minWeight;
    if (!whole) return money / lastPrices;
    // A quotient of whole shares that the division leaves a hair above stays that many.
    py::object roundedUp = numpy().attr("ceil")(money / lastPrices - py::float_(1e-9));
    return numpy().attr("minimum")(roundedUp, upper);
}

// The least money the search takes as an allocation of the capital: whole shares leave cash
// of up to a share's price under every stock's limit.
py::object leastSpent(py::object capital, py::object lastPrices) {
    return py::float_(0.99) * capital - py::int_(2) * numpy().attr("median")(lastPrices);
}

// A member within the bounds that spends between the least the search takes and the capital,
// where one is found: the search starts from it, so its best member meets the constraint from
// the first generation on and the search cannot end with none. Each set of the k cheapest (by
// their least money) or the k largest (by their most money) stocks starts at its lower counts
// and is filled towards its upper counts, the cheapest shares first.
struct CountLimits {
    std::vector<double> lower, upper, prices;
    double capital, lowest;
    bool whole;
};

std::vector<double> filledCounts(const CountLimits &limits, const std::vector<size_t> &held) {
    std::vector<double> counts(limits.lower.size(), 0.0);
    double spent = 0.0;
    for (size_t i : held) {
        counts[i] = limits.lower[i];
        spent += counts[i] * limits.prices[i];
    }
    if (spent > limits.capital) return {};
    if (limits.whole) {
        std::vector<size_t> cheapestFirst = held;
        std::sort(cheapestFirst.begin(), cheapestFirst.end(),
                  [&](size_t a, size_t b) { return limits.prices[a] < limits.prices[b]; });
        for (size_t i : cheapestFirst) {
            double more = std::floor((limits.capital - spent) / limits.prices[i]);
            double added = std::max(0.0, std::min(limits.upper[i] - counts[i], more));
            counts[i] += added;
            spent += added * limits.prices[i];
        }
    } else {
        double room = 0.0;
        for (size_t i : held) room += (limits.upper[i] - limits.lower[i]) * limits.prices[i];
        double share = room > 0 ? std::min(1.0, (limits.capital - spent) / room) : 0.0;
        for (size_t i : held) {
            counts[i] += share * (limits.upper[i] - limits.lower[i]);
        }
        spent += share * room;
    }
    if (spent < limits.lowest) return {};
    return counts;
}

py::object feasibleMember(const CountLimits &limits) {
    size_t n = limits.lower.size();
    std::vector<size_t> byLeast(n), byMost(n);
    for (size_t i = 0; i < n; ++i) byLeast[i] = byMost[i] = i;
    std::sort(byLeast.begin(), byLeast.end(), [&](size_t a, size_t b) {
        return limits.lower[a] * limits.prices[a] < limits.lower[b] * limits.prices[b];
    });
    std::sort(byMost.begin(), byMost.end(), [&](size_t a, size_t b) {
        return limits.upper[a] * limits.prices[a] > limits.upper[b] * limits.prices[b];
    });
    for (size_t k = n; k >= 1; --k)
        for (const std::vector<size_t> *order : {&byLeast, &byMost}) {
            std::vector<size_t> held(order->begin(), order->begin() + static_cast<std::ptrdiff_t>(k));
            std::vector<double> counts = filledCounts(limits, held);
            if (counts.empty()) continue;
            Array member(std::vector<py::ssize_t>{static_cast<py::ssize_t>(2 * n)});
            double *x = member.mutable_data();
            for (size_t i = 0; i < n; ++i) {
                x[n + i] = std::find(held.begin(), held.end(), i) != held.end() ? 1.0 : 0.0;
                // A stock not held keeps a count within its bounds; its flag makes it buy nothing.
                x[i] = x[n + i] > 0 ? counts[i] : limits.lower[i];
            }
            return member;
        }
    return py::none();
}

// Polished fractional counts may overshoot the capital by a rounding error, which is no breach.
py::object roundingOf(py::object capital) { return capital / py::float_(1e6); }

// The library polishes fractional counts with its trust-region method, which took nine tenths of
// a search's time and reported no progress while it ran. SLSQP polishes them in about what a
// generation costs; a polished member that leaves the capital's range counts as no polish.
py::cpp_function capitalKeepingPolish(py::object self, py::object lowest) {
    return py::cpp_function([self, lowest](py::object func, py::object x0, py::kwargs kwargs) {
        py::object result =
            py::module_::import("scipy.optimize").attr("minimize")(func, x0, "method"_a = "SLSQP", **kwargs);
        py::object spent = self.attr("CapitalConstraint")(result.attr("x"));
        py::object capital = self.attr("capital");
        if (!(spent >= lowest && spent <= capital + roundingOf(capital))) result["success"] = false;
        return result;
    }, py::arg("func"), py::arg("x0"));
}

std::vector<double> valuesOf(py::handle array) {
    Array values = asArray(array);
    return std::vector<double>(values.data(), values.data() + values.size());
}

py::tuple optimize(const py::module_ &m, py::object self, py::object objectiveFunc) {
    py::module_ optimizeModule = py::module_::import("scipy.optimize");
    py::object capital = self.attr("capital");
    py::object lastPrices = self.attr("lastPrices");
    py::object lowest = leastSpent(capital, lastPrices);
    py::object constraint = optimizeModule.attr("NonlinearConstraint")(self.attr("CapitalConstraint"),
                                                                        "lb"_a = lowest, "ub"_a = capital);

    py::object fractional = self.attr("fractional");
    bool whole = fractional.equal(py::str("NO"));
    py::object upper = upperCounts(capital, self.attr("maxWeight"), lastPrices, whole);
    py::object lower = lowerCounts(capital, self.attr("minWeight"), lastPrices, upper, whole);
    py::ssize_t n = stockCount(self);
    py::list bounds, integrality;
    for (py::ssize_t i = 0; i < n; ++i) bounds.append(py::make_tuple(lower[py::int_(i)], upper[py::int_(i)]));
    for (py::ssize_t i = 0; i < n; ++i) bounds.append(py::make_tuple(0, 1));
    for (py::ssize_t i = 0; i < n; ++i) integrality.append(whole);
    for (py::ssize_t i = 0; i < n; ++i) integrality.append(true);

    self.attr("history") = py::list();
    self.attr("valid") = false;
    py::object progress = self.attr("progress");
    if (!progress.is_none()) progress(0, 10);
    self.attr("objectiveFunc") = objectiveFunc;
    CountLimits limits{valuesOf(lower), valuesOf(upper), valuesOf(lastPrices), capital.cast<double>(),
                       lowest.cast<double>(), whole};
    self.attr("startingMember") = feasibleMember(limits);
    py::object result = optimizeModule.attr("differential_evolution")(
        self.attr("Objective"), "constraints"_a = py::make_tuple(constraint), "bounds"_a = bounds,
        "integrality"_a = integrality, "vectorized"_a = false, "mutation"_a = py::make_tuple(0.05, 0.2),
        "maxiter"_a = 50, "popsize"_a = 40, "callback"_a = self.attr("Callback"), "x0"_a = self.attr("startingMember"),
        "polish"_a = capitalKeepingPolish(self, lowest));
    py::object best = result.attr("x");

    // The library hands back the least infeasible member when none met the constraint;
    // that would spend more than the capital (or far less), so it is no recommendation. Its
    // polishing may overshoot by a rounding error.
    py::object spent = self.attr("CapitalConstraint")(best);
    if (!(spent >= lowest && spent <= capital + roundingOf(capital)))
        velmora::raise(PyExc_ValueError,
                       velmora::translate("No allocation within the capital was found; try a larger capital "
                                          "or other weight limits."));

    py::object w = self.attr("Weights")(best);
    py::object counts = self.attr("RealCount")(best);
    py::dict columns;
    columns["Symbol"] = self.attr("prices").attr("columns");
    columns["Weight"] = w * py::int_(100);
    columns["Shares"] = whole ? counts.attr("astype")(py::module_::import("builtins").attr("int")) : counts;
    columns["Price"] = lastPrices;
    columns["Value"] = counts * lastPrices;
    py::object recommendation = py::module_::import("pandas").attr("DataFrame")(columns);
    py::object value = recommendation["Value"];
    PyObject *bought = PyObject_RichCompare(value.ptr(), py::int_(1).ptr(), Py_GT);
    if (!bought) throw py::error_already_set();
    recommendation = recommendation[py::reinterpret_steal<py::object>(bought)];
    return py::make_tuple(recommendation, w);
}

void defineOptimizer(py::module_ &m) {
    py::object cls = velmora::makeClass(m, "Optimizer");
    velmora::constructor(cls, std::as_const(m), &initOptimizer, "capital"_a, "prices"_a, "minWeight"_a,
                         "maxWeight"_a, "progress"_a = py::none(), "defaultValue"_a = 0, "minDelta"_a = 0.01,
                         "fractional"_a = "NO");
    velmora::staticMethod(cls, "QuadForm", &quadForm, "x"_a, "y"_a);
    velmora::method(cls, "RealCount", std::as_const(m), &realCount, "x"_a);
    velmora::method(cls, "Weights", std::as_const(m), &weights, "x"_a);
    velmora::method(cls, "Objective", std::as_const(m), &objective, "x"_a);
    velmora::method(cls, "CapitalConstraint", std::as_const(m), &capitalConstraint, "x"_a);
    {
        // The library inspects the callback's signature to choose how to call it; a
        // compiled function has none unless its docstring opens with one.
        py::options options;
        options.disable_function_signatures();
        velmora::method(cls, "Callback", std::as_const(m), &callback,
                        py::doc("Callback($self, /, *args, **kwargs)\n--\n\nCalled after every generation."));
    }
    velmora::method(cls, "optimize", std::as_const(m), &optimize, "objective"_a);
}

// ---------------------------------------------------------------------------------------
// Estimators

py::object dailyReturns(py::object prices) { return prices.attr("pct_change")(); }

py::object lastEwmaMean(py::object series, py::object span) {
    return series.attr("ewm")("span"_a = span).attr("mean")().attr("iloc")[py::int_(-1)];
}

void prepare(py::object self) {}

py::object computeEwmaReturns(py::object self, py::object prices, py::object frequency, py::object span) {
    py::object returns = dailyReturns(prices).attr("dropna")("how"_a = "all");
    py::object ewmaLast = lastEwmaMean(returns, span);
    return power(py::int_(1) + ewmaLast, frequency) - py::int_(1);
}

py::object expPairCov(py::object self, py::object X, py::object Y, py::object span) {
    py::object covariation = (X - X.attr("mean")()) * (Y - Y.attr("mean")());
    return lastEwmaMean(covariation, span);
}

py::object computeExpCov(py::object self, py::object prices, py::object frequency, py::object span) {
    py::object returns = dailyReturns(prices).attr("dropna")("how"_a = "all");
    py::object columns = prices.attr("columns");
    py::ssize_t n = py::len(columns);
    Array S(std::vector<py::ssize_t>{n, n});
    std::fill(S.mutable_data(), S.mutable_data() + n * n, 0.0);
    double *entries = S.mutable_data();
    py::object byPosition = returns.attr("iloc");
    auto all = py::reinterpret_steal<py::object>(PySlice_New(nullptr, nullptr, nullptr));
    for (py::ssize_t i = 0; i < n; ++i)
        for (py::ssize_t j = i; j < n; ++j) {
            double v = self.attr("expPairCov")(byPosition[py::make_tuple(all, i)],
                                               byPosition[py::make_tuple(all, j)], "span"_a = span)
                           .cast<double>();
            entries[i * n + j] = v;
            entries[j * n + i] = v;
        }
    return py::module_::import("pandas").attr("DataFrame")(S * frequency, "columns"_a = columns,
                                                            "index"_a = columns);
}

// The mean cross-product of the shortfalls below the daily risk-free rate. Their covariance
// (demeaned) would give a stock that falls short by the same amount every day no risk at all.
py::object computeSemiCov(py::object self, py::object prices, py::object riskFree, py::object frequency) {
    py::object returns = dailyReturns(prices).attr("dropna")();
    py::object drops = numpy().attr("fmin")(returns - riskFree / frequency, 0);
    py::object observations = py::tuple(drops.attr("shape"))[0];
    py::object semicov = matmul(drops.attr("T"), drops) / observations * frequency;
    return semicov.attr("values");
}

py::object computeCapmReturn(py::object self, py::object prices, py::object frequency, py::object riskFree) {
    py::object returns = dailyReturns(prices).attr("dropna")("how"_a = "all");
    returns["_mkt"] = returns.attr("mean")("axis"_a = 1);
    py::object cov = returns.attr("cov")();
    py::object market = cov["_mkt"];
    py::object marketVariance = cov.attr("loc")[py::make_tuple("_mkt", "_mkt")];
    py::object betas = (market / marketVariance).attr("drop")("_mkt");
    py::object marketReturns = returns["_mkt"];
    py::object growth = (py::int_(1) + marketReturns).attr("prod")();
    py::object mkt_mean_ret = power(growth, frequency / marketReturns.attr("count")()) - py::int_(1);
    return riskFree + betas * (mkt_mean_ret - riskFree);
}

// ---------------------------------------------------------------------------------------
// Methods

py::object allocationSetting(py::handle owner, const char *key) {
    return owner.attr("config").attr("allocation").attr(key);
}

// The compound annual growth from the first to the last price. n prices span n - 1 daily
// periods; counting the prices would understate every return.
py::object meanHistoricalReturn(py::object prices, py::object tradingDays) {
    py::object rows = py::int_(py::len(prices));
    py::object periods = rows - py::int_(1);
    py::object last = prices.attr("iloc")[py::int_(-1)];
    py::object first = prices.attr("iloc")[py::int_(0)];
    py::object growth = last / first;
    return power(growth, py::int_(1) / (periods / tradingDays)) - py::int_(1);
}

void estimateReturns(py::object self, py::object owner, py::object prices) {
    py::object method = allocationSetting(owner, "returnMethod");
    py::object tradingDays = allocationSetting(owner, "tradingDaysPerYear");
    if (method.equal(py::str("mean_historical_return")))
        self.attr("expectedReturns") = meanHistoricalReturn(prices, tradingDays);
    else if (method.equal(py::str("ema_historical_return")))
        self.attr("expectedReturns") = self.attr("computeEwmaReturns")(prices, tradingDays, 500);
    else if (method.equal(py::str("capm_return")))
        self.attr("expectedReturns") = self.attr("computeCapmReturn")(
            prices, "frequency"_a = tradingDays,
            "riskFree"_a = allocationSetting(owner, "benchmark") / py::int_(100));
}

void estimateRisk(py::object self, py::object owner, py::object prices) {
    py::object method = allocationSetting(owner, "riskMethod");
    auto is = [&method](const char *name) { return method.equal(py::str(name)); };
    const char *label = "Volatility";
    if (is("sample_cov")) {
        py::object returns = dailyReturns(prices).attr("dropna")();
        py::object sample = returns.attr("cov")().attr("values");
        self.attr("cov") = sample * allocationSetting(owner, "tradingDaysPerYear");
    } else if (is("exp_cov")) {
        self.attr("cov") = self.attr("computeExpCov")(
            prices, "frequency"_a = allocationSetting(owner, "tradingDaysPerYear"), "span"_a = 180);
    } else if (is("semicovariance")) {
        self.attr("cov") = self.attr("computeSemiCov")(
            prices, "frequency"_a = allocationSetting(owner, "tradingDaysPerYear"),
            "riskFree"_a = allocationSetting(owner, "benchmark") / py::int_(100));
        label = "Downside Volatility";
    } else if (is("ledoit_wolf")) {
        // The estimator demeans its input in place, so it gets a copy of its own.
        py::object returns = dailyReturns(prices).attr("dropna")().attr("to_numpy")("dtype"_a = "float64",
                                                                                    "copy"_a = true);
        py::object sigma = py::module_::import("ledoit_wolf").attr("shrinkage")(returns)[py::int_(0)];
        self.attr("cov") = sigma * allocationSetting(owner, "tradingDaysPerYear");
    } else if (is("ledoit_wolf_constant_variance") || is("ledoit_wolf_single_factor")
               || is("ledoit_wolf_constant_correlation") || is("oracle_approximating")) {
        py::object riskModels = py::module_::import("pypfopt.risk_models");
        self.attr("cov") = riskModels.attr("risk_matrix")(prices, "method"_a = method);
    } else {
        return;
    }
    self.attr("riskObjective") = velmora::translate(label);
}

std::vector<double> moneyOf(py::object counts, py::object lastPrices) {
    Array money = asArray(counts * lastPrices);
    return std::vector<double>(money.data(), money.data() + money.size());
}

// Limits that no allocation the search accepts can meet are told before it runs for seconds
// and fails. A held stock takes from its least money (its minimum, rounded up to a share) to
// its most (its maximum, rounded down to a share); some number of stocks must together be able
// to spend no more than the capital and no less than the search takes. With the cheapest least
// money and the largest most money of that many stocks the test refuses no allocation it could
// find.
void refuseLimitsNoAllocationMeets(py::object owner) {
    velmora::refusals::refuseMinimumAboveMaximum(owner);
    py::object capital = allocationSetting(owner, "capital");
    py::object lastPrices = owner.attr("prices").attr("iloc")[py::int_(-1)].attr("values");
    py::object fractional = owner.attr("fractional");
    bool whole = fractional.equal(py::str("NO"));
    py::object upper = upperCounts(capital, owner.attr("maxWeight"), lastPrices, whole);
    std::vector<double> most = moneyOf(upper, lastPrices);
    std::vector<double> least =
        moneyOf(lowerCounts(capital, owner.attr("minWeight"), lastPrices, upper, whole), lastPrices);
    if (whole && std::none_of(most.begin(), most.end(), [](double money) { return money > 0; }))
        velmora::refusals::refuseNoWholeShare(owner);
    std::sort(least.begin(), least.end());
    std::sort(most.begin(), most.end(), std::greater<>());
    double money = capital.cast<double>(), lowest = leastSpent(capital, lastPrices).cast<double>();
    double slack = money * 1e-9, leastSum = 0.0, mostSum = 0.0;
    for (size_t held = 0; held < most.size(); ++held) {
        leastSum += least[held];
        mostSum += most[held];
        if (leastSum <= money + slack && mostSum >= lowest - slack) return;
    }
    py::object message = velmora::translate(
        "No allocation within the weight limits of {} % to {} % per stock invests a capital of {}; try other "
        "weight limits or another capital.");
    namespace refusals = velmora::refusals;
    velmora::raise(PyExc_ValueError,
                   message.attr("format")(refusals::percentOf(owner.attr("minWeight")),
                                          refusals::percentOf(owner.attr("maxWeight")), refusals::amountOf(capital)));
}

py::tuple computeRecommendation(const py::module_ &m, py::object self, py::object owner) {
    refuseLimitsNoAllocationMeets(owner);
    self.attr("owner") = owner;
    py::object prices = owner.attr("prices");
    estimateReturns(self, owner, prices);
    estimateRisk(self, owner, prices);
    self.attr("riskFree") = allocationSetting(owner, "benchmark") / py::float_(100.0);
    py::object capital = allocationSetting(owner, "capital");
    self.attr("capital") = capital;
    self.attr("prepare")();

    py::object optimizer = m.attr("Optimizer")(capital, prices, owner.attr("minWeight"),
                                               owner.attr("maxWeight"),
                                               "progress"_a = owner.attr("update"),
                                               "defaultValue"_a = self.attr("defaultValue"),
                                               "minDelta"_a = self.attr("minDelta"),
                                               "fractional"_a = owner.attr("fractional"));
    self.attr("optimizer") = optimizer;
    auto [allocation, w] = unpackPair(optimizer.attr("optimize")(self.attr("Objective")));

    py::module_ np = numpy();
    py::object vol = np.attr("sqrt")(optimizer.attr("QuadForm")(w, self.attr("cov")));
    py::object riskFree = self.attr("riskFree");
    py::object sharpe = (matmul(w, self.attr("expectedReturns")) - riskFree) / vol;
    py::list names, values;
    names.append(velmora::translate("Return"));
    values.append(matmul(w, self.attr("expectedReturns")) * py::int_(100));
    names.append(self.attr("riskObjective"));
    values.append(vol * py::int_(100));
    names.append(velmora::translate("Sharpe"));
    values.append(sharpe * py::int_(100));
    names.append(velmora::translate("Sum"));
    values.append(w.attr("sum")() * capital);
    py::dict columns;
    columns["Name"] = names;
    columns["Value"] = values;
    return py::make_tuple(allocation, py::module_::import("pandas").attr("DataFrame")(columns));
}

py::tuple plotAnalysis(const py::module_ &m, py::object self, py::kwargs kwargs) {
    py::object history = numpy().attr("array")(self.attr("optimizer").attr("history"), "dtype"_a = "float64");
    py::object values = self.attr("adaptHistory")(history);
    py::module_::import("seaborn").attr("set_theme")();
    py::module_ plt = py::module_::import("matplotlib.pyplot");
    py::dict figureArguments;
    for (auto [key, value] : kwargs)
        if (!py::str(key).equal(py::str("pdf"))) figureArguments[key] = value;
    py::object figure = plt.attr("figure")(**figureArguments);
    plt.attr("tight_layout")();
    py::object ax = figure.attr("subplots")();
    ax.attr("plot")(values);
    ax.attr("set_xlabel")(velmora::translate("Iteration"));
    // The history holds one value per generation: no tick between two.
    ax.attr("xaxis").attr("set_major_locator")(
        py::module_::import("matplotlib.ticker").attr("MaxNLocator")("integer"_a = true));
    ax.attr("set_title")(self.attr("name"));
    return py::make_tuple(ax, py::none());
}

void defineDifferentialEvolutionMethod(py::module_ &m) {
    py::object cls = velmora::makeClass(m, "DifferentialEvolutionMethod",
                                        py::make_tuple(velmora::classOf("rmethod", "RecommendationMethod")));
    py::list results;
    for (const char *name : {"Return", "Volatility", "Sharpe"}) results.append(velmora::translate(name));
    cls.attr("results") = results;
    cls.attr("name") = velmora::translate("Differential Evolution");
    cls.attr("minDelta") = 0.1;
    cls.attr("defaultValue") = 0;
    velmora::method(cls, "prepare", &prepare);
    velmora::method(cls, "computeEwmaReturns", &computeEwmaReturns, "prices"_a, "frequency"_a, "span"_a);
    velmora::method(cls, "expPairCov", &expPairCov, "X"_a, "Y"_a, "span"_a = 180);
    velmora::method(cls, "computeExpCov", &computeExpCov, "prices"_a, "frequency"_a = 252, "span"_a = 180);
    velmora::method(cls, "computeSemiCov", &computeSemiCov, "prices"_a, "riskFree"_a = 0.0,
                    "frequency"_a = 252);
    velmora::method(cls, "computeCapmReturn", &computeCapmReturn, "prices"_a, "frequency"_a = 252,
                    "riskFree"_a = 0.0);
    velmora::method(cls, "computeRecommendation", std::as_const(m), &computeRecommendation, "owner"_a);
    velmora::method(cls, "plotAnalysis", std::as_const(m), &plotAnalysis);
}

// Converting a labelled table to an array costs tens of microseconds, many times the
// objective itself, so the array is kept beside the table it came from and made anew only
// when the object holds another table. Arrays are used as they are.
Array inputArray(py::handle self, const char *name) {
    py::object value = self.attr(name);
    if (py::isinstance<py::array>(value)) return asArray(value);
    py::dict attributes = self.attr("__dict__");
    if (!attributes.contains("_inputArrays")) attributes["_inputArrays"] = py::dict();
    py::dict cache = attributes["_inputArrays"];
    if (cache.contains(name)) {
        py::tuple entry = cache[name];
        py::object source = entry[0];
        if (source.is(value)) return entry[1].cast<Array>();
    }
    Array array = asArray(value.attr("to_numpy")("dtype"_a = "float64"));
    cache[name] = py::make_tuple(value, array);
    return array;
}

// The figures of every candidate: expected return, quadratic form and invested fraction,
// one per row of a weight matrix. The inputs are read from the object at every call, so
// that a subclass's prepare may replace them.
struct Candidates {
    std::vector<double> ret, variance, invested;
    bool matrix;
};

Candidates candidateFigures(py::handle self, py::handle w, bool withReturns) {
    Array weights = asArray(w);
    if (weights.ndim() < 1 || weights.ndim() > 2) shapeError("weights must be a vector or a matrix");
    Candidates figures;
    figures.matrix = weights.ndim() == 2;
    py::ssize_t members = figures.matrix ? weights.shape(0) : 1;
    py::ssize_t n = weights.shape(weights.ndim() - 1);
    const double *rows = weights.data();
    if (withReturns) {
        Array expected = inputArray(self, "expectedReturns");
        if (expected.size() != n)
            shapeError("expected returns of " + std::to_string(n) + " stocks are needed");
        const double *returns = expected.data();
        figures.ret.assign(members, 0.0);
        for (py::ssize_t s = 0; s < members; ++s)
            for (py::ssize_t i = 0; i < n; ++i) figures.ret[s] += rows[s * n + i] * returns[i];
    }
    figures.variance = quadraticForms(rows, members, n, inputArray(self, "cov"));
    figures.invested.assign(members, 0.0);
    for (py::ssize_t s = 0; s < members; ++s)
        for (py::ssize_t i = 0; i < n; ++i) figures.invested[s] += rows[s * n + i];
    return figures;
}

// Scaled by the invested fraction, so that of two candidates with the same ratio the one
// that leaves less money idle wins.
py::object sharpeObjective(py::object self, py::object w, py::object objective) {
    Candidates figures = candidateFigures(self, w, true);
    double riskFree = self.attr("riskFree").cast<double>();
    bool plain = !velmora::truthy(objective);
    std::vector<double> scores(figures.ret.size());
    for (size_t s = 0; s < scores.size(); ++s) {
        double sharpe = (figures.ret[s] - riskFree) / std::sqrt(figures.variance[s]);
        scores[s] = plain ? sharpe : -sharpe * figures.invested[s];
    }
    return perMember(scores, figures.matrix);
}

py::object maxSharpeHistory(py::object self, py::object history) { return py::int_(-100) * history; }

void defineMaxSharpe2(py::module_ &m) {
    py::object cls =
        velmora::makeClass(m, "MaxSharpe2", py::make_tuple(m.attr("DifferentialEvolutionMethod")));
    cls.attr("name") = velmora::translate("Sharpe");
    velmora::method(cls, "Objective", &sharpeObjective, "w"_a, "objective"_a = true);
    velmora::method(cls, "adaptHistory", &maxSharpeHistory, "history"_a);
}

// The volatility of the candidate scaled up to a fully invested portfolio, which stays
// the same when all counts are scaled together.
py::object volatilityObjective(py::object self, py::object w, py::object objective) {
    Candidates figures = candidateFigures(self, w, false);
    bool plain = !velmora::truthy(objective);
    std::vector<double> scores(figures.variance.size());
    for (size_t s = 0; s < scores.size(); ++s) {
        double vol = std::sqrt(figures.variance[s]);
        scores[s] = plain ? vol : vol / figures.invested[s];
    }
    return perMember(scores, figures.matrix);
}

py::object minVolatilityHistory(py::object self, py::object history) {
    self.attr("name") = self.attr("riskObjective");
    return py::int_(100) * history;
}

void defineMinVolatility2(py::module_ &m) {
    py::object cls =
        velmora::makeClass(m, "MinVolatility2", py::make_tuple(m.attr("DifferentialEvolutionMethod")));
    cls.attr("minDelta") = 0.01;
    cls.attr("defaultValue") = 1;
    velmora::method(cls, "Objective", &volatilityObjective, "w"_a, "objective"_a = true);
    velmora::method(cls, "adaptHistory", &minVolatilityHistory, "history"_a);
}

}  // namespace

PYBIND11_MODULE(deopt, m) {
    m.attr("logger") = py::module_::import("logging").attr("getLogger")("deopt");
    defineOptimizer(m);
    defineDifferentialEvolutionMethod(m);
    defineMaxSharpe2(m);
    defineMinVolatility2(m);
}
