// The main module: command line, configuration trees, logging, translation, locale and the event loop.
#include "pyclass.hpp"

#include <functional>

namespace {

// The update check verifies the ES256 signature of the update information with this key.
constexpr const char *publicKey =
    "-----BEGIN PUBLIC KEY-----\n"
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE5R/KCpmdJISxTZiX8x8NBtAleLSV\n"
    "KyOvmne+T+AsLNvGwGOUVW3DSar4/Ohv029ODcjXEuLi6ceEQA2/JSWt6Q==\n"
    "-----END PUBLIC KEY-----\n";

void importModules(py::module_ &m) {
    for (const char *name : {"argparse", "logging", "json", "gettext", "locale", "sys", "warnings"})
        m.attr(name) = py::module_::import(name);
    py::module_::import("logging.config");
}

// Importing the toolkit switches off certificate checks for every HTTPS connection of the
// standard library and shows user warnings again; both are undone at once, before any
// request is made and before any library warns.
void importToolkit(py::module_ &m) {
    m.attr("sg") = py::module_::import("PySimpleGUI");
    py::module_ ssl = py::module_::import("ssl");
    ssl.attr("_create_default_https_context") = ssl.attr("create_default_context");
    m.attr("warnings").attr("filterwarnings")("ignore");
    m.attr("addict") = py::module_::import("addict");
}

py::object merge(py::object source, py::object destination) {
    for (py::handle item : source.attr("items")()) {
        py::object key = item[py::int_(0)];
        py::object value = item[py::int_(1)];
        if (PyDict_Check(value.ptr())) {
            py::object entry = destination.attr("setdefault")(key, py::dict());
            merge(value, entry);
        } else {
            destination[key] = value;
        }
    }
    return destination;
}

// Reads a JSON configuration file and hands its content to `use` while the file is open;
// the file is closed on every way out. A top level other than an object is refused: the
// tree would otherwise be built from whatever pairs a list happens to hold.
void readConfiguration(const py::module_ &m, py::object fileName, const std::function<void(py::object)> &use) {
    py::object file = py::module_::import("builtins").attr("open")(fileName, "r");
    try {
        py::object content = m.attr("json").attr("load")(file);
        if (!PyDict_Check(content.ptr()))
            throw py::type_error(py::str("{} does not hold a JSON object").format(fileName).cast<std::string>());
        use(content);
    } catch (...) {
        try {
            file.attr("close")();
        } catch (py::error_already_set &) {
        }
        throw;
    }
    file.attr("close")();
}

py::object parseOptions(const py::module_ &m) {
    py::object argparse = m.attr("argparse");
    py::object parser = argparse.attr("ArgumentParser")(
        "description"_a = "Zeltra Velmora", "epilog"_a = "Copyright (c) 2025 Zeltra. All rights reserved.",
        "formatter_class"_a = argparse.attr("ArgumentDefaultsHelpFormatter"));
    parser.attr("add_argument")("--config", "default"_a = "data/config/velmora.json", "help"_a = "Configuration file");
    return parser.attr("parse_args")();
}

// A window that is gone (closed by a provider, or left closed by a re-creation that failed)
// answers every read at once with the empty event: that ends the loop too, where reading
// on would only spin.
void runEventLoop(const py::module_ &m, py::object manager, py::object window) {
    py::object logger = m.attr("logger");
    py::object closeAttempt = m.attr("sg").attr("WIN_CLOSE_ATTEMPTED_EVENT");
    while (true) {
        py::tuple read = window.attr("Read")();
        py::object event = read[0];
        py::object values = read[1];
        velmora::debug(logger, [&] { return py::str("Event:") + py::str(event) + py::str(" values:") + py::str(values); });
        if (event.is_none()) {
            window.attr("close")();
            return;
        }
        window = manager.attr("handleEvent")(window, event, values);
        if (event.equal(closeAttempt)) {
            window.attr("close")();
            return;
        }
    }
}

void runMain(py::module_ m) {
    py::object options = parseOptions(m);
    py::object Dict = m.attr("addict").attr("Dict");
    py::object defaults, config, userConfig;
    readConfiguration(m, py::str("default.json"), [&](py::object content) { defaults = Dict(content); });
    readConfiguration(m, options.attr("config"), [&](py::object content) {
        userConfig = Dict(content);
        merge(userConfig, defaults);
        userConfig = Dict(userConfig);
        config = Dict(defaults);
        config["configFile"] = options.attr("config");
    });

    m.attr("logging").attr("config").attr("dictConfig")(config["logging"]);
    py::object language = config["gui"]["language"];
    py::list languages;
    languages.append(language);
    m.attr("gettext").attr("translation")("velmora", "locale", "fallback"_a = true, "languages"_a = languages)
        .attr("install")();
    m.attr("locale").attr("setlocale")(m.attr("locale").attr("LC_ALL"), language);
    m.attr("sg").attr("ChangeLookAndFeel")("TanBlue");
    m.attr("logger").attr("info")(py::str("velmora ") + py::str(m.attr("version")) + py::str(" started"));

    // Imported only now: the provider modules translate texts while they load.
    py::module_ provider = py::module_::import("provider");
    py::object manager =
        provider.attr("ProviderManager")(config["providers"], config, velmora::translate("Velmora"),
                                         config["gui"]["size"], "icon"_a = "velmora.ico", "userConfig"_a = userConfig);
    runEventLoop(m, manager, manager.attr("createWindow")());
}

}  // namespace

PYBIND11_MODULE(velmora, m) {
    importModules(m);
    m.attr("warnings").attr("filterwarnings")("ignore");
    m.attr("logger") = m.attr("logging").attr("getLogger")(m.attr("__file__"));
    m.attr("sys").attr("path").attr("append")(m.attr("sys").attr("executable"));
    importToolkit(m);
    m.attr("version") = py::module_::import("version").attr("version");
    m.attr("publicKey") = publicKey;
    m.def("merge", &merge, "source"_a, "destination"_a);
    m.def("main", [m]() { runMain(m); });
    if (py::str(m.attr("__name__")).equal(py::str("__main__"))) m.attr("main")();
}
