// What the methods on the efficient-frontier library share: risk matrix, bounds, weight link, heat map.
#pragma once

#include "pyclass.hpp"

#include <initializer_list>

namespace velmora::frontier {

// Translated once, when the method's module is loaded: the names stay in the language that
// was active then.
inline py::list translatedNames(std::initializer_list<const char *> texts) {
    py::list names;
    for (const char *text : texts) names.append(velmora::translate(text));
    return names;
}

// The risk model named by the configuration, with every other option at the library's default.
inline py::object riskMatrix(py::handle owner) {
    py::object riskMethod = owner.attr("config").attr("allocation").attr("riskMethod");
    py::object risk_matrix = py::module_::import("pypfopt.risk_models").attr("risk_matrix");
    return risk_matrix(owner.attr("prices"), "method"_a = riskMethod);
}

inline py::tuple weightBounds(py::handle owner) { return py::make_tuple(0, owner.attr("maxWeight")); }

// Links a boolean per stock to its weight (minimum weight x z <= w). Without the companion
// w <= z the link forces nothing, but it makes the problem mixed-integer, which is what
// ties these methods to the branch-and-bound solver; the minimum weight itself is enforced
// by the cleaning and pruning of the allocation pipeline. At a minimum of 0 it constrains
// nothing at all and would only make the solve a branch-and-bound, ten times as long.
inline void linkMinimumWeight(py::handle ef, py::object owner) {
    py::object minWeight = owner.attr("minWeight");
    if (!(minWeight > py::int_(0))) return;
    py::object z = py::module_::import("cvxpy").attr("Variable")(ef.attr("n_assets"), "boolean"_a = true);
    ef.attr("add_constraint")(py::cpp_function([owner, z](py::object w) {
        py::object minWeight = owner.attr("minWeight");
        py::object lower = minWeight * z;
        PyObject *constraint = PyObject_RichCompare(lower.ptr(), w.ptr(), Py_LE);
        if (constraint == nullptr) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(constraint);
    }, "w"_a));
}

// The risk matrix of the last computation as a heat map in the current figure, which the
// caller has prepared; the theme stays set for later charts, as the library intends.
inline py::tuple heatMap(py::object self, py::kwargs) {
    py::module_ seaborn = py::module_::import("seaborn");
    seaborn.attr("set_theme")();
    py::object res = seaborn.attr("heatmap")(self.attr("s"));
    res.attr("set_xticklabels")(res.attr("get_xmajorticklabels")(), "fontsize"_a = 8);
    res.attr("set_yticklabels")(res.attr("get_ymajorticklabels")(), "fontsize"_a = 8);
    py::module_::import("matplotlib.pyplot").attr("tight_layout")();
    return py::make_tuple(res, py::none());
}

inline py::object methodClass(py::module_ &m, const char *name) {
    return velmora::makeClass(m, name, py::make_tuple(velmora::classOf("rmethod", "RecommendationMethod")));
}

inline void bindLogger(py::module_ &m) {
    m.attr("logger") = py::module_::import("logging").attr("getLogger")(m.attr("__name__"));
}

}  // namespace velmora::frontier
