// The main module: command line, configuration trees, logging, translation, locale and the event
// loop.
#include "pyclass.hpp"

#include <string>

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

// A broken configuration ends the start with its traceback; its last line names the file and,
// where a value failed, the setting, which the failure itself rarely does (a JSON error gives
// line and column only). The failure stays in the traceback as the cause; a system exit or an
// interrupt goes on as it is.
[[noreturn]] void raiseNaming(py::object where, py::object cause) {
    py::object error = py::reinterpret_borrow<py::object>(PyExc_ValueError)(
        py::str("{}: {}").format(where, cause));
    error.attr("__cause__") = cause;
    velmora::raise(error);
}

[[noreturn]] void failNaming(py::object where) {
    py::object cause = velmora::currentException();
    if (!py::isinstance(cause, PyExc_Exception)) throw;
    raiseNaming(where, cause);
}

// Reads a JSON configuration file; the file is closed on every way out. A top level other than
// an object is refused: the tree would otherwise be built from whatever pairs a list happens to
// hold.
py::object readConfiguration(const py::module_ &m, py::object fileName) {
    try {
        py::object opened = velmora::openRegularFile(fileName, "r", velmora::configurationLimit);
        return velmora::within(opened, [&](py::object file) {
            py::object content = m.attr("json").attr("load")(file);
            if (!PyDict_Check(content.ptr())) velmora::raise(PyExc_TypeError, "does not hold a JSON object");
            // A tree nested too deep for the interpreter fails here, naming the file.
            return m.attr("addict").attr("Dict")(content);
        });
    } catch (py::error_already_set &) {
        failNaming(fileName);
    }
}

// The dotted name of the first section of `source` that `destination` holds as a plain value,
// where merging the two fails.
std::string conflictingSetting(py::handle source, py::handle destination) {
    for (py::handle item : source.attr("items")()) {
        py::object key = item[py::int_(0)], value = item[py::int_(1)];
        if (!PyDict_Check(value.ptr()) || py::len(value) == 0 || !destination.contains(key)) continue;
        py::object held = destination[key];
        std::string name = py::str(key).cast<std::string>();
        if (!PyDict_Check(held.ptr())) return name;
        std::string inner = conflictingSetting(value, held);
        if (!inner.empty()) return name + "." + inner;
    }
    return "";
}

// The dotted name of the first section of the defaults that `source` holds as a plain value: the
// merge takes it, and the start would fail later where a setting of that section is read, naming
// that setting instead of the one that holds the bad value.
std::string replacedSection(py::handle source, py::handle defaults) {
    for (py::handle item : source.attr("items")()) {
        py::object key = item[py::int_(0)], value = item[py::int_(1)];
        if (!defaults.contains(key)) continue;
        py::object section = defaults[key];
        if (!PyDict_Check(section.ptr()) || py::len(section) == 0) continue;
        std::string name = py::str(key).cast<std::string>();
        if (!PyDict_Check(value.ptr())) return name;
        std::string inner = replacedSection(value, section);
        if (!inner.empty()) return name + "." + inner;
    }
    return "";
}

// The file a setting's value came from: the user's file where it holds the setting, or a plain
// value in place of one of its sections; else the defaults.
py::object fileOfSetting(py::object userConfig, py::object userFile, const std::string &setting) {
    py::object section = userConfig;
    for (py::handle part : py::str(setting).attr("split")(".")) {
        if (!PyDict_Check(section.ptr())) return userFile;
        if (!section.contains(part)) return py::str("default.json");
        section = section[part];
    }
    return userFile;
}

// A window larger than the screen, or placed off it, may be more than the display server can
// make, which ends the program: both are brought inside the screen.
py::object withinScreen(py::object pair, py::object limits) {
    py::module_ builtins = velmora::builtins();
    py::list inside;
    for (int i = 0; i < 2; ++i)
        inside.append(builtins.attr("max")(0, builtins.attr("min")(pair[py::int_(i)], limits[py::int_(i)])));
    return inside;
}

