// Differential evolution over share counts: the maximum-Sharpe and minimum-volatility methods, which
// search the share counts themselves with the optimiser and the estimators of the parts in deopt/.
#include "deopt/parts.hpp"
#include "refusals.hpp"

#include <cmath>
#include <string>
#include <utility>
#include <vector>

namespace velmora::deopt {

namespace {

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
    // The search would otherwise maximise a negative ratio, which favours the riskiest stock.
    if (py::isinstance(self, m.attr("MaxSharpe2")) && py::hasattr(self, "expectedReturns"))
        velmora::refusals::refuseWhereNoReturnAboveBenchmark(owner, self.attr("expectedReturns"),
                                                            self.attr("riskFree"));

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
    defineEstimators(m, cls);
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

}  // namespace velmora::deopt

PYBIND11_MODULE(deopt, m) {
    namespace deopt = velmora::deopt;
    m.attr("logger") = py::module_::import("logging").attr("getLogger")("deopt");
    deopt::defineOptimizer(m);
    deopt::defineDifferentialEvolutionMethod(m);
    deopt::defineMaxSharpe2(m);
    deopt::defineMinVolatility2(m);
}
