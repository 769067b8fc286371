// The launcher: embeds the interpreter and runs the application inside the import of `bootstrap`.
#include "launcher.hpp"

#include <Python.h>

#include <climits>
#include <cstdlib>
#include <vector>

extern "C" PyObject *PyInit_bootstrap();

namespace velmora {

Entry entry = Entry::Application;

// Set while the loader's body runs, so that it takes the name of the main program.
bool bootstrapRunsAsMain = false;

namespace {

bool configureArguments(PyConfig &config, int argc, wchar_t **argv) {
    if (argc == 0 || argv == nullptr) return true;
    if (PyStatus_Exception(PyConfig_SetString(&config, &config.program_name, argv[0]))) return false;
    return !PyStatus_Exception(PyConfig_SetArgv(&config, argc, argv));
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    if (PyImport_AppendInittab("bootstrap", PyInit_bootstrap) < 0) return 1;

    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    // The application parses its own command line; the interpreter must not take
    // options such as -X from it.
    config.parse_argv = 0;
    if (!configureArguments(config, argc, argv)) {
        PyConfig_Clear(&config);
        return 1;
    }
    PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) return 1;

    bootstrapRunsAsMain = true;
    PyObject *bootstrap = PyImport_ImportModule("bootstrap");
    if (bootstrap == nullptr && PyErr_Occurred()) {
        PyErr_Print();  // a system exit ends the process here with its own code
        return 1;
    }
    Py_XDECREF(bootstrap);
    return Py_FinalizeEx() < 0 ? 2 : 0;
}

int mainFromBytes(int argc, char **argv) {
    // Decoding needs the locale and UTF-8 mode that the interpreter itself would choose.
    PyPreConfig preconfig;
    PyPreConfig_InitPythonConfig(&preconfig);
    preconfig.parse_argv = 0;
    if (PyStatus_Exception(Py_PreInitialize(&preconfig))) return 1;

    // The program path is the file the process runs, links resolved, as on Windows: the
    // environment lies beside that file, whatever link or folder the program was started from.
    char programPath[PATH_MAX];
    bool resolved = argc > 0 && realpath("/proc/self/exe", programPath) != nullptr;

    std::vector<wchar_t *> arguments;
    for (int i = 0; i < argc; ++i) {
        wchar_t *argument = Py_DecodeLocale(i == 0 && resolved ? programPath : argv[i], nullptr);
        if (argument == nullptr) return 1;
        arguments.push_back(argument);
    }
    arguments.push_back(nullptr);
    int code = wmain(argc, arguments.data());
    for (wchar_t *argument : arguments) PyMem_RawFree(argument);
    return code;
}

}  // namespace velmora
