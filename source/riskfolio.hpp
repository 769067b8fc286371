// What the Riskfolio-Lib methods share: the library, loaded when first needed.
#pragma once

#include "pyclass.hpp"

namespace velmora::riskfolio {

// Riskfolio-Lib brings numba and vectorbt with it and takes seconds to import: it is loaded
// when a method first solves, not when the first window opens.
inline py::object library() { return py::module_::import("riskfolio"); }

}  // namespace velmora::riskfolio
