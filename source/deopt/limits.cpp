// A part of the share-count search: the bounds of the share counts from the weight limits, the least
// money the search takes, the member it starts from, and the limits refused before it runs.
#include "parts.hpp"
#include "../refusals.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

namespace velmora::deopt {

namespace {

py::object floorDivision(py::object money, py::object lastPrices) {
    PyObject *quotient = PyNumber_FloorDivide(money.ptr(), lastPrices.ptr());
    if (!quotient) throw py::error_already_set();
    return numpy().attr("round")(py::reinterpret_steal<py::object>(quotient), 0);
}

std::vector<double> filledCounts(const CountLimits &limits, const std::vector<size_t> &held) {
    std::vector<double> counts(limits.lower.size(), 0.0);
    double spent = 0.0;
    for (size_t i : held) {
        counts[i] = limits.lower[i];
        spent += counts[i] * limits.prices[i];
    }
    if (spent > limits.capital) return {};
    if (limits.whole) {
        std::vector<size_t> cheapestFirst = held;
        std::sort(cheapestFirst.begin(), cheapestFirst.end(),
                  [&](size_t a, size_t b) { return limits.prices[a] < limits.prices[b]; });
        for (size_t i : cheapestFirst) {
            double more = std::floor((limits.capital - spent) / limits.prices[i]);
            double added = std::max(0.0, std::min(limits.upper[i] - counts[i], more));
            counts[i] += added;
            spent += added * limits.prices[i];
        }
    } else {
        double room = 0.0;
        for (size_t i : held) room += (limits.upper[i] - limits.lower[i]) * limits.prices[i];
        double share = room > 0 ? std::min(1.0, (limits.capital - spent) / room) : 0.0;
        for (size_t i : held) {
            counts[i] += share * (limits.upper[i] - limits.lower[i]);
        }
        spent += share * room;
    }
    if (spent < limits.lowest) return {};
    return counts;
}

std::vector<double> moneyOf(py::object counts, py::object lastPrices) {
    Array money = asArray(counts * lastPrices);
    return std::vector<double>(money.data(), money.data() + money.size());
}

}  // namespace

// Bounds of the counts from the weight limits. Whole shares keep a stock within its maximum
// weight by rounding down; a held stock reaches its minimum weight by rounding up, unless the
// count that does is above the maximum's, where it takes the most that the maximum allows.
py::object upperCounts(py::object capital, py::object maxWeight, py::object lastPrices, bool whole) {
    py::object money = capital * maxWeight;
    return whole ? floorDivision(money, lastPrices) : money / lastPrices;
}

py::object lowerCounts(py::object capital, py::object minWeight, py::object lastPrices, py::object upper,
                       bool whole) {
    py::object money = capital * minWeight;
    if (!whole) return money / lastPrices;
    // A quotient of whole shares that the division leaves a hair above stays that many.
    py::object roundedUp = numpy().attr("ceil")(money / lastPrices - py::float_(1e-9));
    return numpy().attr("minimum")(roundedUp, upper);
}

// The least money the search takes as an allocation of the capital: whole shares leave cash
// of up to a share's price under every stock's limit.
py::object leastSpent(py::object capital, py::object lastPrices) {
    return py::float_(0.99) * capital - py::int_(2) * numpy().attr("median")(lastPrices);
}

// A member within the bounds that spends between the least the search takes and the capital,
// where one is found: the search starts from it, so its best member meets the constraint from
// the first generation on and the search cannot end with none. Each set of the k cheapest (by
// their least money) or the k largest (by their most money) stocks starts at its lower counts
// and is filled towards its upper counts, the cheapest shares first.
py::object feasibleMember(const CountLimits &limits) {
    size_t n = limits.lower.size();
    std::vector<size_t> byLeast(n), byMost(n);
    for (size_t i = 0; i < n; ++i) byLeast[i] = byMost[i] = i;
    std::sort(byLeast.begin(), byLeast.end(), [&](size_t a, size_t b) {
        return limits.lower[a] * limits.prices[a] < limits.lower[b] * limits.prices[b];
    });
    std::sort(byMost.begin(), byMost.end(), [&](size_t a, size_t b) {
        return limits.upper[a] * limits.prices[a] > limits.upper[b] * limits.prices[b];
    });
    for (size_t k = n; k >= 1; --k)
        for (const std::vector<size_t> *order : {&byLeast, &byMost}) {
            std::vector<size_t> held(order->begin(), order->begin() + static_cast<std::ptrdiff_t>(k));
            std::vector<double> counts = filledCounts(limits, held);
            if (counts.empty()) continue;
            Array member(std::vector<py::ssize_t>{static_cast<py::ssize_t>(2 * n)});
            double *x = member.mutable_data();
            for (size_t i = 0; i < n; ++i) {
                x[n + i] = std::find(held.begin(), held.end(), i) != held.end() ? 1.0 : 0.0;
                // A stock not held keeps a count within its bounds; its flag makes it buy nothing.
                x[i] = x[n + i] > 0 ? counts[i] : limits.lower[i];
            }
            return member;
        }
    return py::none();
}

// Limits that no allocation the search accepts can meet are told before it runs for seconds
// and fails. A held stock takes from its least money (its minimum, rounded up to a share) to
// its most (its maximum, rounded down to a share); some number of stocks must together be able
// to spend no more than the capital and no less than the search takes. With the cheapest least
// money and the largest most money of that many stocks the test refuses no allocation it could
// find.
void refuseLimitsNoAllocationMeets(py::object owner) {
    velmora::refusals::refuseMinimumAboveMaximum(owner);
    py::object capital = allocationSetting(owner, "capital");
    py::object lastPrices = owner.attr("prices").attr("iloc")[py::int_(-1)].attr("values");
    py::object fractional = owner.attr("fractional");
    bool whole = fractional.equal(py::str("NO"));
    py::object upper = upperCounts(capital, owner.attr("maxWeight"), lastPrices, whole);
    std::vector<double> most = moneyOf(upper, lastPrices);
    std::vector<double> least =
        moneyOf(lowerCounts(capital, owner.attr("minWeight"), lastPrices, upper, whole), lastPrices);
    if (whole && std::none_of(most.begin(), most.end(), [](double money) { return money > 0; }))
        velmora::refusals::refuseNoWholeShare(owner);
    std::sort(least.begin(), least.end());
    std::sort(most.begin(), most.end(), std::greater<>());
    double money = capital.cast<double>(), lowest = leastSpent(capital, lastPrices).cast<double>();
    double slack = money * 1e-9, leastSum = 0.0, mostSum = 0.0;
    for (size_t held = 0; held < most.size(); ++held) {
        leastSum += least[held];
        mostSum += most[held];
        if (leastSum <= money + slack && mostSum >= lowest - slack) return;
    }
    py::object message = velmora::translate(
        "No allocation within the weight limits of {} % to {} % per stock invests a capital of {}; try other "
        "weight limits or another capital.");
    namespace refusals = velmora::refusals;
    velmora::raise(PyExc_ValueError,
                   message.attr("format")(refusals::percentOf(owner.attr("minWeight")),
                                          refusals::percentOf(owner.attr("maxWeight")), refusals::amountOf(capital)));
}

}  // namespace velmora::deopt
