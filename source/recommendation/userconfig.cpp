// A part of the recommendation module: the user configuration file, saved on request and at the close,
// and Load Config with its checks and its merge over the defaults.
#include "parts.hpp"
#include "../window.hpp"

#include <initializer_list>
#include <optional>
#include <string>

namespace velmora::recommendation {

void mendPaperSize(py::handle tree) {
    if (tree.is_none() || !tree.contains("print") || !py::isinstance<py::dict>(tree["print"])) return;
    py::object print = tree["print"];
    if (!print.contains("paperSize")) return;
    py::object size = print["paperSize"];
    if ((py::isinstance<py::list>(size) || py::isinstance<py::tuple>(size)) &&
        py::list(size).equal(velmora::list({py::int_(612), py::int_(792)})))
        print["paperSize"] = velmora::list({py::int_(850), py::int_(1100)});
}

void saveOnLeaving(const py::module_ &m, py::object self, py::object window) {
    try {
        self.attr("save")(self.attr("config").attr("configFile"), window);
    } catch (...) {
        tellFailure(m, "Saving the configuration failed", "The configuration could not be saved:");
    }
}

namespace {

py::object addictDict() { return py::module_::import("addict").attr("Dict"); }

void updateMeta(py::object self) {
    py::object meta = addictDict()();
    meta["createdWith"] = velmora::translate("Zeltra Velmora");
    meta["version"] = py::module_::import("version").attr("version");
    py::str now = py::module_::import("datetime").attr("datetime").attr("now")().attr("isoformat")();
    meta["timestamp"] = now[py::slice(0, 19, 1)].attr("replace")("T", " ");
    self.attr("config")["meta"] = meta;
}

// A window manager may give back a maximised window's height and width in separate steps;
// the normal size is the one that holds still for a moment.
void waitForSteadySize(py::object window) {
    py::object time = py::module_::import("time");
    py::object root = window.attr("TKroot");
    double deadline = time.attr("monotonic")().cast<double>() + 1.0;
    py::object lastSize = window.attr("size");
    double changedAt = time.attr("monotonic")().cast<double>();
    for (double now = changedAt; now < deadline; now = time.attr("monotonic")().cast<double>()) {
        root.attr("update")();
        py::object size = window.attr("size");
        if (!size.equal(lastSize)) {
            lastSize = size;
            changedAt = now;
        } else if (now - changedAt > 0.15) {
            return;
        }
        time.attr("sleep")(0.01);
    }
}

// Reads the window's normal geometry into `gui` as far as the window can tell it.
void readGeometry(py::object window, py::object gui) {
    try {
        py::object before = window.attr("size");
        // The window manager's maximised state, which the toolkit's own restore leaves on Linux.
        velmora::normalWindow(window);
        waitForSteadySize(window);
        // Read as the provider manager reads it, in the coordinates in which windows are placed.
        gui["position"] = window.attr("CurrentLocation")("more_accurate"_a = true);
        gui["size"] = window.attr("size");
        gui["maximized"] = py::bool_(!before.equal(py::object(gui["size"])));
    } catch (py::error_already_set &) {
        // A window that can no longer report its geometry keeps what was reached.
    }
}

py::object readTree(py::object fileName) {
    py::object opened = velmora::openRegularFile(fileName, "r", velmora::configurationLimit);
    py::object document = velmora::within(opened, [](py::object file) {
        return py::module_::import("json").attr("load")(file);
    });
    // A top level other than an object would build a tree from whatever pairs a list holds.
    if (!PyDict_Check(document.ptr()))
        velmora::raise(PyExc_TypeError, py::str(py::str("{} does not hold a JSON object").format(fileName)));
    return addictDict()(document);
}

py::object deepCopy(py::handle value) { return py::module_::import("copy").attr("deepcopy")(value); }

// Which settings a load takes, what each may hold and what a save writes are the fields module's rules,
// which the start asks too.
py::object rules() { return py::module_::import("fields"); }

// Whether two names are of one file: the same real path, or, where both exist, the same file under
// another name (a hard link).
bool sameFile(py::object fileName, py::object other) {
    py::object path = py::module_::import("os").attr("path");
    try {
        return velmora::truthy(path.attr("samefile")(fileName, other));
    } catch (py::error_already_set &) {
        return path.attr("realpath")(fileName).equal(path.attr("realpath")(other));
    }
}

// The program's defaults, which every start and every load read: no save replaces them, and no load
// makes them the file in use, which the close would write.
bool isDefaultsFile(py::object fileName) { return sameFile(fileName, py::str("default.json")); }

// The settings of the file a save writes that a load would not take: the user tree's for the file in use,
// which holds them as the file held them; the file's own for another configuration file, with the running
// ones where it holds none; none (the running ones) for a new file or one that holds no configuration.
py::object heldSettings(py::object config, py::object userConfig, py::object fileName) {
    py::object inUse = config.attr("get")("configFile");
    if (!inUse.is_none() && sameFile(fileName, inUse)) return userConfig;
    try {
        return readTree(fileName);
    } catch (py::error_already_set &) {
        return py::none();
    }
}

// What a new file need not repeat of the running settings; without readable defaults it repeats them all.
py::object runningDefaults() {
    try {
        return readTree(py::str("default.json"));
    } catch (py::error_already_set &) {
        return py::dict();
    }
}

void replaceContents(py::object tree, py::handle contents) {
    tree.attr("clear")();
    tree.attr("update")(contents);
}

// The user configuration: a failed write leaves the old one, with which the program still starts.
void writeReplacing(py::object fileName, py::bytes content) {
    velmora::replaceWhenWritten(fileName, ".json", [&](py::object temporary) {
        velmora::within(velmora::builtins().attr("open")(temporary, "wb"),
                        [&](py::object file) { file.attr("write")(content); });
    });
}

// The UTF-8 bytes of `text`; none where it holds a text UTF-8 cannot hold (a lone surrogate).
std::optional<py::bytes> utf8Of(py::object text) {
    try {
        return py::bytes(text.attr("encode")("utf-8"));
    } catch (py::error_already_set &failure) {
        if (!failure.matches(PyExc_UnicodeEncodeError)) throw;
        return std::nullopt;
    }
}

// The file as the start reads it: UTF-8, of at most configurationLimit bytes. Texts are written as they
// stand, not as escapes, which take up to six times their room; a tree whose indented form would be larger
// than the start reads is written without the indentation, and one larger still is not written. A text
// UTF-8 cannot hold (a lone surrogate, which the start takes inside a list) is written as an escape.
py::bytes configurationText(py::object fileName, py::object tree) {
    py::object dumps = py::module_::import("json").attr("dumps");
    py::object compact = py::make_tuple(",", ":");
    for (bool asItStands : {true, false}) {
        for (py::object text : {dumps(tree, "indent"_a = 2, "ensure_ascii"_a = !asItStands),
                                dumps(tree, "separators"_a = compact, "ensure_ascii"_a = !asItStands)}) {
            std::optional<py::bytes> content = utf8Of(text);
            if (!content) break;
            if (py::len(*content) <= static_cast<size_t>(velmora::configurationLimit)) return *content;
        }
    }
    velmora::raise(PyExc_ValueError,
                   velmora::translate("{} would be larger than the {} bytes the program reads of a configuration "
                                      "file; it is kept as it was.")
                       .attr("format")(fileName, velmora::configurationLimit));
}

// Answers the settings written, which the user tree holds from then on.
py::object save(py::object self, py::object fileName, py::object window) {
    if (isDefaultsFile(fileName))
        velmora::raise(PyExc_ValueError,
                       velmora::translate("{} holds the program's defaults, which are never overwritten.")
                           .attr("format")(fileName));
    py::object config = self.attr("config");
    py::object userConfig = self.attr("userConfig");
    self.attr("updateMeta")();
    userConfig["meta"] = config["meta"];

    py::object gui = userConfig.attr("get")("gui");
    if (gui.is_none()) gui = addictDict()();
    readGeometry(window, gui);
    py::object node = addictDict()(py::module_::import("copy").attr("deepcopy")(gui));
    userConfig["gui"] = node;
    // Only the geometry goes to the running configuration: a setting that only the defaults
    // hold, such as the language, must stay there.
    for (const char *name : {"position", "size", "maximized"})
        if (node.contains(name)) config["gui"][name] = node[name];
    if (node.contains("maximized") && velmora::truthy(node["maximized"])) {
        try {
            velmora::maximizeWindow(window);
        } catch (py::error_already_set &) {
        }
    }

    py::set texts = py::set(py::module_::import("risk").attr("translations"));
    py::object listed = userConfig.attr("get")("translations");
    if (!listed.is_none() && py::isinstance<py::dict>(listed))
        for (py::handle text : listed) texts.add(text);
    // An axis drawn without a label records the empty text, which wants no translation.
    texts.attr("discard")(py::str(""));
    py::object translations = addictDict()();
    for (py::handle text : velmora::builtins().attr("sorted")(texts)) translations[text] = "";
    userConfig["translations"] = translations;

    py::object held = heldSettings(config, userConfig, fileName);
    // The file in use is written as the user tree holds it; any other gets the running settings it lacks.
    bool inUse = held.is(userConfig);
    py::object defaults = inUse ? py::object(py::none()) : runningDefaults();
    py::object written =
        addictDict()(rules().attr("writtenSettings")(userConfig, held, inUse ? py::none() : config, defaults));
    // Another file keeps its own settings that a load would not take, which no start and no load has checked:
    // a file the next start would refuse is not written.
    if (!inUse) {
        py::object refused = rules().attr("refusedSetting")(written, defaults);
        if (!refused.is_none())
            velmora::raise(PyExc_ValueError, py::str("{}: {}").format(fileName, refused[py::int_(1)]));
    }
    writeReplacing(fileName, configurationText(fileName, written));
    return written;
}

void saveConfig(const py::module_ &m, py::object self, py::object window) {
    py::object config = self.attr("config");
    py::object fileName = py::module_::import("provider").attr("GetFileName")(
        velmora::translate("Configuration File"), "json", "default"_a = config.attr("configFile"),
        "save"_a = true);
    if (!velmora::truthy(fileName)) return;
    try {
        py::object written = self.attr("save")(fileName, window);
        config["configFile"] = fileName;
        // The file, now in use, keeps its own settings at the close.
        replaceContents(self.attr("userConfig"), written);
    } catch (py::error_already_set &) {
        tellFailure(m, "Save Config", "Error saving config file");
    }
}

// Answers whether a file was loaded. The new trees are made whole before either running tree
// changes, and the running ones come back when the loaded settings cannot be applied: a failed load
// changes nothing.
bool loadConfig(py::object self) {
    py::object config = self.attr("config");
    py::object userConfig = self.attr("userConfig");
    py::object fileName = py::module_::import("provider").attr("GetFileName")(
        velmora::translate("Configuration File"), "json", "default"_a = config.attr("configFile"));
    if (!velmora::truthy(fileName)) return false;
    py::object loaded = readTree(fileName);
    py::dict taken = rules().attr("loadedPart")(loaded);
    // Another program's file would otherwise put every setting back to its default and become the
    // file the settings are written to at the close.
    if (taken.empty())
        velmora::raise(PyExc_ValueError,
                       velmora::translate("{} holds none of the settings of a configuration file.")
                           .attr("format")(fileName));
    py::object defaults = readTree(py::str("default.json"));
    // Refused as the start refuses it, by the start's check of the whole file: a value that no form would
    // take, or of another kind than the defaults hold, would fail later where it is read: every run, every
    // report, or the window's rebuild. The settings a load does not take stay with the file in use, which
    // the close writes back and the next start reads. A data source is taken only as one the settings tab
    // offers.
    py::object refused = rules().attr("refusedLoad")(loaded, defaults);
    if (!refused.is_none())
        velmora::raise(PyExc_ValueError, py::str("{}: {}").format(fileName, refused[py::int_(1)]));
    mendPaperSize(taken);
    rules().attr("writeDatesInFull")(taken);
    py::object newConfig = deepCopy(defaults);
    rules().attr("keepUnloaded")(config, newConfig);
    py::module_::import("velmora").attr("merge")(deepCopy(taken), newConfig);
    // A loaded file becomes the file in use and keeps, at the close, its own values of the settings that
    // stay running; the defaults never become it, and the file in use keeps its own.
    bool defaultsLoaded = isDefaultsFile(fileName);
    py::object newUser = deepCopy(taken);
    py::object own = defaultsLoaded ? userConfig : loaded;
    rules().attr("keepUnloaded")(own, newUser);
    newUser = rules().attr("inOrderOf")(newUser, own);
    if (!defaultsLoaded) newConfig["configFile"] = fileName;

    py::object builtinDict = velmora::builtins().attr("dict");
    py::object runningConfig = builtinDict(config), runningUser = builtinDict(userConfig);
    replaceContents(userConfig, addictDict()(newUser));
    replaceContents(config, addictDict()(newConfig));
    // The loaded data settings (key, currency, period) take effect as a changed setting does.
    py::object manager = self.attr("providerManager");
    if (manager.is_none()) return true;
    setLoading(self, true);
    try {
        manager.attr("reconfigure")(config);
    } catch (...) {
        replaceContents(userConfig, runningUser);
        replaceContents(config, runningConfig);
        try {
            manager.attr("reconfigure")(config);
        } catch (py::error_already_set &) {
            // The first failure is the one to tell.
        }
        setLoading(self, false);
        throw;
    }
    setLoading(self, false);
    return true;
}

}  // namespace

void defineUserConfiguration(py::module_ &m, py::object cls) {
    const py::module_ &module = m;
    velmora::method(cls, "updateMeta", &updateMeta);
    velmora::method(cls, "loadConfig", &loadConfig);
    velmora::method(cls, "saveConfig", module, &saveConfig, "window"_a);
    velmora::method(cls, "save", &save, "fileName"_a, "window"_a);
}

}  // namespace velmora::recommendation
