// A part of the fields module: the class resolver, which turns a class name from a configuration file
// into the class the caller is going to call, and refuses, before any code of the name runs, what the
// caller must not call.
#include "parts.hpp"

namespace velmora::fields {

namespace {

// A module that the program links in: the loader's finder knows it by name.
bool isLinkedModule(py::handle sys, py::handle moduleName) {
    for (py::handle finder : py::list(sys.attr("meta_path"))) {
        py::object linked = py::getattr(finder, "modules_set", py::none());
        if (!linked.is_none() && velmora::truthy(linked.attr("__contains__")(moduleName))) return true;
    }
    return false;
}

bool isOfKind(py::handle found, py::handle kind) {
    if (kind.is_none()) return true;
    if (py::isinstance<py::type>(kind) || py::isinstance<py::tuple>(kind))
        return velmora::truthy(velmora::builtins().attr("issubclass")(found, kind));
    return velmora::truthy(kind(found));
}

// resolve(name, kind=None, setting=None) -> class
//   name:    dotted class name "module.Class" (the module part may contain points).
//   kind:    what the caller is going to call: a class or a tuple of classes that the result
//            must be (a subclass of), or any other callable taking the class and answering
//            whether it fits (for a contract without a common base class, such as the raw
//            market-data sources). None accepts any class.
//   setting: the configuration key the name came from (e.g. "data.dataProvider"); it
//            heads every error message so that the user knows which setting to mend.
// The names come from configuration files that users load and share, and the caller calls
// what it gets, so only a class of the expected kind is returned. Refused before anything
// is called: a name that is not a text (TypeError); a module that is neither one of the
// program's own modules nor already loaded, since importing runs the module's code
// (ValueError); an object that is not a class (TypeError); a class of another kind
// (TypeError). A name without a point fails to unpack (ValueError) and a class
// the module does not define is a KeyError.
py::object resolve(py::object name, py::object kind, py::object setting) {
    py::str heading = setting.is_none() ? py::str("") : py::str("{}: ").format(setting);
    auto refuseName = [&](py::handle type, const char *text) {
        velmora::raise(type, heading + py::str(text).format(name));
    };
    if (!py::isinstance<py::str>(name)) refuseName(PyExc_TypeError, "a class name must be a text, not {!r}");
    py::list parts = name.attr("rsplit")(".", 1);
    if (py::len(parts) != 2)
        velmora::raise(PyExc_ValueError,
                       py::str("not enough values to unpack (expected 2, got {})").format(py::len(parts)));
    py::object moduleName = parts[0];
    py::object className = parts[1];
    py::object sys = py::module_::import("sys");
    py::dict modules = sys.attr("modules");
    if (!modules.contains(moduleName) && !isLinkedModule(sys, moduleName))
        refuseName(PyExc_ValueError, "{!r} names no module of the program");
    velmora::builtins().attr("__import__")(moduleName);
    py::dict namespace_ = modules[moduleName].attr("__dict__");
    if (!namespace_.contains(className))
        refuseName(PyExc_KeyError, "{!r} names no class of its module");
    py::object found = namespace_[className];
    if (!py::isinstance<py::type>(found))
        refuseName(PyExc_TypeError, "{!r} is not a class");
    if (!isOfKind(found, kind))
        refuseName(PyExc_TypeError, "{!r} is not a class of the expected kind");
    return found;
}

}  // namespace

void defineResolver(py::module_ &m) {
    m.def("resolve", &resolve, "name"_a, "kind"_a = py::none(), "setting"_a = py::none());
}

}  // namespace velmora::fields
