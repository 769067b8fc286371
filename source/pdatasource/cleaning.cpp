// A part of the price cache: the cleaning of a request's prices, which leaves complete, plausible
// series for the allocation methods.
#include "parts.hpp"

#include <pybind11/numpy.h>

#include <cmath>
#include <limits>

namespace velmora::pdatasource {

namespace {

// Negative prices, outliers beyond the sigma-clip bounds, infinities and zeros become gaps,
// column by column, since the bounds of a column depend on its own values only. A price larger than
// the clip takes (which a conversion can make of two stored ones) counts as infinite. The bounds are
// taken over the prices a column has: its gaps are days its market did not trade, or days only another
// column's market (or the identity currency, dated every calendar day) lists, and say nothing of its
// spread; an infinity is damage and no price. A column without gaps is clipped as it always was.
py::object clipValues(py::object prices, double low, double high) {
    py::object sigmaclip = import("scipy.stats").attr("sigmaclip");
    py::object numpy = import("numpy");
    // A copy in column order: every column is one stretch of memory, changed in place.
    py::array_t<double, py::array::f_style> values(
        numpy.attr("array")(prices.attr("to_numpy")("dtype"_a = "float64"), "order"_a = "F"));
    const py::ssize_t rows = values.shape(0), columns = values.shape(1);
    double *data = values.mutable_data();
    constexpr double gap = std::numeric_limits<double>::quiet_NaN();
    for (py::ssize_t j = 0; j < columns; ++j) {
        double *column = data + j * rows;
        bool anyPrice = false;
        for (py::ssize_t i = 0; i < rows; ++i) {
            if (column[i] < 0.0) column[i] = 0.0;
            if (column[i] > largestPrice) column[i] = std::numeric_limits<double>::infinity();
            anyPrice = anyPrice || std::isfinite(column[i]);
        }
        if (anyPrice) {
            py::array_t<double> view({rows}, {static_cast<py::ssize_t>(sizeof(double))}, column, values);
            py::object priced = view.attr("__getitem__")(numpy.attr("isfinite")(view));
            py::tuple bounds = sigmaclip(priced, low, high);
            double lower = bounds[1].cast<double>(), upper = bounds[2].cast<double>();
            for (py::ssize_t i = 0; i < rows; ++i)
                if (column[i] < lower || column[i] > upper) column[i] = gap;
        }
        for (py::ssize_t i = 0; i < rows; ++i)
            if (std::isinf(column[i]) || column[i] == 0.0) column[i] = gap;
    }
    return import("pandas").attr("DataFrame")(values, "index"_a = prices.attr("index"),
                                              "columns"_a = prices.attr("columns"), "copy"_a = false);
}

}  // namespace

// `cleaned` and `partial` arrive from configuration trees too, where a missing key is an empty
// node: each is taken by its truth value, as the interpreter would.
py::object clean(py::object self, py::object prices, py::object partial) {
    py::object data = self.attr("config")["data"];
    prices = clipValues(prices, py::float_(data["sigmaClipLow"]), py::float_(data["sigmaClipHigh"]));
    prices = prices.attr("dropna")("how"_a = "all");
    prices = prices.attr("interpolate")("limit_area"_a = "inside");
    prices = prices.attr("ffill")("limit"_a = 10);
    prices = prices.attr("bfill")("limit"_a = 10);
    if (!velmora::truthy(partial)) prices = prices.attr("dropna")("axis"_a = 1, "how"_a = "any");
    return prices;
}

}  // namespace velmora::pdatasource
