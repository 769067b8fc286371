// The Riskfolio-Lib mean-risk method: the classic portfolio for the configured objective, its efficient frontier and the frontier's weights as areas.
#include "refusals.hpp"
#include "riskfolio.hpp"

#include <utility>

namespace {

using velmora::riskfolio::library;
using velmora::pyplot;
using velmora::within;

// The library measures a portfolio's semideviation below its estimated mean return when it
// optimises, but below the mean of the portfolio's returns when it draws the frontier and its
// table; the two part wherever the estimate is not the historical mean. The portfolio holds
// returns whose means are the estimate, which leaves the estimate and every variance as they
// are and has the optimisation measure the risk the chart shows: the minimum-risk portfolio is
// then the frontier's leftmost point, whatever the return estimate.
py::object centredOn(py::object returns, py::object mu) {
    py::object deviations = returns - returns.attr("mean")();
    return deviations + mu.attr("iloc")[py::int_(0)];
}

void createPortfolioObject(py::object self, py::object returns) {
    py::object owner = self.attr("owner");
    py::object port =
        library().attr("Portfolio")("returns"_a = returns, "upperlng"_a = owner.attr("maxWeight"));
    self.attr("port") = port;
    self.attr("frontier") = py::none();
    port.attr("assets_stats")("method_mu"_a = self.attr("method"), "method_cov"_a = self.attr("riskMethod"));
    port.attr("mu") = velmora::riskfolio::realMean(port.attr("mu"));
    port.attr("returns") = centredOn(returns, port.attr("mu"));
    py::object objective = owner.attr("config").attr("allocation").attr("objective");
    // The mean-risk optimiser has no equal-risk-contribution objective; the library solves
    // that portfolio with its risk-parity optimisation, on the same risk measure.
    bool riskParity = objective.equal(py::str("ERC"));
    py::object rm = self.attr("rm"), rf = self.attr("rf");
    if (objective.equal(py::str("Sharpe")))
        velmora::refusals::refuseWhereNoReturnAboveBenchmark(owner, port.attr("mu"), rf);
    py::object w = riskParity
                       ? port.attr("rp_optimization")("model"_a = "Classic", "rm"_a = rm, "rf"_a = rf,
                                                      "hist"_a = true)
                       : port.attr("optimization")("model"_a = "Classic", "rm"_a = rm, "obj"_a = objective,
                                                   "rf"_a = rf, "l"_a = 0, "hist"_a = true);
    // The library answers a problem it cannot solve with none instead of weights. The limits
    // were checked before; for the Sharpe objective what fails is a benchmark above every return.
    if (w.is_none() && objective.equal(py::str("Sharpe"))) velmora::refusals::refuseNoReturnAboveBenchmark(owner);
    if (w.is_none()) velmora::refusals::refuseUnmetLimits(owner);
    // The risk-parity optimisation takes no upper bound.
    if (riskParity)
        velmora::refusals::refuseWeightsAboveMaximum(
            owner, w[py::str("weights")].attr("max")(),
            "The objective ERC (equal risk contribution) puts more than the maximum weight of {} % into one "
            "stock; allow a larger maximum weight.");
    self.attr("w") = w;
}

// As many names as fit beside the areas, one above the other.
constexpr size_t legendRows = 20;

// The frontier of the portfolio last solved, solved when first drawn: its twenty solves cost
// seconds, and the window, the report and a change of language draw it again from that portfolio.
py::object frontierOf(py::object self) {
    if (!self.attr("frontier").is_none()) return self.attr("frontier");
    self.attr("frontier") =
        self.attr("port").attr("efficient_frontier")("model"_a = "Classic", "rm"_a = self.attr("rm"),
                                                     "points"_a = 20, "rf"_a = self.attr("rf"), "hist"_a = true);
    return self.attr("frontier");
}

// The frontier chart goes into the report itself; the area chart is left as the current
// figure, which the report saves after it.
py::tuple plotAnalysis(const py::module_ &m, py::object self, py::object pdf, py::kwargs kwargs) {
    py::object rp = library(), plt = pyplot();
    py::object port = self.attr("port");
    py::object frontier = frontierOf(self);
    plt.attr("close")("all");
    py::object ax1, ax2;
    within(m.attr("risk").attr("translateAxes")(), [&] {
        ax1 = plt.attr("subplots")(1, 1, "figsize"_a = py::make_tuple(9, 7))[py::int_(1)];
        rp.attr("plot_frontier")("w_frontier"_a = frontier, "mu"_a = port.attr("mu"),
                                 "cov"_a = port.attr("cov"), "returns"_a = port.attr("returns"),
                                 "rm"_a = self.attr("rm"), "rf"_a = self.attr("rf"), "w"_a = self.attr("w"),
                                 "ax"_a = ax1, "cmap"_a = "gist_ncar");
        py::list index(frontier.attr("index"));
        if (velmora::truthy(pdf)) {
            pdf.attr("savefig")();
            plt.attr("close")();
        }
        ax2 = plt.attr("subplots")(1, 1, "figsize"_a = py::make_tuple(9, 7))[py::int_(1)];
        rp.attr("plot_frontier_area")("w_frontier"_a = frontier, "nrow"_a = 10, "width"_a = 6, "ax"_a = ax2);
        velmora::legendBeside(ax2, index, legendRows, py::dict("title"_a = velmora::translate("Legend")));
    });
    return py::make_tuple(ax2, ax1);
}

void defineRiskFolioEF(py::module_ &m) {
    py::object cls = velmora::makeClass(m, "RiskFolioEF", py::make_tuple(m.attr("risk").attr("RiskFolio")));
    cls.attr("twoPhase") = true;
    velmora::method(cls, "createPortfolioObject", &createPortfolioObject, "returns"_a = py::none());
    velmora::method(cls, "plotAnalysis", std::as_const(m), &plotAnalysis, "pdf"_a = py::none());
}

}  // namespace

PYBIND11_MODULE(riskef, m) {
    m.attr("risk") = py::module_::import("risk");
    defineRiskFolioEF(m);
}
