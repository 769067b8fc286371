// Minimum semivariance: only returns below the benchmark count as risk.
#include "frontier.hpp"

namespace frontier = velmora::frontier;

namespace {

py::object computeRecommendation2(py::object self, py::object owner) {
    py::object EfficientSemivariance =
        py::module_::import("pypfopt.efficient_frontier").attr("EfficientSemivariance");
    py::object ef = EfficientSemivariance(owner.attr("expectedReturns"), owner.attr("historicReturns"),
                                          "weight_bounds"_a = frontier::weightBounds(owner),
                                          "frequency"_a = owner.attr("frequency"),
                                          "benchmark"_a = owner.attr("benchmarkPerDay"),
                                          "solver"_a = "ECOS_BB");
    frontier::linkMinimumWeight(ef, owner);
    ef.attr("min_semivariance")();
    return ef;
}

void defineMinSemi(py::module_ &m) {
    py::object cls = frontier::methodClass(m, "MinSemi");
    cls.attr("results") = frontier::translatedNames({"Return", "Volatility", "Sortino"});
    velmora::method(cls, "computeRecommendation2", &computeRecommendation2, "owner"_a);
}

}  // namespace

PYBIND11_MODULE(minsemi, m) {
    frontier::bindLogger(m);
    defineMinSemi(m);
}
