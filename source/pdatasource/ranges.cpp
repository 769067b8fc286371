// A part of the price cache: the covered ranges. Every symbol has the range of dates it was fetched
// for; the ranges are kept apart from the table because a range may begin or end on a day without
// trading.
#include "parts.hpp"

namespace velmora::pdatasource {

bool startsBefore(py::handle a, py::handle b) { return velmora::truthy(b) && (!velmora::truthy(a) || a < b); }
bool endsAfter(py::handle a, py::handle b) { return velmora::truthy(b) && (!velmora::truthy(a) || a > b); }

Range rangeOf(py::object self, py::handle symbol) {
    py::dict ranges = self.attr("cacheRanges");
    if (ranges.contains(symbol)) {
        py::tuple range = ranges[symbol];
        return {range[0], range[1]};
    }
    return {self.attr("cacheStartDate"), self.attr("cacheEndDate")};
}

void setRanges(py::object self, py::dict ranges) {
    self.attr("cacheRanges") = ranges;
    py::object first = py::none(), last = py::none();
    bool any = false;
    for (auto item : ranges) {
        py::tuple range = py::reinterpret_borrow<py::tuple>(item.second);
        if (!any || startsBefore(range[0], first)) first = range[0];
        if (!any || endsAfter(range[1], last)) last = range[1];
        any = true;
    }
    self.attr("cacheStartDate") = orNone(first);
    self.attr("cacheEndDate") = orNone(last);
}

}  // namespace velmora::pdatasource
