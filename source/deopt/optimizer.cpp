// A part of the share-count search: the optimiser, which searches share counts and used flags by
// differential evolution within the capital, reports its progress and stops once it gains little.
#include "parts.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

namespace velmora::deopt {

namespace {

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

}  // namespace

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

}  // namespace velmora::deopt
