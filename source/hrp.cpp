// Hierarchical risk parity: weights from a clustering of the stocks by correlation.
#include "frontier.hpp"
#include "refusals.hpp"

namespace frontier = velmora::frontier;

namespace {

namespace refusals = velmora::refusals;

// The clustering takes no bounds; a stock it weights above the maximum is held at the maximum,
// as the bounded methods hold theirs, and what it cannot take stays as cash. The performance
// figures then describe the portfolio that is bought.
void holdWithinMaximum(py::object owner, py::object ef) {
    py::object weights = ef.attr("clean_weights")("cutoff"_a = 0.0, "rounding"_a = py::none());
    py::object maxWeight = owner.attr("maxWeight");
    py::dict capped;
    for (auto [label, weight] : py::reinterpret_borrow<py::dict>(weights))
        capped[label] = velmora::builtins().attr("min")(weight, maxWeight);
    ef.attr("set_weights")(capped);
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