bool isPair(py::handle value) {
    if (!PyList_Check(value.ptr()) && !PyTuple_Check(value.ptr())) return false;
    if (py::len(value) != 2) return false;
    for (py::handle number : value)
        if (!py::isinstance<py::int_>(number) || py::isinstance<py::bool_>(number)) return false;
    return true;
}

void keepWindowOnScreen(const py::module_ &m, py::object gui) {
    py::object size = gui["size"], position = gui["position"];
    if (!isPair(size) && !isPair(position)) return;
    py::tuple screen = m.attr("sg").attr("Window").attr("get_screen_size")();
    if (isPair(size)) gui["size"] = size = withinScreen(size, screen);
    if (!isPair(position)) return;
    py::object room = screen;
    if (isPair(size))
        room = py::make_tuple(py::object(screen[0]) - py::object(size[py::int_(0)]),
                              py::object(screen[1]) - py::object(size[py::int_(1)]));
    gui["position"] = withinScreen(position, room);
}

// Ends the start for the failure being handled, naming `setting` and the file it came from.
[[noreturn]] void failOnSetting(py::object userConfig, py::object userFile, const std::string &setting) {
    failNaming(py::str("{}: setting {}").format(fileOfSetting(userConfig, userFile, setting), setting));
}

// A step of the start that reads `setting`; its failure names the setting and its file.
template <typename Step>
auto withSetting(py::object userConfig, py::object userFile, const std::string &setting, Step &&step) {
    try {
        return step();
    } catch (py::error_already_set &) {
        failOnSetting(userConfig, userFile, setting);
    }
}

// A value of the user's file that its form field, or the code reading it, would refuse ends the start as
// a broken value does: otherwise every run or report would fail on it, and the close would save it back.
// Load Config asks the same rules. What the defaults and the program's own data files hold is the
// readers' to handle (a selection file moved aside, a cache that is none), not the start's to refuse: no
// file the user could mend holds it.
void refuseUnfit(py::object userConfig, py::object userFile, py::object defaults) {
    py::object refused = py::module_::import("fields").attr("refusedSetting")(userConfig, defaults);
    if (refused.is_none()) return;
    // Only the user's tree is checked, so the value is the user's file's. A setting whose name is no text is
    // shown by its escape, which no look-up in the file would find.
    py::object cause = py::reinterpret_borrow<py::object>(PyExc_ValueError)(refused[py::int_(1)]);
    raiseNaming(py::str("{}: setting {}").format(userFile, refused[py::int_(0)]), cause);
}

// The fields exist once the tabs have made their forms: their values are checked there, before the window
// is made. A window that still fails on a value (a form cannot show a text where it shows a number) names
// the refused setting, not the window.
py::object makeWindow(py::object manager, py::object userConfig, py::object userFile, py::object defaults) {
    bool checking = false;
    py::cpp_function checkFields([&] {
        checking = true;
        refuseUnfit(userConfig, userFile, defaults);
        checking = false;
    });
    try {
        return manager.attr("createWindow")("tabsMade"_a = checkFields);
    } catch (py::error_already_set &) {
        if (checking) throw;
        refuseUnfit(userConfig, userFile, defaults);
        failOnSetting(userConfig, userFile, "gui");
    }
}

py::object parseOptions(const py::module_ &m) {
    py::object argparse = m.attr("argparse");
    py::object parser = argparse.attr("ArgumentParser")(
        "description"_a = "Zeltra Velmora", "epilog"_a = "Copyright (c) 2025 Zeltra. All rights reserved.",
        "formatter_class"_a = argparse.attr("ArgumentDefaultsHelpFormatter"));
    parser.attr("add_argument")("--config", "default"_a = "data/config/velmora.json",
                                "help"_a = "Configuration file");
    return parser.attr("parse_args")();
}

