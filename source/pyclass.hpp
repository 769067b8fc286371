// Helpers every module uses to build real Python classes whose method bodies are C++.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <concepts>
#include <functional>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <utility>

namespace py = pybind11;
using namespace pybind11::literals;

namespace velmora {

// A C++ callable to bind as it stands; a module in its place selects the overloads below
// that hand the module to a free function.
template <typename Func>
concept Body = !std::same_as<std::remove_cvref_t<Func>, py::module_>;

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
[[noreturn]] inline void raise(py::handle type, const std::string &message) {
    raise(type, py::str(message));
}

// Raises `error` as `raise error` would: an exception object made elsewhere (caught, or
// built with arguments of its own), or an exception class, raised without arguments.
[[noreturn]] inline void raise(py::handle error) {
    if (PyExceptionClass_Check(error.ptr()))
        PyErr_SetNone(error.ptr());
    else
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

// A Python list of the items, as the display `[a, b]` makes it: layouts are lists of rows.
inline py::list list(std::initializer_list<py::object> items) {
    py::list made;
    for (const py::object &item : items) made.append(item);
    return made;
}

// A list of texts, such as column names: `["Symbol", "Security Name"]`.
inline py::list list(std::initializer_list<const char *> texts) {
    py::list made;
    for (const char *text : texts) made.append(text);
    return made;
}

// The packages that many modules drive, imported at the call: a loaded module is one lookup
// away, and a module that only names them loads none of them before it needs it.
inline py::module_ builtins() { return py::module_::import("builtins"); }
inline py::module_ sg() { return py::module_::import("PySimpleGUI"); }
inline py::module_ pandas() { return py::module_::import("pandas"); }
inline py::module_ httpx() { return py::module_::import("httpx"); }

// Charts are rendered into memory and files only. Under an interactive back end every new
// figure would open a window of its own beside the main window, so unless another module has
// chosen a back end already, the image back end is set before pyplot is loaded. The numbers on
// the charts' axes are written with the locale's decimal mark and grouping, as the tables write them.
inline py::module_ pyplot() {
    py::dict modules = py::module_::import("sys").attr("modules");
    py::module_ matplotlib = py::module_::import("matplotlib");
    if (!modules.contains("matplotlib.pyplot")) matplotlib.attr("use")("Agg");
    matplotlib.attr("rcParams")["axes.formatter.use_locale"] = true;
    return py::module_::import("matplotlib.pyplot");
}

// A chart's legend beside its plot, where it hides nothing, its text as large as the axis labels; a
// long list in columns of at most `rows` entries. `options` are the legend's own (its title).
inline py::object legendBeside(py::handle ax, py::list labels, size_t rows, py::dict options = py::dict()) {
    size_t columns = std::max<size_t>(1, (labels.size() + rows - 1) / rows);
    return ax.attr("legend")(labels, "loc"_a = "center left", "bbox_to_anchor"_a = py::make_tuple(1, 0.5),
                             "ncols"_a = columns,
                             "fontsize"_a = ax.attr("xaxis").attr("label").attr("get_fontsize")(), **options);
}

// A number as every table, field, chart and meter of the program writes it: in `format` ("%d",
// "%.2f"), with the decimal mark and the thousands grouping of the process locale.
inline py::object localeFormat(py::str format, py::handle value) {
    return py::module_::import("locale").attr("format_string")(format, value, "grouping"_a = true);
}

// With a fixed number of decimals.
inline py::object localeNumber(py::handle value, py::handle decimals) {
    return localeFormat(py::str("%.{}f").format(decimals), value);
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
template <Body Func, typename... Extra>
void method(py::object cls, const char *name, Func &&body, const Extra &...extra) {
    cls.attr(name) = py::cpp_function(std::forward<Func>(body), py::name(name), py::is_method(cls), extra...);
}

// A free function whose first parameter is the module (for its logger, its imports, its
// other functions) as a callable of the remaining parameters. Parameter lists are then
// written once, in the function, and not again in a forwarding lambda.
template <typename Result, typename... Args>
auto withModule(const py::module_ &m, Result (*body)(const py::module_ &, Args...)) {
    return [m, body](Args... args) -> Result { return body(m, std::forward<Args>(args)...); };
}

// Binds such a function as a method: `body(m, self, args...)`.
template <typename Result, typename... Args, typename... Extra>
void method(py::object cls, const char *name, const py::module_ &m,
            Result (*body)(const py::module_ &, Args...), const Extra &...extra) {
    method(cls, name, withModule(m, body), extra...);
}

// pybind11 takes any function named "__init__" for the constructor of a C++ type, so
// constructors are bound under the name `construct` and installed as `__init__`.
template <Body Func, typename... Extra>
void constructor(py::object cls, Func &&body, const Extra &...extra) {
    method(cls, "construct", std::forward<Func>(body), extra...);
    cls.attr("__init__") = cls.attr("__dict__")["construct"];
    py::delattr(cls, "construct");
}

// A constructor whose body is a free function taking the module first, as `method` above.
template <typename... Args, typename... Extra>
void constructor(py::object cls, const py::module_ &m, void (*body)(const py::module_ &, Args...),
                 const Extra &...extra) {
    constructor(cls, withModule(m, body), extra...);
}

// Binds a C++ callable as a static method of a Python class.
template <Body Func, typename... Extra>
void staticMethod(py::object cls, const char *name, Func &&body, const Extra &...extra) {
    py::object function = py::cpp_function(std::forward<Func>(body), py::name(name), extra...);
    cls.attr(name) = py::reinterpret_steal<py::object>(PyStaticMethod_New(function.ptr()));
}

// A static method whose body is a free function taking the module first, as `method` above.
template <typename Result, typename... Args, typename... Extra>
void staticMethod(py::object cls, const char *name, const py::module_ &m,
                  Result (*body)(const py::module_ &, Args...), const Extra &...extra) {
    staticMethod(cls, name, withModule(m, body), extra...);
}

// A function of the module whose body is a free function taking the module first, as
// `method` above; functions that need no module are bound with `m.def` directly.
template <typename Result, typename... Args, typename... Extra>
void function(py::module_ &m, const char *name, Result (*body)(const py::module_ &, Args...),
              const Extra &...extra) {
    m.def(name, withModule(m, body), extra...);
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

// Runs `body` inside a Python context manager as a `with` statement does: the body gets what
// `__enter__` returned (when it takes an argument), the manager's exit sees the error that
// leaves the body, and the error goes on unless the exit swallows it. Answers what the body
// answered (None for a body without result, and when the exit swallowed an error).
template <typename Scoped>
py::object within(py::handle manager, Scoped &&body) {
    py::object type = py::type::of(manager);
    py::object exit = type.attr("__exit__");
    py::object entered = type.attr("__enter__")(manager);
    py::object result = py::none();
    try {
        if constexpr (std::is_invocable_v<Scoped, py::object>) {
            if constexpr (std::is_void_v<std::invoke_result_t<Scoped, py::object>>)
                body(entered);
            else
                result = body(entered);
        } else if constexpr (std::is_void_v<std::invoke_result_t<Scoped>>) {
            body();
        } else {
            result = body();
        }
    } catch (...) {
        py::object error = currentException();
        if (!truthy(exit(manager, py::type::of(error), error, error.attr("__traceback__")))) throw;
        return py::none();
    }
    exit(manager, py::none(), py::none(), py::none());
    return result;
}

// Puts `value` at `name` of `holder` while `body` runs, and the old one back however it ends: a
// library's operation stood in for within one computation (a solver's options, a check before it).
// The attribute is kept as it is stored, not as looking it up binds it: a method bound from C++ put
// back through its lookup would lose its binding to the instance.
template <typename Body>
py::object withReplaced(py::handle holder, const char *name, py::object value, Body &&body) {
    py::object saved = py::module_::import("inspect").attr("getattr_static")(holder, name);
    holder.attr(name) = value;
    try {
        py::object result = body();
        holder.attr(name) = saved;
        return result;
    } catch (...) {
        holder.attr(name) = saved;
        throw;
    }
}

// `a @ b` and `base ** exponent`, which pybind11 has no operators for.
inline py::object matmul(py::handle a, py::handle b) {
    PyObject *result = PyNumber_MatrixMultiply(a.ptr(), b.ptr());
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

inline py::object power(py::handle base, py::handle exponent) {
    PyObject *result = PyNumber_Power(base.ptr(), exponent.ptr(), Py_None);
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
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


// Logs the exception being handled with its traceback under `message`, through the module's
// logger; called inside a catch block, where the interpreter holds no current exception
// that logging could find.
inline void logFailure(const py::module_ &m, const char *message) {
    m.attr("logger").attr("exception")(message, "exc_info"_a = currentException());
}

// Where popups open: beside the main window; the toolkit's own placement while there is none
// (a failure at the close, when the window is gone).
inline py::object popupLocation() {
    try {
        return classOf("provider", "ProviderManager").attr("popupLocation")();
    } catch (py::error_already_set &) {
        return py::make_tuple(py::none(), py::none());
    }
}

// A popup sized to its text: a cause of some hundred thousand characters (one that quotes a
// damaged file) would need a window larger than the display server can make, which ends the
// program. Beyond this many characters a text is cut for the popup; the log keeps it whole.
constexpr std::size_t shownTextLimit = 400;

inline py::object shownText(py::object text) {
    py::str whole(text);
    if (py::len(whole) <= shownTextLimit) return std::move(whole);
    py::object start = whole[py::slice(0, shownTextLimit, 1)];
    return start + py::str("\u2026");
}

// Tells the user of a failure: the translated title "Error", the message (already translated)
// and, last, the cause, which is technical detail the message explains. The button speaks the
// user's language too, which the toolkit's own error popup does not.
inline void showError(py::object message, py::handle cause = py::none()) {
    py::str detail = cause.is_none() ? py::str("") : py::str(cause);
    py::object shown = shownText(message);
    if (!cause.is_none()) shown = shown + py::str("\n\n") + shownText(detail);
    if (py::len(message) > shownTextLimit || py::len(detail) > shownTextLimit)
        py::module_::import("logging").attr("getLogger")("velmora").attr("error")("%s %s", message, detail);
    py::object sg = py::module_::import("PySimpleGUI");
    py::object label = translate("Error");
    sg.attr("Popup")(shown, "title"_a = label, "custom_text"_a = label,
                     "button_color"_a = sg.attr("DEFAULT_ERROR_BUTTON_COLOR"), "keep_on_top"_a = true,
                     "location"_a = popupLocation());
}

// Writes a new file beside `fileName` through `write` (which gets the new file's path) and puts
// it in place only when complete and on disk: a failed write or a crash leaves the old file as
// it was and no partial file beside it. The file keeps the permissions of the one it replaces;
// a new one gets those the user's umask gives, so that a report in a shared folder is readable.
// A symbolic link stays: the file it points to is the one written, as writing through it would.
// Only a regular file is replaced: a folder, a device or a pipe at the target (a mistyped setting,
// or one naming /dev/zero) is refused with OSError before anything is written.
// A file with hard links would keep its old content under its other names if the new file took
// this name's place: its content is copied over it instead, once complete and on disk, so that
// only a failure in the copy itself can leave it part written.
// A failure of the temporary file is told as one of the file the user named, whose folder or disk it
// shares: the temporary name means nothing to the user.
inline py::object namingTarget(py::object error, py::object fileName) {
    if (!py::isinstance(error, PyExc_OSError) || error.attr("errno").is_none()) return error;
    py::object named = py::reinterpret_borrow<py::object>(PyExc_OSError)(error.attr("errno"),
                                                                         error.attr("strerror"), fileName);
    named.attr("__cause__") = error;
    return named;
}

inline void replaceWhenWritten(py::object fileName, const char *suffix,
                               const std::function<void(py::object)> &write) {
    py::module_ os = py::module_::import("os");
    py::object path = os.attr("path");
    py::object target = path.attr("realpath")(fileName);
    if (truthy(path.attr("exists")(target)) && !truthy(path.attr("isfile")(target)))
        raise(PyExc_OSError, py::str("{} is not a regular file").format(fileName));
    auto syncFile = [&os](py::object written) {
        py::object descriptor = os.attr("open")(written, os.attr("O_RDONLY"));
        try {
            os.attr("fsync")(descriptor);
        } catch (...) {
            os.attr("close")(descriptor);
            throw;
        }
        os.attr("close")(descriptor);
    };
    py::tuple made;
    try {
        made = py::module_::import("tempfile").attr("mkstemp")("dir"_a = path.attr("dirname")(target),
                                                               "prefix"_a = ".velmora-", "suffix"_a = suffix);
    } catch (py::error_already_set &) {
        raise(namingTarget(currentException(), fileName));
    }
    os.attr("close")(made[0]);
    py::object temporary = made[1];
    try {
        write(temporary);
        py::object mode;
        bool linked = false;
        if (truthy(path.attr("isfile")(target))) {
            py::object status = os.attr("stat")(target);
            mode = py::module_::import("stat").attr("S_IMODE")(status.attr("st_mode"));
            linked = py::object(status.attr("st_nlink")) > py::int_(1);
        } else {
            py::object mask = os.attr("umask")(0);
            os.attr("umask")(mask);
            mode = py::int_(0666) & ~mask;
        }
        os.attr("chmod")(temporary, mode);
        syncFile(temporary);
        if (linked) {
            py::module_::import("shutil").attr("copyfile")(temporary, target);
            syncFile(target);
            os.attr("unlink")(temporary);
        } else {
            os.attr("replace")(temporary, target);
        }
    } catch (...) {
        py::object error = currentException();
        try {
            os.attr("unlink")(temporary);
        } catch (py::error_already_set &) {
            // Already gone.
        }
        bool ofTemporary = py::isinstance(error, PyExc_OSError) && py::object(error.attr("filename")).equal(temporary);
        raise(ofTemporary ? namingTarget(error, fileName) : error);
    }
}

// No configuration file comes near this size; a larger one is none, at the start as on loading.
constexpr long long configurationLimit = 1LL << 20;

// Opens for reading a file that a user may have received or that a crash or another program
// may have damaged: only a regular file (a named pipe would block at the open, a link to a
// device would be read without end) and none larger than `limit` bytes, which no real file of
// its kind comes near. Anything else raises OSError, as an unreadable file does. Without
// `followLinks` a symbolic link is refused too, for files that the program alone writes.
inline py::object openRegularFile(py::handle path, const char *mode, long long limit, bool followLinks = true) {
    py::module_ os = py::module_::import("os");
    py::object flags = os.attr("O_RDONLY") | os.attr("O_NONBLOCK");
    if (!followLinks) flags = flags | os.attr("O_NOFOLLOW");
    py::object descriptor = os.attr("open")(path, flags);
    try {
        py::object status = os.attr("fstat")(descriptor);
        py::object size = status.attr("st_size");
        if (!truthy(py::module_::import("stat").attr("S_ISREG")(status.attr("st_mode"))))
            raise(PyExc_OSError, py::str("{} is not a regular file").format(path));
        if (size > py::int_(limit))
            raise(PyExc_OSError, py::str("{} is larger than {} bytes").format(path, limit));
        // Text files are read as UTF-8, with or without the byte-order mark that Windows editors
        // write; what the program writes is ASCII, which reads the same.
        if (std::string(mode).find('b') == std::string::npos)
            return py::module_::import("builtins").attr("open")(descriptor, mode, "encoding"_a = "utf-8-sig");
        return py::module_::import("builtins").attr("open")(descriptor, mode);
    } catch (...) {
        os.attr("close")(descriptor);
        throw;
    }
}

}  // namespace velmora
