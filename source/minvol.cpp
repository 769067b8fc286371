// Minimum volatility: the efficient-frontier portfolio of least variance.
#include "frontier.hpp"

namespace frontier = velmora::frontier;

namespace {

py::object computeRecommendation2(py::object self, py::object owner) {
    self.attr("s") = frontier::riskMatrix(owner);
    py::object ef = owner.attr("optimizer")(owner.attr("expectedReturns"), self.attr("s"),
                                            "weight_bounds"_a = frontier::weightBounds(owner),
                                            "solver"_a = "ECOS_BB");
    frontier::linkMinimumWeight(ef, owner);
    ef.attr("min_volatility")();
    return ef;
}

void defineMinVolatility(py::module_ &m) {
    py::object cls = frontier::methodClass(m, "MinVolatility");
    cls.attr("results") = frontier::translatedNames({"Return", "Volatility", "Sharpe"});
    velmora::method(cls, "computeRecommendation2", &computeRecommendation2, "owner"_a);
    velmora::method(cls, "plotAnalysis", &frontier::heatMap);
}

}  // namespace

PYBIND11_MODULE(minvol, m) {
    frontier::bindLogger(m);
    defineMinVolatility(m);
}
