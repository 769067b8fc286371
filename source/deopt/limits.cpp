// A part of the share-count search: the bounds of the share counts from the weight limits, the least
// money the search takes, the member it starts from, and the limits refused before it runs.
#include "parts.hpp"
#include "../refusals.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <unordered_set>
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

// Where no set of the cheapest or the largest stocks fills its way into the capital's range, a small
// exact fill: depth first over the stocks, the dearest share first, each held from the most shares the
// money left affords down to its least, or not held. A branch whose stocks left cannot bring the money up
// to the least the search takes is cut, so that whole shares that spend within the range are found
// wherever some exist. Many stocks of a few shares each reach the same money by many ways: a branch that
// failed is remembered by its depth and its money to the cent and not walked again, so that the fill
// weighs sums of money, not sets of stocks. Its steps are bounded all the same, so that limits that few
// members meet cost a moment, not the search's time.
struct ExactFill {
    const CountLimits &limits;
    std::vector<size_t> order;
    std::vector<double> restMost, counts;
    std::vector<bool> held;
    double top, floor;
    long steps = 0;
    std::unordered_set<std::uint64_t> failed;

    static constexpr long mostSteps = 200000;

    explicit ExactFill(const CountLimits &limits)
        : limits(limits), order(limits.prices.size()), restMost(limits.prices.size() + 1, 0.0),
          counts(limits.lower), held(limits.prices.size(), false),
          // The search adds the money in its own order: a member at an end of the range keeps a hair inside.
          top(limits.capital * (1 - 1e-12)), floor(limits.lowest + limits.capital * 1e-12) {
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(),
                  [&](size_t a, size_t b) { return limits.prices[a] > limits.prices[b]; });
        for (size_t k = order.size(); k-- > 0;)
            restMost[k] = restMost[k + 1] + limits.upper[order[k]] * limits.prices[order[k]];
    }

    bool fill(size_t k, double spent) {
        if (spent >= floor) return true;
        if (k == order.size() || spent + restMost[k] < floor || ++steps > mostSteps) return false;
        std::uint64_t branch = static_cast<std::uint64_t>(std::llround(spent * 100)) * order.size() + k;
        if (failed.contains(branch)) return false;
        if (fillFrom(k, spent)) return true;
        failed.insert(branch);
        return false;
    }

    bool fillFrom(size_t k, double spent) {
        size_t i = order[k];
        double price = limits.prices[i];
        double most = std::min(limits.upper[i], std::floor((top - spent) / price));
        for (double count = most; count >= std::max(limits.lower[i], 1.0); --count) {
            if (spent + count * price + restMost[k + 1] < floor) break;
            held[i] = true;
            counts[i] = count;
            if (fill(k + 1, spent + count * price)) return true;
        }
        held[i] = false;
        counts[i] = limits.lower[i];
        return fill(k + 1, spent);
    }
};

// The search checks its start in its own unit scale, (count - middle) / width + 0.5, in which a fractional
// count filled to its upper bound can come out a hair above 1 and be refused as lying outside the bounds.
// Such a count steps inwards by the least amounts until the search's own arithmetic takes it in; whole
// shares and flags lie half a unit inside the bounds the search widens them to.
double withinUnitScale(double count, double lower, double upper) {
    double middle = 0.5 * (lower + upper), width = std::fabs(lower - upper);
    double reciprocal = width > 0 ? 1 / width : 0;
    auto scaled = [&](double x) { return (x - middle) * reciprocal + 0.5; };
    count = std::clamp(count, lower, upper);
    while (scaled(count) > 1.0) count = std::nextafter(count, lower);
    while (scaled(count) < 0.0) count = std::nextafter(count, upper);
    return count;
}

py::object memberOf(const std::vector<double> &counts, const std::vector<bool> &held, const CountLimits &limits) {
    size_t n = counts.size();
    Array member(std::vector<py::ssize_t>{static_cast<py::ssize_t>(2 * n)});
    double *x = member.mutable_data();
    for (size_t i = 0; i < n; ++i) {
        x[n + i] = held[i] ? 1.0 : 0.0;
        // A stock not held keeps a count within its bounds; its flag makes it buy nothing.
        x[i] = held[i] ? counts[i] : limits.lower[i];
        if (!limits.whole) x[i] = withinUnitScale(x[i], limits.lower[i], limits.upper[i]);
    }
    return member;
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
// and is filled towards its upper counts, the cheapest shares first; where none is, whole shares are
// filled exactly.
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
            std::vector<bool> flags(n, false);
            for (size_t i : held) flags[i] = true;
            return memberOf(counts, flags, limits);
        }
    if (!limits.whole) return py::none();
    ExactFill exact(limits);
    if (!exact.fill(0, 0.0)) return py::none();
    return memberOf(exact.counts, exact.held, limits);
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
