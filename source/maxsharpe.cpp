// Maximum Sharpe ratio, with an L2 term that spreads the weights over more stocks.
#include "frontier.hpp"
#include "refusals.hpp"

#include <utility>

namespace frontier = velmora::frontier;

namespace {

// Without the L2 term (no gamma configured, an optimiser that takes no objectives) the
// plain maximum-Sharpe portfolio is still a sound answer, so the failure only warns.
void addL2Term(const py::module_ &m, py::object ef, py::object owner) {
    py::object L2_reg = py::module_::import("pypfopt.objective_functions").attr("L2_reg");
    try {
        py::object gamma = owner.attr("config").attr("allocation").attr("gamma");
        py::object weight = gamma / py::float_(100.0);
        ef.attr("add_objective")(L2_reg, "gamma"_a = weight);
    } catch (py::error_already_set &) {
        m.attr("logger").attr("warning")("No L2_reg objective function available");
    }
}

py::object computeRecommendation2(const py::module_ &m, py::object self, py::object owner) {
    self.attr("owner") = owner;
    py::object s = frontier::riskMatrix(owner);
    py::object ef = owner.attr("optimizer")(owner.attr("expectedReturns"), s,
                                            "weight_bounds"_a = frontier::weightBounds(owner),
                                            "solver"_a = "ECOS_BB");
    addL2Term(m, ef, owner);
    self.attr("ef") = ef;
    py::object benchmark = owner.attr("config").attr("allocation").attr("benchmark");
    velmora::refusals::refuseWhereNoReturnAboveBenchmark(owner, owner.attr("expectedReturns"),
                                                        benchmark / py::float_(100.0));
    // The limits were checked before the solve; the library fails where no return lies above
    // the benchmark, or barely above it, with words about its solver that no setting reaches.
    try {
        ef.attr("max_sharpe")("risk_free_rate"_a = benchmark / py::float_(100.0));
    } catch (py::error_already_set &error) {
        py::object optimizationError = py::module_::import("pypfopt.exceptions").attr("OptimizationError");
        if (!error.matches(PyExc_ValueError) && !error.matches(optimizationError)) throw;
        velmora::refusals::refuseNoReturnAboveBenchmark(owner);
    }
    return ef;
}

void defineMaxSharpe(py::module_ &m) {
    py::object cls = frontier::methodClass(m, "MaxSharpe");
    cls.attr("results") = frontier::translatedNames({"Return", "Volatility", "Sharpe"});
    velmora::method(cls, "computeRecommendation2", std::as_const(m), &computeRecommendation2, "owner"_a);
    velmora::method(cls, "plotAnalysis", [](py::object self, py::kwargs) {
        return py::make_tuple(py::none(), py::none());
    });
}

}  // namespace

PYBIND11_MODULE(maxsharpe, m) {
    frontier::bindLogger(m);
    defineMaxSharpe(m);
}
