// What the Riskfolio-Lib methods share: the library and pyplot, loaded when first needed, and `with` scopes.
#pragma once

#include "pyclass.hpp"

namespace velmora::riskfolio {

// Riskfolio-Lib brings numba and vectorbt with it and takes seconds to import: it is loaded
// when a method first solves, not when the first window opens.
inline py::object library() { return py::module_::import("riskfolio"); }

inline py::object pyplot() { return py::module_::import("matplotlib.pyplot"); }

// Runs `body` inside a Python context manager as a `with` statement does: the manager's exit
// sees the error that leaves the body, and the error goes on unless the exit swallows it.
template <typename Body>
void within(py::handle manager, Body &&body) {
    py::object type = py::type::of(manager);
    py::object exit = type.attr("__exit__");
    type.attr("__enter__")(manager);
    try {
        body();
    } catch (...) {
        py::object error = velmora::currentException();
        if (!velmora::truthy(exit(manager, py::type::of(error), error, error.attr("__traceback__")))) throw;
        return;
    }
    exit(manager, py::none(), py::none(), py::none());
}

}  // namespace velmora::riskfolio
