// What the methods refuse in the user's own terms instead of the libraries': weight limits no allocation meets, a benchmark that no portfolio's return clears, a capital that buys no whole share, a stock above the maximum weight, a clustering of one stock; the solvers' accuracy at a limit, and weights held within the maximum.
#pragma once

#include "pyclass.hpp"

#include <vector>

namespace velmora::refusals {

// Solvers return a weight at a limit only to their accuracy: 0.0999999999962 stands for 10 %.
inline constexpr double tolerance = 1e-6;

// A weight limit in percent, as the user set it.
inline py::object percentOf(py::object fraction) { return py::str("{:g}").format(fraction * py::int_(100)); }

// An amount of money as the user entered it, without the point of a whole number.
inline py::object amountOf(py::object money) { return py::str("{:.15g}").format(money); }

inline py::object capitalOf(py::handle owner) { return owner.attr("config").attr("allocation").attr("capital"); }

// Whole shares each take a share's price at least, and no stock more than the maximum weight;
// a capital below every price the maximum lets through buys nothing.
[[noreturn]] inline void refuseNoWholeShare(py::handle owner) {
    py::object message = velmora::translate(
        "A capital of {} buys no whole share of the chosen stocks within the maximum weight of {} % per stock; "
        "try a larger capital or a larger maximum weight.");
    velmora::raise(PyExc_ValueError,
                   message.attr("format")(amountOf(capitalOf(owner)), percentOf(owner.attr("maxWeight"))));
}

// "The chosen stocks" of a method are those its optimiser kept, which the user may not have expected; the
// refusal names them.
[[noreturn]] inline void refuseNoWholeShareOf(py::handle owner, py::object kept) {
    py::object message = velmora::translate(
        "A capital of {} buys no whole share of the stocks the optimiser kept ({}) within the maximum weight of "
        "{} % per stock; try a larger capital or a larger maximum weight.");
    velmora::raise(PyExc_ValueError, message.attr("format")(amountOf(capitalOf(owner)), py::str(", ").attr("join")(kept),
                                                            percentOf(owner.attr("maxWeight"))));
}

// The libraries' solvers are told the maximum weight but not the minimum, so their weights may all lie below
// a minimum that one stock alone, or a few, would meet; the limits themselves are not at fault.
[[noreturn]] inline void refuseWeightsBelowMinimum(py::handle owner, py::object largest) {
    py::object message = velmora::translate(
        "The method's weights all lie below the minimum weight of {} % per stock, the largest at {} %: its solver "
        "is not told the minimum. Set a smaller minimum weight.");
    velmora::raise(PyExc_ValueError, message.attr("format")(percentOf(owner.attr("minWeight")), percentOf(largest)));
}

[[noreturn]] inline void refuseUnmetLimits(py::handle owner) {
    py::object message = velmora::translate(
        "No allocation meets the weight limits of {} % to {} % per stock; try other weight limits.");
    velmora::raise(PyExc_ValueError, message.attr("format")(percentOf(owner.attr("minWeight")),
                                                            percentOf(owner.attr("maxWeight"))));
}

// The Sharpe ratio measures the return above the benchmark, so where no portfolio of the
// stocks earns clearly more than the benchmark, none has a ratio to maximise.
[[noreturn]] inline void refuseNoReturnAboveBenchmark(py::handle owner) {
    py::object message = velmora::translate(
        "The Sharpe objective finds no portfolio whose expected return lies clearly above the benchmark of {} %; "
        "set a smaller benchmark or choose other stocks.");
    py::object benchmark = owner.attr("config").attr("allocation").attr("benchmark");
    velmora::raise(PyExc_ValueError, message.attr("format")(amountOf(benchmark)));
}

// No portfolio earns more than its best stocks held up to the maximum weight each: where that return
// does not lie above the benchmark's rate (`riskFree`, in the returns' own period), the Sharpe objective is
// refused before any solve, whatever a solver or a search would make of it. Money not held earns nothing,
// and returns that are no number count for nothing.
inline void refuseWhereNoReturnAboveBenchmark(py::handle owner, py::handle expectedReturns,
                                              py::object riskFree) {
    py::module_ np = py::module_::import("numpy");
    py::object returns = np.attr("asarray")(expectedReturns, "dtype"_a = "float64").attr("ravel")();
    std::vector<double> best = py::cast<std::vector<double>>(returns[np.attr("isfinite")(returns)]);
    if (best.empty()) return;
    std::sort(best.begin(), best.end(), std::greater<>());
    double most = owner.attr("maxWeight").cast<double>(), left = 1.0, reachable = 0.0;
    for (size_t i = 0; i < best.size() && best[i] > 0 && left > 0; ++i) {
        double weight = std::min(most, left);
        reachable += weight * best[i];
        left -= weight;
    }
    if (py::float_(reachable) > riskFree) return;
    refuseNoReturnAboveBenchmark(owner);
}

// A minimum above the maximum would leave the solvers nothing to choose; it is the user's
// slip, told before any computation.
inline void refuseMinimumAboveMaximum(py::handle owner) {
    py::object minWeight = owner.attr("minWeight"), maxWeight = owner.attr("maxWeight");
    if (!(minWeight > maxWeight)) return;
    py::object message = velmora::translate(
        "The minimum weight of {} % per stock is above the maximum weight of {} %; set a minimum weight "
        "no larger than the maximum weight.");
    velmora::raise(PyExc_ValueError, message.attr("format")(percentOf(minWeight), percentOf(maxWeight)));
}

// Every stock held takes between the minimum and the maximum weight, and together they take
// the capital, so some number of the stocks must be able to. Limits that no number can meet
// are told in the user's terms before any computation, not as whatever a solver or a search
// makes of them.
inline void refuseUnmeetableLimits(py::handle owner) {
    refuseMinimumAboveMaximum(owner);
    double minWeight = owner.attr("minWeight").cast<double>();
    double maxWeight = owner.attr("maxWeight").cast<double>();
    py::ssize_t stocks = py::len(owner.attr("prices").attr("columns"));
    for (py::ssize_t held = 1; held <= stocks; ++held) {
        double count = static_cast<double>(held);
        if (count * minWeight <= 1 + tolerance && count * maxWeight >= 1 - tolerance) return;
    }
    refuseUnmetLimits(owner);
}

// Weights held within a maximum per stock without leaving money idle: what the cap takes off a stock goes
// to the stocks still below their maximum, in proportion to their weights, until none crosses it. Money
// stays as cash only where every stock that has a weight is at its maximum. The weights come as parts of
// any total, the maxima and the result as fractions of the capital.
inline std::vector<double> spreadWithinMaxima(const std::vector<double> &weights, const std::vector<double> &maxima) {
    std::vector<double> spread(weights.size(), 0.0);
    std::vector<bool> capped(weights.size(), false);
    for (bool crossed = true; crossed;) {
        crossed = false;
        double left = 1.0, room = 0.0;
        for (size_t i = 0; i < weights.size(); ++i) {
            if (capped[i])
                left -= maxima[i];
            else if (weights[i] > 0)
                room += weights[i];
        }
        if (!(room > 0) || !(left > 0)) break;
        for (size_t i = 0; i < weights.size(); ++i) {
            if (capped[i] || !(weights[i] > 0)) continue;
            spread[i] = weights[i] / room * left;
            if (spread[i] > maxima[i]) crossed = capped[i] = true;
        }
    }
    for (size_t i = 0; i < weights.size(); ++i)
        if (capped[i]) spread[i] = maxima[i];
    return spread;
}

inline std::vector<double> spreadWithinMaximum(const std::vector<double> &weights, double maxWeight) {
    return spreadWithinMaxima(weights, std::vector<double>(weights.size(), maxWeight));
}

inline bool aboveMaximum(py::handle owner, py::object largest) {
    py::object maxWeight = owner.attr("maxWeight");
    return largest > maxWeight + py::float_(tolerance);
}

// Optimisations that take no upper bound are checked against the maximum weight afterwards;
// `message` names the method and takes the maximum in percent.
inline void refuseWeightsAboveMaximum(py::handle owner, py::object largest, const char *message) {
    if (!aboveMaximum(owner, largest)) return;
    py::object maxWeight = owner.attr("maxWeight");
    velmora::raise(PyExc_ValueError, velmora::translate(message).attr("format")(percentOf(maxWeight)));
}

// A clustering needs two stocks at least; the libraries fail on one with a message about
// their distance matrix that the user could not act on.
inline void refuseLoneStock(py::handle table) {
    if (py::len(table.attr("columns")) >= 2) return;
    velmora::raise(PyExc_ValueError,
                   velmora::translate("You need to select at least 2 stocks to compute an allocation"));
}

}  // namespace velmora::refusals
