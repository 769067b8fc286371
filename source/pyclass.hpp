// Helpers every module uses to build real Python classes whose method bodies are C++.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <utility>

namespace py = pybind11;
using namespace pybind11::literals;

namespace velmora {

// The interpreter's truth test (`if value:`); converting a handle to bool only tells
// whether it is null.
inline bool truthy(py::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

// Raises the Python exception `type(message)`, as `raise type(message)` would.
[[noreturn]] inline void raise(py::handle type, py::handle message) {
    PyErr_SetObject(type.ptr(), message.ptr());
    throw py::error_already_set();
}
[[noreturn]] inline void raise(py::handle type, const std::string &message) { raise(type, py::str(message)); }

// Raises an exception object made elsewhere (caught, or built with arguments of its own).
[[noreturn]] inline void raise(py::handle error) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

// `super(cls, self)`: what a method of `cls` gets from `super()`. C++ bodies name their
// class explicitly, as Python 2 code did.
inline py::object super(py::handle cls, py::handle self) {
    return py::module_::import("builtins").attr("super")(cls, self);
}

// Creates a class the way a class statement would: through its metaclass, so that
// subclasses of toolkit classes get the toolkit's own metaclass, and with `__module__`
// and `__qualname__` set so that repr and pickling name it right. The class is not
// bound in the module: for classes made per call or kept private.
inline py::object newClass(const py::module_ &module, const char *name, py::tuple bases = py::tuple(),
                           py::dict attributes = py::dict()) {
    attributes["__module__"] = module.attr("__name__");
    attributes["__qualname__"] = name;
    py::object metaclass = bases.empty() ? py::reinterpret_borrow<py::object>((PyObject *)&PyType_Type)
                                         : py::type::of(bases[0]);
    return metaclass(name, bases, attributes);
}

// newClass, bound in the module under its name, as a class statement in its body does.
inline py::object makeClass(py::module_ &module, const char *name, py::tuple bases = py::tuple(),
                            py::dict attributes = py::dict()) {
    py::object cls = newClass(module, name, bases, attributes);
    module.attr(name) = cls;
    return cls;
}

// A class of another linked module, to derive from: importing it runs that module's body
// first, whatever the order in which the modules are loaded.
inline py::object classOf(const char *module, const char *name) {
    return py::module_::import(module).attr(name);
}

// Binds a C++ callable as an ordinary method of a Python class: looked up on the
// instance, it binds `self` like a function written in Python, and a subclass's
// override (in C++ or in Python) takes its place. It replaces an inherited method of
// the same name rather than adding a pybind11 overload to it.
template <typename Func, typename... Extra>
void method(py::object cls, const char *name, Func &&body, const Extra &...extra) {
    cls.attr(name) = py::cpp_function(std::forward<Func>(body), py::name(name), py::is_method(cls), extra...);
}

// Binds a free function whose first parameter is the module (for its logger, its imports,
// its other functions) as a method: `body(m, self, args...)`. Parameter lists are then
// written once, in the function, and not again in a forwarding lambda.
template <typename Result, typename... Args, typename... Extra>
void method(py::object cls, const char *name, const py::module_ &m, Result (*body)(const py::module_ &, Args...),
            const Extra &...extra) {
    method(cls, name, [m, body](Args... args) -> Result { return body(m, std::forward<Args>(args)...); }, extra...);
}

// pybind11 takes any function named "__init__" for the constructor of a C++ type, so
// constructors are bound under the name `construct` and installed as `__init__`.
template <typename Func, typename... Extra>
void constructor(py::object cls, Func &&body, const Extra &...extra) {
    method(cls, "construct", std::forward<Func>(body), extra...);
    cls.attr("__init__") = cls.attr("__dict__")["construct"];
    py::delattr(cls, "construct");
}

// A constructor whose body is a free function taking the module first, as `method` above.
template <typename... Args, typename... Extra>
void constructor(py::object cls, const py::module_ &m, void (*body)(const py::module_ &, Args...),
                 const Extra &...extra) {
    constructor(cls, [m, body](Args... args) { body(m, std::forward<Args>(args)...); }, extra...);
}

// Binds a C++ callable as a static method of a Python class.
template <typename Func, typename... Extra>
void staticMethod(py::object cls, const char *name, Func &&body, const Extra &...extra) {
    py::object function = py::cpp_function(std::forward<Func>(body), py::name(name), extra...);
    cls.attr(name) = py::reinterpret_steal<py::object>(PyStaticMethod_New(function.ptr()));
}

// Binds a C++ callable as a class method of a Python class.
template <typename Func, typename... Extra>
void classMethod(py::object cls, const char *name, Func &&body, const Extra &...extra) {
    py::object function = py::cpp_function(std::forward<Func>(body), py::name(name), extra...);
    cls.attr(name) = py::reinterpret_steal<py::object>(PyClassMethod_New(function.ptr()));
}

// The Python exception object for the C++ exception being handled, so that it can be
// logged with its traceback or handed on; call it only inside a catch block.
inline py::object currentException() {
    try {
        throw;
    } catch (py::error_already_set &error) {
        return error.value();
    } catch (py::builtin_exception &error) {
        error.set_error();
        return py::error_already_set().value();
    } catch (const std::exception &error) {
        return py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(error.what());
    } catch (...) {
        return py::reinterpret_borrow<py::object>(PyExc_RuntimeError)("unknown failure");
    }
}

// The translation function that the main module installs among the built-in names.
// Looked up at every call, since a re-created window installs a new language.
inline py::object translate(const char *text) {
    return py::module_::import("builtins").attr("_")(text);
}

// The interpreter's printable representation, as the debug messages show values.
inline std::string reprOf(py::handle value) { return py::repr(value).cast<std::string>(); }

// Logs at debug level only when the logger would emit it, so that building the
// message costs nothing in a normal run.
template <typename MakeMessage>
void debug(py::handle logger, MakeMessage &&makeMessage) {
    if (logger.attr("isEnabledFor")(10).cast<bool>()) logger.attr("debug")(makeMessage());
}

// On Linux the toolkit's maximise means full screen; the user means the window manager's
// maximised state, which a window placed anew must restore.
inline void maximizeWindow(py::handle window) {
    py::object sg = py::module_::import("PySimpleGUI");
    if (sg.attr("running_linux")().cast<bool>()) {
        // A move or resize still waiting for idle time would reach the window manager after
        // the maximise and become the maximised geometry instead of the normal one.
        window.attr("TKroot").attr("update_idletasks")();
        window.attr("TKroot").attr("wm_attributes")("-zoomed", true);
        window.attr("maximized") = true;
    } else {
        window.attr("maximize")();
    }
}

// Leaves the maximised state and waits until the window manager has given the window
// its normal size back, since callers measure the size right afterwards.
inline void normalWindow(py::handle window) {
    py::object sg = py::module_::import("PySimpleGUI");
    window.attr("normal")();
    if (!sg.attr("running_linux")().cast<bool>()) return;
    py::object root = window.attr("TKroot");
    if (!truthy(root.attr("wm_attributes")("-zoomed"))) return;
    py::object zoomedSize = window.attr("size");
    root.attr("wm_attributes")("-zoomed", false);
    py::object time = py::module_::import("time");
    py::object deadline = time.attr("monotonic")() + py::float_(2.0);
    while (time.attr("monotonic")() < deadline) {
        root.attr("update")();
        if (!py::object(window.attr("size")).equal(zoomedSize)) break;
        time.attr("sleep")(0.01);
    }
}

}  // namespace velmora
