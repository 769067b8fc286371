// A part of the share-count search: the kernels that score a decision vector or a whole population at
// once on plain double arrays.
#include "parts.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace velmora::deopt {

Array asArray(py::handle value) { return Array(py::reinterpret_borrow<py::object>(value)); }

py::module_ numpy() { return py::module_::import("numpy"); }

void shapeError(const std::string &what) { velmora::raise(PyExc_ValueError, what); }

// A decision vector holds n counts and then n used flags; a population holds
// its members in columns (2n x S), the layout the optimiser hands over. Weights are laid
// out one member per row (S x n). Products and quotients follow the numpy expressions in
// their order and give the same bits; sums run from the first stock to the last, where
// numpy's dot product may differ in the last bits.

namespace {

struct Layout {
    py::ssize_t n;        // stocks
    py::ssize_t members;  // S, or 1 for a single vector
    bool population;
};

Layout decisionLayout(const Array &x, py::ssize_t stocks) {
    if (x.ndim() < 1 || x.ndim() > 2 || x.shape(0) != 2 * stocks)
        shapeError("a decision vector of " + std::to_string(2 * stocks) + " entries is expected for "
                   + std::to_string(stocks) + " stocks");
    return {stocks, x.ndim() == 2 ? x.shape(1) : 1, x.ndim() == 2};
}

}  // namespace

// counts x flags, in the population's own layout (n, or n x S).
Array realCounts(const Array &x, py::ssize_t stocks) {
    Layout layout = decisionLayout(x, stocks);
    std::vector<py::ssize_t> shape{layout.n};
    if (layout.population) shape.push_back(layout.members);
    Array result(shape);
    const double *in = x.data();
    double *out = result.mutable_data();
    py::ssize_t half = layout.n * layout.members;
    for (py::ssize_t k = 0; k < half; ++k) out[k] = in[k] * in[half + k];
    return result;
}

// x^T y x per member: y times the member first, then the dot product with the member, as
// numpy's tensordot evaluates it.
std::vector<double> quadraticForms(const double *x, py::ssize_t members, py::ssize_t n, const Array &y) {
    if (y.ndim() != 2 || y.shape(0) != n || y.shape(1) != n)
        shapeError("the matrix of the quadratic form must be " + std::to_string(n) + " x "
                   + std::to_string(n));
    const double *matrix = y.data();
    std::vector<double> forms(members);
    for (py::ssize_t s = 0; s < members; ++s) {
        const double *row = x + s * n;
        double form = 0.0;
        for (py::ssize_t i = 0; i < n; ++i) {
            double product = 0.0;
            for (py::ssize_t j = 0; j < n; ++j) product += matrix[i * n + j] * row[j];
            form += row[i] * product;
        }
        forms[s] = form;
    }
    return forms;
}

// One number for a vector, an array of one number per row for a matrix.
py::object perMember(const std::vector<double> &values, bool matrix) {
    if (!matrix) return py::float_(values[0]);
    Array result(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), result.mutable_data());
    return result;
}

py::object quadForm(py::object x, py::object y) {
    Array weights = asArray(x);
    if (weights.ndim() < 1 || weights.ndim() > 2) shapeError("weights must be a vector or a matrix");
    bool matrix = weights.ndim() == 2;
    py::ssize_t n = weights.shape(weights.ndim() - 1);
    return perMember(quadraticForms(weights.data(), matrix ? weights.shape(0) : 1, n, asArray(y)), matrix);
}

}  // namespace velmora::deopt
