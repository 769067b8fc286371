// The provider framework: the shared value store with dependency-driven recompute, tab providers,
// and the manager that owns the providers and the main window.
#include "pyclass.hpp"
#include "window.hpp"

#include <string>
#include <vector>

namespace {

// A provider without a key of its own must not make the debug messages fail, or the
// store would work only while debug logging is off.
std::string keyOf(py::handle provider) { return velmora::reprOf(py::getattr(provider, "key", py::none())); }

// ---------------------------------------------------------------------------------------
// Provider: the value store and recompute

// The providers whose recompute is running, outermost first. A provider met again on
// this path depends on itself through others, and the walk would never end. Borrowed
// pointers suffice: every entry is alive in a frame below.
std::vector<PyObject *> &walk() {
    static std::vector<PyObject *> providers;
    return providers;
}

struct WalkStep {
    explicit WalkStep(PyObject *provider) { walk().push_back(provider); }
    ~WalkStep() { walk().pop_back(); }
    WalkStep(const WalkStep &) = delete;
    WalkStep &operator=(const WalkStep &) = delete;
};

void refuseCycle(py::handle provider) {
    auto &path = walk();
    std::size_t first = 0;
    while (path[first] != provider.ptr()) ++first;
    std::string chain;
    for (std::size_t i = first; i < path.size(); ++i) chain += keyOf(path[i]) + " -> ";
    velmora::raise(PyExc_RuntimeError, "dependency cycle between providers: " + chain + keyOf(provider));
}

void publish(const py::module_ &m, py::object self, py::object key, py::object value) {
    py::object provider = m.attr("Provider");
    provider.attr("generation") = py::object(provider.attr("generation")) + py::int_(1);
    provider.attr("values")[key] = value;
    provider.attr("origin")[key] = self;
    // A provider that publishes in its constructor still counts as never computed.
    if (py::object(self.attr("lastGeneration")) >= py::int_(0)) {
        self.attr("lastGeneration") = provider.attr("generation");
        velmora::debug(m.attr("logger"), [&] {
            return "setting key=" + velmora::reprOf(key) + " lastGeneration self.key=" + keyOf(self) +
                   " self.lastGeneration=" + velmora::reprOf(self.attr("lastGeneration"));
        });
    }
}

py::object read(const py::module_ &m, py::object self, py::object key) {
    py::object provider = m.attr("Provider");
    py::object writer = provider.attr("origin")[key];
    if (!writer.is(self)) {
        velmora::debug(m.attr("logger"), [&] {
            return "self.key=" + keyOf(self) + " depends on Provider.origin[key]=" + velmora::reprOf(writer);
        });
        self.attr("dependingOn").attr("add")(writer);
    }
    return provider.attr("values")[key];
}

py::object recompute(const py::module_ &m, py::object self) {
    for (PyObject *running : walk())
        if (running == self.ptr()) refuseCycle(self);
    WalkStep step(self.ptr());
    py::object logger = m.attr("logger");
    velmora::debug(logger, [&] { return "Starting recompute self.key=" + keyOf(self); });
    py::object newest = py::int_(0);
    for (py::handle dependency : py::list(self.attr("dependingOn"))) {
        velmora::debug(logger, [&] {
            return "Dependency provider:self.key=" + keyOf(self) + " depending on thisProvider.key=" +
                   keyOf(dependency);
        });
        py::object generation = dependency.attr("recompute")();
        if (generation > newest) newest = generation;
    }
    velmora::debug(logger, [&] {
        return "Check recompute self.key=" + keyOf(self) +
               " self.lastGeneration=" + velmora::reprOf(self.attr("lastGeneration")) +
               " maxGeneration:maxGeneration=" + velmora::reprOf(newest);
    });
    if (py::object(self.attr("lastGeneration")) < newest) {
        velmora::debug(logger, [&] { return "compute self.key=" + keyOf(self); });
        // A failed compute that had written a value would otherwise count as done: its
        // write moved lastGeneration, and the next recompute would not try again.
        py::object before = self.attr("lastGeneration");
        try {
            self.attr("compute")();
        } catch (...) {
            self.attr("lastGeneration") = before;
            throw;
        }
        self.attr("lastGeneration") = m.attr("Provider").attr("generation");
    }
    return self.attr("lastGeneration");
}

// ---------------------------------------------------------------------------------------
// Provider: progress reporting

// The scope that `start` returns: it opens the progress run on entry and closes the
// meter however the body is left, so that no meter outlives its computation.
py::object defineProgressScope(const py::module_ &m) {
    py::object scope = velmora::newClass(m, "ProgressScope");
    velmora::constructor(scope, [](py::object self, py::object provider, py::object maxValue) {
        self.attr("provider") = provider;
        self.attr("maxValue") = maxValue;
    }, "provider"_a, "maxValue"_a);
    velmora::method(scope, "__enter__", [](py::object self) {
        py::object provider = self.attr("provider");
        provider.attr("maxValue") = self.attr("maxValue");
        provider.attr("addValue") = 0;
        provider.attr("lastProgressUpdate") = 0;
        provider.attr("progressCancelled") = false;
        provider.attr("update")(0);
        return py::none();
    });
    velmora::method(scope, "__exit__", [](py::object self, py::object type, py::object value,
                                          py::object traceback) {
        py::module_::import("PySimpleGUI").attr("OneLineProgressMeterCancel")();
        return false;
    }, "type"_a, "value"_a, "traceback"_a);
    return scope;
}

// The widget of the main window that holds the keyboard focus, or none.
py::object focusedWidget(const py::module_ &m) {
    py::object window = py::getattr(m.attr("ProviderManager"), "MainWindow", py::none());
    if (window.is_none()) return py::none();
    try {
        return window.attr("TKroot").attr("focus_get")();
    } catch (py::error_already_set &) {
        return py::none();  // a closed window, or a widget the toolkit cannot name
    }
}

// Answers whether the widget could take the focus back: its window may have closed meanwhile.
bool giveBackFocus(py::object focused) {
    try {
        focused.attr("focus_force")();
        return true;
    } catch (py::error_already_set &) {
        return false;
    }
}

// The window manager gives the keyboard focus to the meter as it opens, and the meter handles its
// events while it opens: the keys the user goes on typing while a computation runs would reach a
// window without an input and be lost. The focus goes back to the widget that held it, and a key that
// reached the meter meanwhile is passed on to it; its events are handled once the computation is done.
// The bindings are those of every window, made before the meter exists, and act on the meter only; a
// meter opened later replaces them. The meter is known by its window class, which is its title: while it
// opens, and handles its first events, it is not yet among the active meters.
void keepKeyboardFocus(py::object title, py::object focused) {
    auto onMeter = [title, focused](py::object event) {
        try {
            return py::str(focused.attr("tk").attr("call")("winfo", "class", py::str(event.attr("widget"))))
                .equal(title);
        } catch (py::error_already_set &) {
            return false;  // a window gone before its event was handled
        }
    };
    focused.attr("bind_all")("<FocusIn>", py::cpp_function([onMeter, focused](py::object event) {
        if (onMeter(event)) giveBackFocus(focused);
    }));
    focused.attr("bind_all")("<KeyPress>", py::cpp_function([onMeter, focused](py::object event) {
        if (onMeter(event) && giveBackFocus(focused))
            focused.attr("event_generate")("<KeyPress>", "keysym"_a = event.attr("keysym"));
    }));
}

// Opens or redraws the meter; answers whether the work may go on.
py::object drawMeter(const py::module_ &m, py::object self, py::object current) {
    py::object meters = py::module_::import("progress").attr("QuickMeter").attr("active_meters");
    py::object key = py::str("OK for 1 meter");
    bool opening = !meters.contains(key);
    py::object focused = opening ? focusedWidget(m) : py::none();
    if (!focused.is_none()) keepKeyboardFocus(self.attr("working"), focused);
    py::object result = py::module_::import("progress").attr("OneLineProgressMeter")(
        "title"_a = self.attr("working"), "current_value"_a = current, "max_value"_a = self.attr("maxValue"),
        "location"_a = m.attr("ProviderManager").attr("popupLocation")(), "keep_on_top"_a = true);
    if (!focused.is_none() && meters.contains(key)) giveBackFocus(focused);
    return result;
}

py::object update(const py::module_ &m, py::object self, py::object curVal, py::object maxValue,
                  py::object addValue) {
    py::object result = py::bool_(true);
    if (!maxValue.is_none()) self.attr("maxValue") = maxValue;
    if (!addValue.is_none()) self.attr("addValue") = py::object(self.attr("addValue")) + addValue;
    // The user's Cancel holds for the rest of the run: a later redraw would open a new
    // meter and answer go on.
    if (velmora::truthy(py::getattr(self, "progressCancelled", py::bool_(false)))) return py::bool_(false);
    if (curVal.is_none()) return result;
    if (!(py::object(self.attr("maxValue")) > py::int_(0))) return result;
    py::object now = py::module_::import("time").attr("time")();
    py::object period = self.attr("config")["progress"]["progressPeriod"];
    if (now - py::object(self.attr("lastProgressUpdate")) > period) {
        self.attr("lastProgressUpdate") = now;
        result = drawMeter(m, self, curVal + py::object(self.attr("addValue")));
        if (!velmora::truthy(result)) self.attr("progressCancelled") = true;
    }
    return result;
}

void defineProvider(py::module_ &m) {
    py::object provider = velmora::makeClass(m, "Provider");
    provider.attr("values") = py::dict();
    provider.attr("origin") = py::dict();
    provider.attr("generation") = 0;
    provider.attr("working") = velmora::translate("Computing");
    py::object progressScope = defineProgressScope(m);

    velmora::constructor(provider, [](py::object self, py::object config, py::object providerManager,
                                      py::object userConfigParm) {
        self.attr("dependingOn") = py::set();
        self.attr("lastGeneration") = -1;
        self.attr("config") = config;
        // The user's Cancel of the last progress run, which a computation and its owner read.
        self.attr("progressCancelled") = false;
    }, "config"_a, "providerManager"_a = py::none(), "userConfigParm"_a = py::none());
    velmora::method(provider, "reconfigure", [](py::object self, py::object config, py::kwargs kwargs) {},
                    "config"_a);
    velmora::method(provider, "start", [progressScope](py::object self, py::object maxValue) {
        return progressScope(self, maxValue);
    }, "maxValue"_a);
    velmora::method(provider, "update", m, &update, "curVal"_a = py::none(), "maxValue"_a = py::none(),
                    "addValue"_a = py::none());
    velmora::method(provider, "__setitem__", m, &publish, "key"_a, "value"_a);
    velmora::method(provider, "__getitem__", m, &read, "key"_a);
    velmora::method(provider, "recompute", m, &recompute);
    velmora::method(provider, "handleEvent", [](py::object self, py::object window, py::object event,
                                               py::object values) { return false; },
                    "window"_a, "event"_a, "values"_a);
    velmora::method(provider, "compute", [](py::object self) {});
    velmora::method(provider, "createTab", [](py::object self, py::kwargs kwargs) { return py::list(); });
    velmora::method(provider, "updateUI", [](py::object self, py::object window) { return false; },
                    "window"_a);
    velmora::method(provider, "bind", [](py::object self, py::object window) {}, "window"_a);
}

// ---------------------------------------------------------------------------------------
// TabProvider

py::list createTab(const py::module_ &m, py::object self, py::kwargs kwargs) {
    self.attr("uiGeneration") = m.attr("Provider").attr("generation");
    py::object tab = py::module_::import("PySimpleGUI")
                         .attr("Tab")(self.attr("title"), self.attr("layout"), "key"_a = self.attr("key"),
                                      "expand_x"_a = true);
    return velmora::list({velmora::list({tab})});
}

py::object refreshTab(const py::module_ &m, py::object self, py::object window, py::object event,
                      py::object values) {
    py::object result = py::bool_(false);
    if (!event.equal(py::str("mainTab")) || values.is_none() || !values.contains("mainTab")) return result;
    if (!py::object(values["mainTab"]).equal(py::object(self.attr("key")))) return result;
    py::object generation = self.attr("recompute")();
    if (generation > py::object(self.attr("uiGeneration"))) {
        result = self.attr("updateUI")(window);
        if (!velmora::truthy(result)) self.attr("uiGeneration") = m.attr("Provider").attr("generation");
    }
    return result;
}

void defineTabProvider(py::module_ &m) {
    py::object tabProvider = velmora::makeClass(m, "TabProvider", py::make_tuple(m.attr("Provider")));
    tabProvider.attr("layout") = py::list();
    velmora::method(tabProvider, "createTab", m, &createTab);
    velmora::method(tabProvider, "updateUI", [](py::object self, py::object window) { return false; },
                    "window"_a);
    velmora::method(tabProvider, "handleEvent", m, &refreshTab, "window"_a, "event"_a, "values"_a);
}

// ---------------------------------------------------------------------------------------
// Popup placement and the file dialog

// Positions are read as the toolkit's geometry reports them, the same coordinates in which
// windows are placed; the window manager's view (winfo) is offset by the decorations,
// which would make every re-created window creep down and to the right.
py::object locationOf(py::handle window) { return window.attr("CurrentLocation")("more_accurate"_a = true); }

py::object popupLocation(const py::module_ &m) {
    py::object location = locationOf(m.attr("ProviderManager").attr("MainWindow"));
    return py::make_tuple(py::object(location[py::int_(0)]) + py::int_(300),
                          py::object(location[py::int_(1)]) + py::int_(300));
}

// The dialog remembers the last folder it showed and would take a relative proposal from there, so
// the proposal is split into its absolute folder and its name. The dialog appends the default
// extension as given: it needs its point.
py::object getFileName(const py::module_ &m, py::object title, py::object extension, py::object defaultPath,
                       py::object save) {
    py::object location = m.attr("ProviderManager").attr("popupLocation")();
    py::object description = extension + py::str(" ") + velmora::translate("File");
    py::tuple fileType = py::make_tuple(description, py::str("*.") + extension);
    py::object path = py::module_::import("os").attr("path");
    py::object proposed = velmora::truthy(defaultPath) ? path.attr("abspath")(defaultPath)
                                                       : path.attr("join")(path.attr("abspath")(""), "");
    return py::module_::import("PySimpleGUI")
        .attr("PopupGetFile")(title, "title"_a = title, "default_extension"_a = py::str(".") + extension,
                              "save_as"_a = save, "no_window"_a = true,
                              "initial_folder"_a = path.attr("dirname")(proposed),
                              "default_path"_a = path.attr("basename")(proposed),
                              "file_types"_a = py::make_tuple(fileType), "keep_on_top"_a = true,
                              "location"_a = location);
}

// ---------------------------------------------------------------------------------------
// ProviderManager: construction and reconfiguration

// Whatever `data.dataProvider` names gets called, and the name comes from configuration
// files that users load and share: only a class that offers the raw market-data source's
// operations is accepted.
bool isRawSourceClass(py::handle candidate) {
    for (const char *operation : {"get", "queryStocks"})
        if (!py::hasattr(candidate, operation) || !PyCallable_Check(candidate.attr(operation).ptr()))
            return false;
    return true;
}

py::object buildDataSource(py::object config) {
    py::object data = config["data"];
    py::object rawClass = py::module_::import("fields").attr("resolve")(
        data["dataProvider"], "kind"_a = py::cpp_function(&isRawSourceClass),
        "setting"_a = "data.dataProvider");
    return py::module_::import("pdatasource")
        .attr("CachedDataSource")("config"_a = config, "fileName"_a = data["cacheName"],
                                  "rawProvider"_a = rawClass(data["apiKey"]));
}

// The provider list, like `data.dataProvider`, comes from configuration files that users load and
// share, and what it names gets called: only a class derived from `Provider` is accepted. Its module
// is imported first, since a provider may live in a module of its own beside the program.
py::object providerClass(const py::module_ &m, py::handle name) {
    if (py::isinstance<py::str>(name)) {
        py::list parts = name.attr("rsplit")(".", 1);
        if (py::len(parts) == 2) py::module_::import("importlib").attr("import_module")(parts[0]);
    }
    return py::module_::import("fields").attr("resolve")(name, "kind"_a = m.attr("Provider"));
}

void constructManager(const py::module_ &m, py::object self, py::object providerList, py::object config,
                      py::object title, py::object size, py::object icon, py::object userConfig) {
    if (!py::isinstance<py::str>(title))
        velmora::raise(PyExc_TypeError, "title must be a text, not " + velmora::reprOf(title));
    py::dict state("title"_a = title, "size"_a = size, "icon"_a = icon, "config"_a = config,
                   "userConfig"_a = userConfig, "providerList"_a = py::list(), "window"_a = py::none());
    for (auto [name, value] : state) py::setattr(self, name, value);
    py::object dataSource = buildDataSource(config);
    for (py::handle name : providerList) {
        velmora::debug(m.attr("logger"), [&] { return "Loading " + py::str(name).cast<std::string>(); });
        py::object provider =
            providerClass(m, name)(config, "providerManager"_a = self, "userConfigParm"_a = userConfig);
        provider.attr("reconfigure")(config, "dataSource"_a = dataSource);
        self.attr("providerList").attr("append")(provider);
    }
}

void reconfigureManager(const py::module_ &m, py::object self, py::object config) {
    self.attr("config") = config;
    py::object provider = m.attr("Provider");
    provider.attr("generation") = py::object(provider.attr("generation")) + py::int_(1);
    py::object dataSource = buildDataSource(config);
    py::list providers = self.attr("providerList");
    for (py::handle each : providers) each.attr("reconfigure")(config, "dataSource"_a = dataSource);
    for (py::handle each : providers) each.attr("recompute")();
}

// ---------------------------------------------------------------------------------------
// ProviderManager: main window and event dispatch

// Tk on X11 reads no .ico file and would fall back to the toolkit's own icon: there the
// window gets the icon's largest image as PNG data instead.
py::object windowIcon(py::object icon) {
    py::object sg = py::module_::import("PySimpleGUI");
    if (!sg.attr("running_linux")().cast<bool>() || !py::isinstance<py::str>(icon) ||
        !icon.attr("lower")().attr("endswith")(".ico").cast<bool>())
        return icon;
    try {
        py::object png = py::module_::import("io").attr("BytesIO")();
        py::module_::import("PIL.Image").attr("open")(icon).attr("save")(png, "format"_a = "PNG");
        return py::module_::import("base64").attr("b64encode")(png.attr("getvalue")());
    } catch (py::error_already_set &) {
        return icon;  // a missing or broken file: the toolkit's own fallback applies
    }
}

// `tabsMade`, where given, is called once every tab has made its form and before the window is made:
// the start checks the fields' settings there, so that a refused value never shows a window first.
py::object createWindow(const py::module_ &m, py::object self, py::object tabsMade) {
    py::object sg = py::module_::import("PySimpleGUI");
    py::object gui = self.attr("config")["gui"];
    py::object language = gui["language"];
    py::module_::import("gettext")
        .attr("translation")("velmora", "locale", "fallback"_a = true,
                             "languages"_a = velmora::list({language}))
        .attr("install")();
    py::object locale = py::module_::import("locale");
    locale.attr("setlocale")(locale.attr("LC_ALL"), language);
    py::list tabs;
    for (py::handle provider : py::list(self.attr("providerList")))
        for (py::handle row : provider.attr("createTab")()) tabs.append(row);
    if (!tabsMade.is_none()) tabsMade();
    py::object group = sg.attr("TabGroup")(tabs, "enable_events"_a = true, "key"_a = "mainTab",
                                           "expand_x"_a = true, "expand_y"_a = true);
    py::list layout = velmora::list({velmora::list({group})});
    // A configuration that holds no usable position (none saved, or null in a user's file)
    // leaves the placement to the window manager rather than failing the start.
    py::object position = gui["position"];
    if (!velmora::truthy(position)) position = py::make_tuple(py::none(), py::none());
    py::object icon = windowIcon(self.attr("icon"));
    py::object window = sg.attr("Window")(self.attr("title"), layout, "icon"_a = icon,
                                          "size"_a = self.attr("size"), "resizable"_a = true,
                                          "enable_close_attempted_event"_a = true,
                                          "return_keyboard_events"_a = true, "location"_a = position);
    self.attr("window") = window;
    m.attr("ProviderManager").attr("MainWindow") = window;
    window.attr("finalize")();
    if (velmora::truthy(gui["maximized"])) velmora::maximizeWindow(window);
    sg.attr("OneLineProgressMeterCancel")();
    for (py::handle provider : py::list(self.attr("providerList"))) provider.attr("bind")(window);
    // The language this window speaks: the one to go back to when a later window cannot
    // be made in a newly chosen language.
    self.attr("windowLanguage") = language;
    return window;
}

void setTitle(py::object self, py::object selectionName, py::object selectionTitle) {
    // A selection without a title of its own shows none, rather than the word None.
    py::object shownTitle = selectionTitle.is_none() ? py::str("") : py::str(selectionTitle);
    py::object title = velmora::translate("Zeltra Velmora") + py::str(" - ") + py::str(selectionName) +
                       py::str("- ") + shownTitle;
    self.attr("title") = title;
    py::object window = self.attr("window");
    if (!window.is_none()) window.attr("set_title")(title);
}

bool isHelpEvent(py::handle event) {
    for (const char *help : {"HelpSelection", "HelpRecommendation", "HelpConfig"})
        if (py::reinterpret_borrow<py::object>(event).equal(py::str(help))) return true;
    return false;
}

void openUserGuide(py::object self) {
    py::object language = py::str(self.attr("config")["gui"]["language"]);
    py::object path = py::module_::import("os").attr("path").attr("abspath")(
        py::str("userguide/") + language[py::slice(0, 2, 1)] + py::str("/site/index.html"));
    py::module_::import("webbrowser").attr("open")(path);
}

// A re-creation that failed has closed the old window already: the user gets a new one
// in the language the old one spoke. Called while the failure is being handled; without
// a window made before, there is no language to go back to and the failure goes on.
py::object fallbackWindow(py::object self, py::handle closed) {
    py::object previous = py::getattr(self, "windowLanguage", py::none());
    if (previous.is_none()) throw;
    py::object halfMade = self.attr("window");
    if (!halfMade.is_none() && !halfMade.is(closed)) {
        try {
            halfMade.attr("close")();
        } catch (py::error_already_set &) {
        }
    }
    self.attr("config")["gui"]["language"] = previous;
    py::object userConfig = self.attr("userConfig");
    if (!userConfig.is_none() && userConfig.contains("gui") && userConfig["gui"].contains("language"))
        userConfig["gui"]["language"] = previous;
    return self.attr("createWindow")();
}

py::object recreateWindow(const py::module_ &m, py::object self, py::object window, py::object values) {
    py::object realSize = window.attr("size");
    py::object realPos = locationOf(window);
    velmora::normalWindow(window);
    py::object curPos = locationOf(window);
    py::object curSize = window.attr("size");
    velmora::debug(m.attr("logger"), [&] {
        auto shown = [](py::handle pair) { return py::str(pair).cast<std::string>(); };
        return "realPos=" + shown(realPos) + " realSize=" + shown(realSize) + " curPos=" + shown(curPos) +
               " curSize=" + shown(curSize);
    });
    window.attr("close")();
    py::object newWindow;
    py::object failure;
    const char *told = nullptr;
    try {
        newWindow = self.attr("createWindow")();
    } catch (...) {
        velmora::logFailure(m, "The window could not be rebuilt");
        failure = velmora::currentException();
        // Only the language is put back; a failure of another cause is told as it stands.
        py::object language = self.attr("config")["gui"]["language"];
        bool newLanguage = !language.equal(py::getattr(self, "windowLanguage", language));
        told = newLanguage
                   ? "The window could not be rebuilt with the new settings; the language stays as it was."
                   : "The window could not be rebuilt with the new settings:";
        newWindow = fallbackWindow(self, window);
    }
    newWindow.attr("Move")(curPos[py::int_(0)], curPos[py::int_(1)]);
    newWindow.attr("size") = curSize;
    if (!realSize.equal(curSize)) velmora::maximizeWindow(newWindow);
    newWindow[values["mainTab"]].attr("select")();
    if (told) velmora::showError(velmora::translate(told), failure);
    return newWindow;
}

py::object handleEvent(const py::module_ &m, py::object self, py::object window, py::object event,
                       py::object values) {
    // A nested dispatch (the field framework's "UpdateConfig") may re-create the window
    // under this one; from then on only the manager's new window is alive.
    py::object entryWindow = self.attr("window");
    auto liveWindow = [&]() -> py::object {
        py::object held = self.attr("window");
        return held.is(entryWindow) ? window : held;
    };
    try {
        if (isHelpEvent(event)) {
            openUserGuide(self);
            return window;
        }
        // Closing and installing an update are the last chance for every provider to save
        // what it owns: one provider's failure must not cost the others their save.
        py::object closeAttempt = py::module_::import("PySimpleGUI").attr("WIN_CLOSE_ATTEMPTED_EVENT");
        bool lastChance = event.equal(closeAttempt) || event.equal(py::str("UpdateSoftware"));
        py::object answer = py::bool_(false);
        for (py::handle provider : py::list(self.attr("providerList"))) {
            try {
                answer = answer | provider.attr("handleEvent")(liveWindow(), event, values);
            } catch (py::error_already_set &) {
                if (!lastChance) throw;
                velmora::logFailure(m, "Test");
            }
        }
        if (!velmora::truthy(answer)) return liveWindow();
        return recreateWindow(m, self, liveWindow(), values);
    } catch (...) {
        velmora::logFailure(m, "Test");
        return liveWindow();
    }
}

void defineProviderManager(py::module_ &m) {
    py::object manager = velmora::makeClass(m, "ProviderManager");
    velmora::constructor(manager, m, &constructManager, "providerList"_a, "config"_a, "title"_a, "size"_a,
                         "icon"_a = py::none(), "userConfig"_a = py::none());
    velmora::method(manager, "reconfigure", m, &reconfigureManager, "config"_a);
    velmora::method(manager, "createWindow", m, &createWindow, "tabsMade"_a = py::none());
    velmora::method(manager, "setTitle", &setTitle, "selectionName"_a, "selectionTitle"_a = py::none());
    velmora::method(manager, "handleEvent", m, &handleEvent, "window"_a, "event"_a, "values"_a);
    velmora::staticMethod(manager, "popupLocation", m, &popupLocation);
}

}  // namespace

PYBIND11_MODULE(provider, m) {
    m.attr("logging") = py::module_::import("logging");
    m.attr("logger") = m.attr("logging").attr("getLogger")(m.attr("__file__"));
    defineProvider(m);
    defineTabProvider(m);
    defineProviderManager(m);
    m.def("isRawSourceClass", &isRawSourceClass, "candidate"_a);
    velmora::function(m, "GetFileName", &getFileName, "title"_a, "extension"_a, "default"_a = "",
                      "save"_a = false);
}
