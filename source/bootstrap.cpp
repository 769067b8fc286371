// The loader: makes the application modules linked into the executable importable by name, then
// starts the program.
#include "../launcher/launcher.hpp"
#include "pyclass.hpp"

// APPLICATION_MODULES(X): every application module, made by the build from the files
// under source/.
#include "modules.hpp"

#define DECLARE_INIT(name) extern "C" PyObject *PyInit_##name();
APPLICATION_MODULES(DECLARE_INIT)
#undef DECLARE_INIT

namespace velmora {
extern bool bootstrapRunsAsMain;
}

namespace {

// The interpreter's API version that the module definitions are created for.
constexpr int apiVersion = 1013;

// name -> callable answering the module definition from the module's init function.
py::dict moduleDefinitions() {
    py::dict definitions;
#define DEFINITION(name)                                                          \
    definitions[#name] = py::cpp_function([] {                                    \
        PyObject *definition = PyInit_##name();                                   \
        if (definition == nullptr) throw py::error_already_set();                 \
        return py::reinterpret_borrow<py::object>(definition);                    \
    });
    APPLICATION_MODULES(DEFINITION)
#undef DEFINITION
    return definitions;
}

PyModuleDef *definitionOf(py::handle loader) {
    return reinterpret_cast<PyModuleDef *>(loader.attr("definition").ptr());
}

void constructLoader(const py::module_ &m, py::object self, py::object name) {
    if (!name.is_none() && !py::isinstance<py::str>(name))
        velmora::raise(PyExc_TypeError, "module name must be a text or None");
    m.attr("debugMsg")("Creating CompiledModuleLoader for", name);
    // Kept as an attribute, the definition holds an extra reference for as long as the
    // process runs.
    self.attr("definition") = m.attr("definitions")[name]();
    self.attr("name") = name;
}

void loadModule(const py::module_ &m, py::object self, py::object fullname) {
    m.attr("debugMsg")(m.attr("package"), "load_module", fullname);
    velmora::raise(PyExc_ImportError);
}

py::object createModule(const py::module_ &m, py::object self, py::object spec) {
    m.attr("debugMsg")(m.attr("package"), "create_module", spec);
    PyObject *created = PyModule_FromDefAndSpec2(definitionOf(self), spec.ptr(), apiVersion);
    if (created == nullptr) throw py::error_already_set();
    auto module = py::reinterpret_steal<py::object>(created);
    // The module's creation step records where it came from: no file while its body runs.
    module.attr("__loader__") = spec.attr("loader");
    module.attr("__file__") = spec.attr("origin");
    module.attr("__package__") = spec.attr("parent");
    return module;
}

void execModule(const py::module_ &m, py::object self, py::object module) {
    try {
        if (PyModule_ExecDef(module.ptr(), definitionOf(self)) != 0) throw py::error_already_set();
        module.attr("__file__") =
            py::str(m.attr("sys").attr("executable")) + py::str("/") + py::str(self.attr("name"));
    } catch (py::error_already_set &failure) {
        // A module whose body fails keeps what it had bound; the program goes on.
        m.attr("logger").attr("exception")("Exception", "exc_info"_a = failure.value());
    }
}

void defineLoader(py::module_ &m) {
    py::object loader = velmora::makeClass(m, "CompiledModuleLoader");
    velmora::constructor(loader, m, &constructLoader, "name"_a);
    velmora::method(loader, "load_module", m, &loadModule, "fullname"_a);
    velmora::method(loader, "create_module", m, &createModule, "spec"_a);
    velmora::method(loader, "exec_module", m, &execModule, "module"_a);
}

py::object findSpec(const py::module_ &m, py::object self, py::str fullname, py::object path,
                    py::object target) {
    m.attr("debugMsg")(m.attr("package"), "find_spec", fullname, path);
    py::list parts = fullname.attr("split")(".");
    if (py::len(parts) > 1) return py::none();
    if (!self.attr("modules_set").contains(parts[0])) return py::none();
    py::object spec = m.attr("importlib").attr("machinery").attr("ModuleSpec");
    return spec(fullname, m.attr("CompiledModuleLoader")(parts[0]));
}

void defineFinder(py::module_ &m) {
    py::object finder = velmora::makeClass(m, "CompiledModuleFinder");
    velmora::constructor(finder, [](py::object self, py::object modulesSet) {
        self.attr("modules_set") = modulesSet;
    }, "modules_set"_a);
    velmora::method(finder, "find_spec", m, &findSpec, "fullname"_a, "path"_a, "target"_a = py::none());
    velmora::method(finder, "invalidate_caches", [](py::object self) {});
}

void installCompiledModules(const py::module_ &m) {
    m.attr("debugMsg")(m.attr("package"), "installCompiledModules");
    py::object finder = m.attr("CompiledModuleFinder")(py::list(m.attr("definitions")));
    m.attr("sys").attr("meta_path").attr("insert")(0, finder);
}

void runEntry(py::module_ &m) {
    if (velmora::entry == velmora::Entry::Tests) {
        py::object pytest = py::module_::import("pytest");
        py::list arguments = m.attr("sys").attr("argv");
        py::object code = pytest.attr("main")(arguments[py::slice(1, py::len(arguments), 1)]);
        PyErr_SetObject(PyExc_SystemExit, code.ptr());
        throw py::error_already_set();
    }
    m.attr("velmora") = py::module_::import("velmora");
    m.attr("velmora").attr("main")();
}

void runBody(py::module_ m) {
    if (velmora::bootstrapRunsAsMain) {
        m.attr("__name__") = "__main__";
        velmora::bootstrapRunsAsMain = false;
    }
    m.attr("sys") = py::module_::import("sys");
    py::module_::import("importlib.machinery");
    m.attr("importlib") = py::module_::import("importlib");
    m.attr("logging") = py::module_::import("logging");
    m.attr("package") = "__main__";
    py::object loggerName = py::str("bootstrap ") + py::str(m.attr("package"));
    m.attr("logger") = m.attr("logging").attr("getLogger")(loggerName);
    m.attr("definitions") = moduleDefinitions();

    // The traces of the loader's calls; kept so that a debugger can break on them.
    m.attr("debugMsg") = py::cpp_function([](py::args) {}, py::name("debugMsg"));
    defineLoader(m);
    defineFinder(m);
    velmora::function(m, "installCompiledModules", &installCompiledModules);

    m.attr("installCompiledModules")();
    m.attr("sys").attr("frozen") = true;
    runEntry(m);
}

// The body's exceptions, a system exit above all, must reach the launcher as they
// were raised, so the loader has its own definition instead of pybind11's, which
// would wrap them in an import error.
int execBootstrap(PyObject *module) {
    try {
        runBody(py::reinterpret_borrow<py::module_>(module));
        return 0;
    } catch (py::error_already_set &failure) {
        failure.restore();
    } catch (const std::exception &failure) {
        PyErr_SetString(PyExc_RuntimeError, failure.what());
    }
    return -1;
}

PyModuleDef_Slot bootstrapSlots[] = {{Py_mod_exec, reinterpret_cast<void *>(execBootstrap)}, {0, nullptr}};
PyModuleDef bootstrapDefinition = {PyModuleDef_HEAD_INIT, "bootstrap", nullptr, 0, nullptr, bootstrapSlots,
                                   nullptr, nullptr, nullptr};

}  // namespace

extern "C" PyObject *PyInit_bootstrap() { return PyModuleDef_Init(&bootstrapDefinition); }
