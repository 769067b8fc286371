// Minimum conditional value at risk: the expected loss on the worst days of the historic returns.
#include "frontier.hpp"

namespace frontier = velmora::frontier;

namespace {

// The scenarios are the daily historic returns: the optimiser takes the loss on each past
// day as one outcome. The risk matrix is kept only for the heat map.
py::object computeRecommendation2(py::object self, py::object owner) {
    self.attr("s") = frontier::riskMatrix(owner);
    py::object EfficientCVaR = py::module_::import("pypfopt.efficient_frontier").attr("EfficientCVaR");
    py::object ef = EfficientCVaR(owner.attr("expectedReturns"), owner.attr("historicReturns"),
                                  "weight_bounds"_a = frontier::weightBounds(owner), "solver"_a = "ECOS_BB");
    frontier::linkMinimumWeight(ef, owner);
    ef.attr("min_cvar")();
    return ef;
}

// The CVaR optimiser reports return and CVaR at its own confidence level; it takes neither
// a risk-free rate nor a frequency.
py::object getPortfolioPerformance(py::object self, py::object owner, py::object ef) {
    return ef.attr("portfolio_performance")();
}

void defineCVaR(py::module_ &m) {
    py::object cls = frontier::methodClass(m, "CVaR");
    cls.attr("results") = frontier::translatedNames({"Return", "CVaR"});
    velmora::method(cls, "computeRecommendation2", &computeRecommendation2, "owner"_a);
    velmora::method(cls, "getPortfolioPerformance", &getPortfolioPerformance, "owner"_a, "ef"_a);
    velmora::method(cls, "plotAnalysis", &frontier::heatMap);
}

}  // namespace

PYBIND11_MODULE(cvar, m) {
    frontier::bindLogger(m);
    defineCVaR(m);
}
