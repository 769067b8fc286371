// A part of the fields module: the checks of the settings that the start runs rather than shows, the
// logging set-up, the provider list and the data source, in the words of the other checks. The start,
// Load Config and Save Config ask them, so a file one of them takes is one the next start can run.
// None of them runs what it checks: the logging is checked by the rules its configurator applies, and
// a module beside the program is looked for, not imported.
#include "parts.hpp"

#include <string>

namespace velmora::fields {

namespace {

py::object memberOf(py::handle section, const char *name) {
    return PyDict_Check(section.ptr()) && section.contains(name) ? py::object(section[name]) : py::object();
}

py::tuple refused(const std::string &setting, py::handle value, py::object description) {
    return py::make_tuple(py::str(setting), value.ptr() ? py::reinterpret_borrow<py::object>(value) : py::none(),
                          description);
}

// A level the configurator sets: a number, or one of the names the logging knows.
py::object levelRefusal(py::handle level) {
    py::dict names = py::module_::import("logging").attr("getLevelNamesMapping")();
    if (PyLong_Check(level.ptr()) || (py::isinstance<py::str>(level) && names.contains(level))) return py::none();
    py::list quoted;
    for (auto [name, number] : names) quoted.append(py::repr(name));
    return velmora::translate("one of {}, or a number").attr("format")(py::str(", ").attr("join")(quoted));
}

// The names a handler or a logger refers to, each of which the section of its kind must define.
bool namesDefined(py::handle names, py::handle defined) {
    if (!PyList_Check(names.ptr()) && !PyTuple_Check(names.ptr())) return false;
    for (py::handle name : names)
        if (py::isinstance<py::str>(name) && !(PyDict_Check(defined.ptr()) && defined.contains(name)))
            return false;
    return true;
}

// What a handler, a logger or the root refers to, and its level.
py::object membersRefusal(const std::string &path, py::handle entry, py::handle section) {
    py::object level = memberOf(entry, "level");
    if (level) {
        py::object description = levelRefusal(level);
        if (!description.is_none()) return refused(path + ".level", level, description);
    }
    struct Reference {
        const char *member, *kind, *description;
    };
    for (const Reference &reference :
         {Reference{"handlers", "handlers", "names of handlers that logging.handlers defines"},
          Reference{"filters", "filters", "names of filters that logging.filters defines"}}) {
        py::object names = memberOf(entry, reference.member);
        if (names && !namesDefined(names, memberOf(section, reference.kind)))
            return refused(path + "." + reference.member, names, velmora::translate(reference.description));
    }
    return py::none();
}

// A class the configurator makes a handler of: a handler class of a module the program holds.
bool isHandlerClass(py::handle name) {
    try {
        py::object handler = py::module_::import("logging").attr("Handler");
        py::module_::import("fields").attr("resolve")(name, "kind"_a = handler);
        return true;
    } catch (py::error_already_set &) {
        return false;
    }
}

// A formatter the configurator makes of its format, date format and style: making it runs nothing.
bool isFormatter(py::handle entry) {
    if (entry.contains("()") || entry.contains("class")) return true;
    try {
        py::object get = entry.attr("get");
        py::module_::import("logging").attr("Formatter")(get("format"), get("datefmt"), get("style", "%"),
                                                          get("validate", true));
        return true;
    } catch (py::error_already_set &) {
        return false;
    }
}

// Each entry of a group of the section (formatters, filters, handlers, loggers) is a group of settings.
py::object groupRefusal(const std::string &path, py::handle group) {
    py::object groupOfSettings = velmora::translate("a group of settings");
    if (!PyDict_Check(group.ptr())) return refused(path, group, groupOfSettings);
    for (auto [name, entry] : py::reinterpret_borrow<py::dict>(group))
        if (!PyDict_Check(entry.ptr()))
            return refused(path + "." + py::str(name).cast<std::string>(), entry, groupOfSettings);
    return py::none();
}

}  // namespace

py::object loggingRefusal(py::handle section) {
    py::object version = memberOf(section, "version");
    if (!version || PyBool_Check(version.ptr()) || !version.equal(py::int_(1)))
        return refused("logging.version", version, py::str("1"));
    for (const char *group : {"formatters", "filters", "handlers", "loggers"}) {
        py::object entries = memberOf(section, group);
        py::object failure = entries ? groupRefusal(std::string("logging.") + group, entries) : py::none();
        if (!failure.is_none()) return failure;
    }
    // An incremental set-up changes the levels of handlers that run already: nothing else is made.
    bool incremental = velmora::truthy(section.attr("get")("incremental", false));
    py::object formatters = memberOf(section, "formatters"), handlers = memberOf(section, "handlers");
    for (auto [name, entry] : handlers ? py::dict(handlers) : py::dict()) {
        std::string path = "logging.handlers." + py::str(name).cast<std::string>();
        py::object formatter = memberOf(entry, "formatter"), handlerClass = memberOf(entry, "class");
        if (!incremental && formatter && !(formatters && formatters.contains(formatter)))
            return refused(path + ".formatter", formatter,
                           velmora::translate("the name of a formatter that logging.formatters defines"));
        if (!incremental && !entry.contains("()") && !(handlerClass && isHandlerClass(handlerClass)))
            return refused(path + ".class", handlerClass,
                           velmora::translate("the name of a class of logging handlers"));
        py::object failure = membersRefusal(path, entry, section);
        if (!failure.is_none() && !(incremental && !failure[py::int_(0)].cast<std::string>().ends_with(".level")))
            return failure;
    }
    if (incremental) return py::none();
    for (auto [name, entry] : formatters ? py::dict(formatters) : py::dict())
        if (!isFormatter(entry))
            return refused("logging.formatters." + py::str(name).cast<std::string>(), entry,
                           velmora::translate("a format in the style that a logging formatter takes"));
    py::object loggers = memberOf(section, "loggers");
    for (auto [name, entry] : loggers ? py::dict(loggers) : py::dict()) {
        std::string path = "logging.loggers." + py::str(name).cast<std::string>();
        py::object failure = membersRefusal(path, entry, section);
        if (!failure.is_none()) return failure;
    }
    py::object root = memberOf(section, "root");
    if (!root) return py::none();
    if (!PyDict_Check(root.ptr())) return refused("logging.root", root, velmora::translate("a group of settings"));
    return membersRefusal("logging.root", root, section);
}

// A module the program links in or holds already is asked for its class; one beside the program, which
// the start imports, is only looked for: importing it would run its code.
py::object providerRefusal(py::handle names) {
    py::object description = velmora::translate("names of tab classes that the program finds");
    py::object sys = py::module_::import("sys");
    for (py::handle name : names) {
        if (!py::isinstance<py::str>(name)) return refused("providers", name, description);
        py::list parts = name.attr("rsplit")(".", 1);
        if (py::len(parts) != 2) return refused("providers", name, description);
        py::str moduleName(parts[0]);
        bool held = py::dict(sys.attr("modules")).contains(moduleName);
        for (py::handle finder : py::list(sys.attr("meta_path"))) {
            py::object linked = py::getattr(finder, "modules_set", py::none());
            held = held || (!linked.is_none() && velmora::truthy(linked.attr("__contains__")(moduleName)));
        }
        try {
            if (held) {
                py::object tab = py::module_::import("provider").attr("Provider");
                py::module_::import("fields").attr("resolve")(name, "kind"_a = tab);
            } else {
                py::object topLevel = moduleName.attr("split")(".")[py::int_(0)];
                if (py::module_::import("importlib.util").attr("find_spec")(topLevel).is_none())
                    return refused("providers", name, description);
            }
        } catch (py::error_already_set &) {
            return refused("providers", name, description);
        }
    }
    return py::none();
}

}  // namespace velmora::fields
