// Hierarchical risk parity: weights from a clustering of the stocks by correlation.
#include "frontier.hpp"
#include "refusals.hpp"

#include <vector>

namespace frontier = velmora::frontier;

namespace {

namespace refusals = velmora::refusals;

// The clustering takes no bounds; a stock it weights above the maximum is held at the maximum,
// as the bounded methods hold theirs, and what it cannot take goes to the stocks below the
// maximum, fractional shares or whole: cash only where every stock is at it. The performance
// figures then describe the portfolio that is bought.
void holdWithinMaximum(py::object owner, py::object ef) {
    py::dict weights = ef.attr("clean_weights")("cutoff"_a = 0.0, "rounding"_a = py::none());
    double maxWeight = owner.attr("maxWeight").cast<double>();
    std::vector<double> parts;
    bool crosses = false;
    for (auto [label, weight] : weights) {
        parts.push_back(weight.cast<double>());
        crosses = crosses || parts.back() > maxWeight;
    }
    if (!crosses) return;
    std::vector<double> spread = refusals::spreadWithinMaximum(parts, maxWeight);
    py::dict held;
    size_t i = 0;
    for (auto [label, weight] : weights) held[label] = spread[i++];
    ef.attr("set_weights")(held);
}

// The returns are attached after the clustering so that the performance figures come from
// the daily returns of the kept stocks, as for the other methods.
py::object computeRecommendation2(py::object self, py::object owner) {
    refusals::refuseLoneStock(owner.attr("prices"));
    py::object s = frontier::riskMatrix(owner);
    py::object HRPOpt = py::module_::import("pypfopt.hierarchical_portfolio").attr("HRPOpt");
    self.attr("ef") = HRPOpt("cov_matrix"_a = s);
    py::object ef = self.attr("ef");
    ef.attr("optimize")("linkage_method"_a = owner.attr("config").attr("allocation").attr("linkageMethod"));
    holdWithinMaximum(owner, ef);
    ef.attr("returns") = owner.attr("historicReturns");
    return ef;
}

py::tuple plotAnalysis(py::object self, py::kwargs kwargs) {
    py::object plot_dendrogram = py::module_::import("pypfopt.plotting").attr("plot_dendrogram");
    return py::make_tuple(plot_dendrogram(self.attr("ef"), **kwargs), py::none());
}

void defineHRP(py::module_ &m) {
    py::object cls = frontier::methodClass(m, "HRP");
    cls.attr("results") = frontier::translatedNames({"Return", "Volatility", "Sharpe"});
    cls.attr("twoPhase") = true;
    velmora::method(cls, "computeRecommendation2", &computeRecommendation2, "owner"_a);
    velmora::method(cls, "plotAnalysis", &plotAnalysis);
}

}  // namespace

PYBIND11_MODULE(hrp, m) {
    frontier::bindLogger(m);
    defineHRP(m);
}
