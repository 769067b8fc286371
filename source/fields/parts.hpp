// The fields module in parts: what the module file and its parts call of one another. The module file,
// source/fields.cpp, makes the field classes; one part binds the checks of loaded values onto them, the
// other the class resolver.
#pragma once

#include "../pyclass.hpp"

namespace velmora::fields {

// The field's bounds, both inclusive; a missing bound does not limit (fields.cpp).
bool withinBounds(py::handle self, py::handle number);

// The value at a dotted path of a configuration tree, as the tree's own item access answers it: the
// fields read and write their settings so, the start loading no path library for it (loaded.cpp).
py::object settingAt(py::handle tree, py::handle path);

// Puts `value` at a dotted path of a configuration tree, with glom, imported at the first assignment.
void assignSetting(py::handle tree, py::handle path, py::handle value);

// The checks of values read from a file (loaded.cpp), bound once the field classes exist.
// The settings the start runs (running.cpp), each answering (setting, value, description) or None.
py::object loggingRefusal(py::handle section);
py::object providerRefusal(py::handle names);

void defineLoadedValueChecks(py::module_ &m);

// resolve(name, kind=None, setting=None), the class a configuration names, as a function of the module
// (resolve.cpp).
void defineResolver(py::module_ &m);

}  // namespace velmora::fields
