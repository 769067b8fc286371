// Hierarchical risk parity: weights from a clustering of the stocks by correlation.
#include "frontier.hpp"
#include "refusals.hpp"

namespace frontier = velmora::frontier;

namespace {

namespace refusals = velmora::refusals;

// Every stock is clustered on the first pass; a later pass that sees fewer had the stocks
// below the minimum weight left out.
bool prunedByMinimum(py::object self, py::object owner) {
    py::ssize_t stocks = py::len(owner.attr("prices").attr("columns"));
    if (!py::hasattr(self, "stocksClustered")) self.attr("stocksClustered") = stocks;
    return stocks < self.attr("stocksClustered").cast<py::ssize_t>();
}

// The clustering takes no bounds, so its weights are checked against the maximum weight. Where
// all stocks kept to it, the fewer left after the minimum weight's cut did not: the minimum is
// the limit to change.
void refuseAboveMaximum(py::object self, py::object owner, py::object ef) {
    py::object weights = ef.attr("clean_weights")("cutoff"_a = 0.0, "rounding"_a = py::none());
    bool pruned = prunedByMinimum(self, owner);
    py::object largest = velmora::builtins().attr("max")(weights.attr("values")());
    if (!pruned) {
        refusals::refuseWeightsAboveMaximum(owner, largest,
                                            "Hierarchical risk parity puts more than the maximum weight of {} % "
                                            "into one stock; allow a larger maximum weight.");
        return;
    }
    if (!refusals::aboveMaximum(owner, largest)) return;
    py::object message = velmora::translate(
        "Hierarchical risk parity puts more than the maximum weight of {} % into one stock once the stocks below "
        "the minimum weight of {} % are left out; allow a smaller minimum weight or a larger maximum weight.");
    velmora::raise(PyExc_ValueError, message.attr("format")(refusals::percentOf(owner.attr("maxWeight")),
                                                            refusals::percentOf(owner.attr("minWeight"))));
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
    refuseAboveMaximum(self, owner, ef);
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
