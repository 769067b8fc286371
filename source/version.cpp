// The program's version text.
#include "pyclass.hpp"

PYBIND11_MODULE(version, m) { m.attr("version") = "0.02.0013"; }
