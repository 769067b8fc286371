// What the Riskfolio-Lib methods share: the library, loaded when first needed, and its mean estimate as real numbers.
#pragma once

#include "pyclass.hpp"

namespace velmora::riskfolio {

// Riskfolio-Lib brings numba and vectorbt with it and takes seconds to import: it is loaded
// when a method first solves, not when the first window opens.
inline py::object library() { return py::module_::import("riskfolio"); }

// The library's James-Stein estimate of the mean comes back complex, with imaginary parts of 0,
// as it takes the eigenvalues of the covariance as those of any matrix; its solvers refuse
// complex constraints, so they are handed the real part, which is the estimate.
inline py::object realMean(py::object mu) {
    py::object real = py::module_::import("numpy").attr("real")(mu.attr("to_numpy")());
    return velmora::pandas().attr("DataFrame")(real, "index"_a = mu.attr("index"),
                                               "columns"_a = mu.attr("columns"));
}

}  // namespace velmora::riskfolio