// The settings tab's values hold the user's API key, which has no place in a log.
py::object loggedValues(py::object values) {
    if (!PyDict_Check(values.ptr()) || !values.contains("apiKey")) return values;
    py::object shown = values.attr("copy")();
    shown["apiKey"] = "***";
    return shown;
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
        velmora::debug(logger,
                       [&] { return py::str("Event:{} values:{}").format(event, loggedValues(values)); });
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

void runMain(const py::module_ &m) {
    py::object options = parseOptions(m);
    py::object Dict = m.attr("addict").attr("Dict");
    py::object userFile = options.attr("config");
    py::object defaults = readConfiguration(m, py::str("default.json"));
    py::object userConfig = readConfiguration(m, userFile);
    py::object defaultValues = py::module_::import("copy").attr("deepcopy")(defaults);
    std::string replaced = replacedSection(userConfig, defaults);
    try {
        merge(userConfig, defaults);
        if (!replaced.empty()) velmora::raise(PyExc_TypeError, "a value where settings belong");
    } catch (py::error_already_set &) {
        std::string setting = replaced.empty() ? conflictingSetting(userConfig, defaults) : replaced;
        failNaming(py::str("{}: setting {}").format(userFile, setting));
    }
    userConfig = Dict(userConfig);
    py::object config = Dict(defaults);
    config["configFile"] = userFile;
    auto setting = [&](const char *name, auto &&step) {
        return withSetting(userConfig, userFile, name, step);
    };

    py::object language = setting("gui.language", [&] {
        py::object language = config["gui"]["language"];
        m.attr("gettext")
            .attr("translation")("velmora", "locale", "fallback"_a = true,
                                 "languages"_a = velmora::list({language}))
            .attr("install")();
        return language;
    });
    // What no form shows, the window's geometry among it, the language and what the start runs are checked
    // before any tab is made, once the translation is installed (the checks' modules translate texts while
    // they load): before the logging is set up, which would tell only what its configurator met, and before
    // the locale library reads the language, which would tell only that it lacks one; the fields' own
    // values once they exist.
    refuseUnfit(userConfig, userFile, defaultValues);
    setting("logging", [&] { m.attr("logging").attr("config").attr("dictConfig")(config["logging"]); });
    setting("gui.language",
            [&] { m.attr("locale").attr("setlocale")(m.attr("locale").attr("LC_ALL"), language); });
    m.attr("sg").attr("ChangeLookAndFeel")("TanBlue");
    m.attr("logger").attr("info")(py::str("velmora ") + py::str(m.attr("version")) + py::str(" started"));

    setting("gui", [&] { keepWindowOnScreen(m, config["gui"]); });
    // Imported only now: the provider modules translate texts while they load.
    py::module_ provider = py::module_::import("provider");
    // The manager makes the data source before any tab: a name of no data source would otherwise be
    // blamed on the provider list.
    setting("data.dataProvider", [&] {
        py::module_::import("fields").attr("resolve")(config["data"]["dataProvider"],
                                                      "kind"_a = provider.attr("isRawSourceClass"));
    });
    py::object manager = setting("providers", [&] {
        return provider.attr("ProviderManager")(config["providers"], config, velmora::translate("Velmora"),
                                                config["gui"]["size"], "icon"_a = "velmora.ico",
                                                "userConfig"_a = userConfig);
    });
    py::object window = makeWindow(manager, userConfig, userFile, defaultValues);
    runEventLoop(m, manager, window);
}

}  // namespace

PYBIND11_MODULE(velmora, m) {
    importModules(m);
    m.attr("logger") = m.attr("logging").attr("getLogger")(m.attr("__file__"));
    m.attr("sys").attr("path").attr("append")(m.attr("sys").attr("executable"));
    importToolkit(m);
    m.attr("version") = py::module_::import("version").attr("version");
    m.attr("publicKey") = publicKey;
    m.def("merge", &merge, "source"_a, "destination"_a);
    velmora::function(m, "main", &runMain);
    if (py::str(m.attr("__name__")).equal(py::str("__main__"))) m.attr("main")();
}
