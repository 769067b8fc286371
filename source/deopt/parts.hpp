// The share-count search in parts: what the module file and its parts call of one another. The module
// file, source/deopt.cpp, makes the differential-evolution methods; the parts hold the optimiser, its
// kernels, its limits and starting member, and the estimators.
#pragma once

#include "../pyclass.hpp"

#include <pybind11/numpy.h>

#include <string>
#include <vector>

namespace velmora::deopt {

// The kernels (kernels.cpp). The hot loop works on plain double arrays; anything array-like (a
// table, an integer array) is converted once per call, an array of doubles is used as it is.

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

Array asArray(py::handle value);

py::module_ numpy();

[[noreturn]] void shapeError(const std::string &what);

// counts x flags of a decision vector or a population, in its own layout (n, or n x S).
Array realCounts(const Array &x, py::ssize_t stocks);

// x^T y x for each of `members` rows of n weights.
std::vector<double> quadraticForms(const double *x, py::ssize_t members, py::ssize_t n, const Array &y);

// One number for a vector, an array of one number per row for a matrix.
py::object perMember(const std::vector<double> &values, bool matrix);

py::object quadForm(py::object x, py::object y);

// The limits and the starting member (limits.cpp).

py::object upperCounts(py::object capital, py::object maxWeight, py::object lastPrices, bool whole);

py::object lowerCounts(py::object capital, py::object minWeight, py::object lastPrices, py::object upper,
                       bool whole);

py::object leastSpent(py::object capital, py::object lastPrices);

struct CountLimits {
    std::vector<double> lower, upper, prices;
    double capital, lowest;
    bool whole;
};

// A decision vector within the bounds that spends between `lowest` and the capital, none where none
// is found.
py::object feasibleMember(const CountLimits &limits);

void refuseLimitsNoAllocationMeets(py::object owner);

// The optimiser (optimizer.cpp).

void defineOptimizer(py::module_ &m);

// The estimators (estimators.cpp).

py::object allocationSetting(py::handle owner, const char *key);

void estimateReturns(py::object self, py::object owner, py::object prices);

void estimateRisk(py::object self, py::object owner, py::object prices);

void defineEstimators(py::module_ &m, py::object cls);

}  // namespace velmora::deopt
