// Hierarchical risk parity: weights from a clustering of the stocks by correlation.
#include "frontier.hpp"
#include "refusals.hpp"

namespace frontier = velmora::frontier;

namespace {

// The clustering takes no bounds, so its weights are checked against the maximum weight.
void refuseAboveMaximum(py::object owner, py::object ef) {
    py::object weights = ef.attr("clean_weights")("cutoff"_a = 0.0, "rounding"_a = py::none());
    velmora::refusals::refuseWeightsAboveMaximum(
        owner, velmora::builtins().attr("max")(weights.attr("values")()),
        "Hierarchical risk parity puts more than the maximum weight of {} % into one stock; allow a larger "
        "maximum weight.");
}

// The returns are attached after the clustering so that the performance figures come from
// the daily returns of the kept stocks, as for the other methods.
py::object computeRecommendation2(py::object self, py::object owner) {
    velmora::refusals::refuseLoneStock(owner.attr("prices"));
    py::object s = frontier::riskMatrix(owner);
    py::object HRPOpt = py::module_::import("pypfopt.hierarchical_portfolio").attr("HRPOpt");
    self.attr("ef") = HRPOpt("cov_matrix"_a = s);
    py::object ef = self.attr("ef");
    ef.attr("optimize")("linkage_method"_a = owner.attr("config").attr("allocation").attr("linkageMethod"));
    refuseAboveMaximum(owner, ef);
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
