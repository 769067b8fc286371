// The fields module in parts: what the module file and its part call of one another. The module file,
// source/fields.cpp, makes the field classes; the part binds the checks of loaded values onto them.
#pragma once

#include "../pyclass.hpp"

namespace velmora::fields {

// The field's bounds, both inclusive; a missing bound does not limit (fields.cpp).
bool withinBounds(py::handle self, py::handle number);

// The checks of values read from a file (loaded.cpp), bound once the field classes exist.
void defineLoadedValueChecks(py::module_ &m);

}  // namespace velmora::fields
