// The Riskfolio-Lib hierarchical-clustering method: hierarchical risk parity or nested clustered optimisation, its risk contributions and a dendrogram of its clustering.
#include "refusals.hpp"
#include "riskfolio.hpp"

#include <utility>

namespace {

using velmora::riskfolio::library;
using velmora::pyplot;
using velmora::within;

// The clustering takes the library's own linkage for its optimisation, whatever the form's
// setting: with the median or centroid linkage the library's choice of the number of clusters
// fails on many real sets of stocks. Its dendrogram chart defaults to another linkage, so the
// dendrogram is asked for this one: it shows the clusters that made the allocation.
constexpr const char *clusteringLinkage = "single";

// The library's optimisation chooses the number of clusters from the gaps between three cluster
// counts at least: of two stocks it takes the one cluster it would choose for three.
bool twoStocks(py::object returns) { return py::len(returns.attr("columns")) == 2; }

// The library estimates the mean inside its optimisation, where it cannot be made real; the
// same estimate is made here and handed over.
py::object estimatedMean(py::object self, py::object returns) {
    py::object mean_vector = library().attr("src").attr("ParamsEstimation").attr("mean_vector");
    return velmora::riskfolio::realMean(mean_vector(returns, "method"_a = self.attr("method")));
}

void createPortfolioObject(py::object self, py::object returns) {
    velmora::refusals::refuseLoneStock(returns);
    py::object owner = self.attr("owner");
    self.attr("port") =
        library().attr("HCPortfolio")("returns"_a = returns, "w_max"_a = owner.attr("maxWeight"));
    py::object objective = owner.attr("config").attr("allocation").attr("objective");
    bool riskParity = objective.equal(py::str("MinRisk")) || objective.equal(py::str("MaxRet"));
    py::object model = py::str(riskParity ? "HRP" : "NCO");
    objective = owner.attr("config").attr("allocation").attr("objective");
    py::object mean = estimatedMean(self, returns);
    if (objective.equal(py::str("Sharpe")))
        velmora::refusals::refuseWhereNoReturnAboveBenchmark(owner, mean, self.attr("rf"));
    py::dict options("model"_a = model, "obj"_a = objective, "rm"_a = self.attr("rm"),
                     "method_mu"_a = "custom_mu", "custom_mu"_a = mean,
                     "method_cov"_a = self.attr("riskMethod"), "linkage"_a = clusteringLinkage);
    if (!riskParity && twoStocks(returns)) options["k"] = 1;
    self.attr("w") = self.attr("port").attr("optimization")(**options);
}

// The library's dendrogram chart computes the clustering and hands it to scipy's drawing function,
// which the capture replaces: only the clustering is taken from it. Its cluster colours are not asked
// for, as nothing of its drawing is shown, and it cannot colour a clustering whose clusters it would
// choose to be one (the leader it colours from is the root).
py::object capturedClustering(py::object self) {
    py::object plt = pyplot();
    within(self.attr("captureDendrogram")(), [&] {
        py::tuple scratch = plt.attr("subplots")(1, 1, "figsize"_a = py::make_tuple(5, 5));
        py::object drawn = library().attr("plot_dendrogram")(
            "returns"_a = self.attr("port").attr("returns"), "ax"_a = scratch[1],
            "linkage"_a = clusteringLinkage, "show_clusters"_a = false);
        scratch[0].attr("delaxes")(drawn);
    });
    return self.attr("lastClustering");
}

py::object drawnDendrogram(py::object self) {
    py::object plt = pyplot();
    py::object clustering = capturedClustering(self);
    py::object ax = plt.attr("subplots")(1, 1, "figsize"_a = py::make_tuple(9, 7))[py::int_(1)];
    plt.attr("subplots_adjust")("right"_a = 0.2);
    py::module_::import("scipy.cluster.hierarchy")
        .attr("dendrogram")(clustering, "orientation"_a = "left",
                            "labels"_a = self.attr("port").attr("returns").attr("columns"),
                            "truncate_mode"_a = "level", "p"_a = 20, "distance_sort"_a = true, "ax"_a = ax);
    ax.attr("set_xticklabels")(py::list());
    ax.attr("set_xticks")(py::list());
    ax.attr("set_title")(velmora::translate("Dendrogram"));
    return ax;
}

// The risk contributions drawn are kept when the dendrogram cannot be drawn: its place shows an empty
// chart of its size, and the log says why.
py::object dendrogramOrEmpty(const py::module_ &m, py::object self) {
    try {
        return drawnDendrogram(self);
    } catch (py::error_already_set &) {
        velmora::logFailure(m, "The dendrogram could not be drawn");
        return pyplot().attr("subplots")(1, 1, "figsize"_a = py::make_tuple(9, 7))[py::int_(1)];
    }
}

py::tuple plotAnalysis(const py::module_ &m, py::object self, py::object pdf, py::kwargs kwargs) {
    py::object rp = library(), plt = pyplot();
    plt.attr("close")("all");
    py::object ax1, ax2;
    within(m.attr("risk").attr("translateAxes")(), [&] {
        ax1 = plt.attr("subplots")(1, 1, "figsize"_a = py::make_tuple(9, 7))[py::int_(1)];
        py::object port = self.attr("port");
        ax1 = rp.attr("plot_risk_con")(self.attr("w"), port.attr("returns"), "ax"_a = ax1);
        if (velmora::truthy(pdf)) {
            pdf.attr("savefig")();
            plt.attr("close")();
        }
        ax2 = dendrogramOrEmpty(m, self);
        plt.attr("tight_layout")();
    });
    return py::make_tuple(ax1, ax2);
}

// ---- Capture of the library's dendrogram ---------------------------------------------------

py::object dendrogramHolder() { return library().attr("src").attr("PlotFunctions").attr("hr"); }

void enterCapture(py::object scope) {
    py::object holder = dendrogramHolder();
    scope.attr("oldDendrogram") = holder.attr("dendrogram");
    py::object instance = scope.attr("instance");
    scope.attr("newDendrogram") = py::cpp_function(
        [instance](py::object clustering, py::args args, py::kwargs kwargs) {
            instance.attr("lastClustering") = clustering;
        },
        py::name("newDendrogram"), py::arg("clustering"));
    holder.attr("dendrogram") = scope.attr("newDendrogram");
    try {
        instance.attr("lastClustering") = py::none();
    } catch (...) {
        holder.attr("dendrogram") = scope.attr("oldDendrogram");
        throw;
    }
}

bool leaveCapture(py::object scope, py::object type, py::object value, py::object traceback) {
    dendrogramHolder().attr("dendrogram") = scope.attr("oldDendrogram");
    return false;
}

void defineRiskFolioHRP(py::module_ &m) {
    py::object cls = velmora::makeClass(m, "RiskFolioHRP", py::make_tuple(m.attr("risk").attr("RiskFolio")));
    cls.attr("twoPhase") = true;
    velmora::method(cls, "createPortfolioObject", &createPortfolioObject, "returns"_a = py::none());
    velmora::method(cls, "plotAnalysis", std::as_const(m), &plotAnalysis, "pdf"_a = py::none());

    py::object scope = velmora::newClass(m, "DendrogramCapture");
    velmora::constructor(
        scope, [](py::object scope, py::object instance) { scope.attr("instance") = instance; },
        "instance"_a);
    velmora::method(scope, "__enter__", &enterCapture);
    velmora::method(scope, "__exit__", &leaveCapture, "type"_a, "value"_a, "traceback"_a);
    velmora::method(cls, "captureDendrogram", [scope](py::object self) { return scope(self); });
}

}  // namespace

PYBIND11_MODULE(riskhrp, m) {
    m.attr("risk") = py::module_::import("risk");
    m.attr("logger") = py::module_::import("logging").attr("getLogger")("riskhrp");
    defineRiskFolioHRP(m);
}
