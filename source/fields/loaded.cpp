// A part of the fields module: the rules of the configuration files, which the start, Load Config, Save
// Config and the close all ask here: the checks of values that come from a file rather than the keyboard,
// each as the field that shows the value checks typed text, what the settings no form shows need, which
// settings a load takes, and what a save writes to which file.
#include "parts.hpp"

#include <initializer_list>
#include <string>

namespace velmora::fields {

py::object settingAt(py::handle tree, py::handle path) {
    py::object value = py::reinterpret_borrow<py::object>(tree);
    for (py::handle part : py::str(path).attr("split")(".")) value = value[part];
    return value;
}

// glom is imported here rather than at the start: reading a setting needs no path library.
void assignSetting(py::handle tree, py::handle path, py::handle value) {
    py::module_::import("glom").attr("assign")(tree, path, value);
}

namespace {

// A text naming a day year-month-day, as the calendar writes it; the empty text where blank is allowed.
bool isDateText(py::handle value, bool allowBlank) {
    if (!py::isinstance<py::str>(value)) return false;
    if (allowBlank && py::len(value) == 0) return true;
    try {
        py::module_::import("datetime").attr("datetime").attr("strptime")(value, "%Y-%m-%d");
        return true;
    } catch (py::error_already_set &) {
        return false;
    }
}

py::object dateRefusal(py::object self, py::object value) {
    bool allowBlank = velmora::truthy(self.attr("allowBlank"));
    if (isDateText(value, allowBlank)) return py::none();
    return velmora::translate(allowBlank ? "a date written year-month-day, or empty"
                                         : "a date written year-month-day");
}

// A text that can be shown and written: JSON's escapes may give half of a surrogate pair, which
// no window and no UTF-8 file takes.
bool isWholeText(py::handle value) {
    if (!py::isinstance<py::str>(value)) return false;
    try {
        value.attr("encode")("utf-8");
        return true;
    } catch (py::error_already_set &) {
        return false;
    }
}

// A text no longer than the field takes.
py::object textRefusal(py::object self, py::object value) {
    py::object maxLen = self.attr("maxLen");
    if (isWholeText(value) && py::int_(py::len(value)) <= maxLen) return py::none();
    return velmora::translate("a text of at most {} characters").attr("format")(maxLen);
}

// A number as a file may hold it: a truth value is none, and neither are "nan" and "inf", which
// JSON readers take and which pass every comparison with a bound. A whole number is finite however
// long, and too long for the test of a float.
bool isNumber(py::handle value) {
    if (PyBool_Check(value.ptr())) return false;
    if (PyLong_Check(value.ptr())) return true;
    return PyFloat_Check(value.ptr()) && velmora::truthy(py::module_::import("math").attr("isfinite")(value));
}

bool isWholeNumber(py::handle value) {
    return isNumber(value) && (PyLong_Check(value.ptr()) || velmora::truthy(value.attr("is_integer")()));
}

// The numbers the field takes, in the user's words: its kind and its bounds.
py::object numberRange(py::handle self) {
    py::object kind = velmora::translate(velmora::truthy(self.attr("isInt")) ? "a whole number" : "a number");
    py::object minValue = self.attr("minValue");
    py::object maxValue = self.attr("maxValue");
    if (!minValue.is_none() && !maxValue.is_none())
        return velmora::translate("{} from {} to {}").attr("format")(kind, minValue, maxValue);
    if (!minValue.is_none()) return velmora::translate("{} of at least {}").attr("format")(kind, minValue);
    if (!maxValue.is_none()) return velmora::translate("{} of at most {}").attr("format")(kind, maxValue);
    return kind;
}

py::object numberRefusal(py::object self, py::object value) {
    bool fits = velmora::truthy(self.attr("isInt")) ? isWholeNumber(value) : isNumber(value);
    if (fits && withinBounds(self, value)) return py::none();
    return numberRange(self);
}

// One of the texts a drop-down stores, named as the drop-down shows them (`shown`, in the same order): the
// user picks a data source or a language by its name in the form, never by the name the file holds.
py::object choiceRefusal(py::handle value, py::list choices, py::list shown) {
    if (py::isinstance<py::str>(value) && choices.contains(value)) return py::none();
    py::list quoted;
    for (py::handle choice : shown) quoted.append(py::repr(py::str(choice)));
    return velmora::translate("one of {}").attr("format")(py::str(", ").attr("join")(quoted));
}

bool isDayCount(py::handle value) { return PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr()); }

// A drop-down of texts offers every value its readers know; one of day counts offers a few periods of
// a range that a file may hold any whole day of (a run takes 1095 days as well as 1826). Other choices
// (the paper sizes) are checked by what their readers need.
py::object selectionRefusal(py::object self, py::object value) {
    py::list choices(self.attr("options"));
    bool texts = true, days = true;
    for (py::handle choice : choices) {
        texts = texts && py::isinstance<py::str>(choice);
        days = days && isDayCount(choice);
    }
    if (py::len(choices) == 0 || !(texts || days)) return py::none();
    if (texts) return choiceRefusal(value, choices, py::list(self.attr("dspOptions")));
    py::object longest = velmora::builtins().attr("max")(choices);
    if (isDayCount(value) && value > py::int_(0) && !(value > longest)) return py::none();
    return velmora::translate("a whole number of days from 1 to {}").attr("format")(longest);
}

// The value at a dotted path of `tree`; null when the tree holds none there.
py::object valueAt(py::handle tree, py::handle path) {
    py::object value = py::reinterpret_borrow<py::object>(tree);
    for (py::handle part : py::str(path).attr("split")(".")) {
        if (!PyDict_Check(value.ptr()) || !value.contains(part)) return py::object();
        value = value[part];
    }
    return value;
}

bool isPositiveNumber(py::handle value) { return isNumber(value) && value > py::int_(0); }

// A side of a page in hundredths of an inch, as a printer takes it: 1 to 100 inches.
bool isPaperSide(py::handle value) {
    return isNumber(value) && !(value < py::int_(100)) && !(value > py::int_(10000));
}

// The form in which the data provider reads the end of the analysis period.
bool isDateOrEmpty(py::handle value) { return isDateText(value, true); }

// A file the program reads and writes again: a regular one, or one not made yet in a folder that
// exists, where the save can make it. A folder, a device or a pipe would be read without end or replaced
// by the save.
bool isOwnFileName(py::handle value) {
    if (!isWholeText(value) || py::len(value) == 0) return false;
    py::module_ os = py::module_::import("os");
    py::object path = os.attr("path");
    try {
        os.attr("stat")(value);
    } catch (py::error_already_set &failure) {
        // A link that leads nowhere is made where it leads.
        return failure.matches(PyExc_FileNotFoundError) &&
               velmora::truthy(path.attr("isdir")(path.attr("dirname")(path.attr("realpath")(value))));
    }
    return velmora::truthy(path.attr("isfile")(value));
}

// The meter is redrawn once more than this many seconds have passed: 0 redraws it at every step, and a
// longer wait would open it, and with it the run's Cancel, too late in a run.
bool isMeterPeriod(py::handle value) {
    return isNumber(value) && !(value < py::int_(0)) && !(value > py::int_(10));
}

bool isPositiveWholeNumber(py::handle value) { return isWholeNumber(value) && value > py::int_(0); }

bool isPairOf(py::handle value, bool (*fits)(py::handle)) {
    if (!PyList_Check(value.ptr()) && !PyTuple_Check(value.ptr())) return false;
    if (py::len(value) != 2) return false;
    for (py::handle item : value)
        if (!fits(item)) return false;
    return true;
}

// The toolkit writes a window's place and size into the display server's geometry text as they
// stand, which takes whole numbers of pixels only.
bool isPixels(py::handle value) { return PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr()); }

// Settings that a window may show in no form, and what the code reading them needs: a run divides by
// the trading days, the outlier filter clips at its bounds, the report's page is made of the paper size
// and the window of its geometry. A window placed by the window manager has no position.
struct Need {
    const char *setting;
    bool (*takes)(py::handle value);
    const char *description;
    // What the value names counts, not the value: the defaults' own name may name a pipe.
    bool namesFile = false;
};

const Need needs[] = {
    {"allocation.tradingDaysPerYear", isPositiveWholeNumber, "a whole number above 0"},
    {"data.sigmaClipLow", isPositiveNumber, "a number above 0"},
    {"data.sigmaClipHigh", isPositiveNumber, "a number above 0"},
    {"print.paperSize", [](py::handle value) { return isPairOf(value, isPaperSide); },
     "two numbers from 100 to 10000 (hundredths of an inch)"},
    {"data.endDate", isDateOrEmpty, "a date written year-month-day, or empty"},
    {"progress.progressPeriod", isMeterPeriod, "a number from 0 to 10"},
    {"selectionName", isOwnFileName, "the name of a regular file, or of one not made yet in a folder that exists",
     true},
    {"data.cacheName", isOwnFileName, "the name of a regular file, or of one not made yet in a folder that exists",
     true},
    {"gui.position", [](py::handle value) { return value.is_none() || isPairOf(value, isPixels); },
     "two whole numbers"},
    {"gui.size", [](py::handle value) { return isPairOf(value, isPixels); }, "two whole numbers"},
};

// The kinds of values as a file holds them: the same kind whatever type a tree gives a section or a list.
int kindOf(py::handle value) {
    if (PyDict_Check(value.ptr())) return 1;
    if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) return 2;
    return 0;
}

// Equal and of the same kind throughout: 1200.0 is no pixel count where 1200 is, nor true a number
// where 1.0 is, though Python finds them equal.
bool sameValue(py::handle held, py::handle value) {
    int kind = kindOf(held);
    if (kind != kindOf(value)) return false;
    if (kind == 0) return py::type::handle_of(held).is(py::type::handle_of(value)) && held.equal(value);
    if (py::len(held) != py::len(value)) return false;
    if (kind == 2) {
        py::list heldItems(py::reinterpret_borrow<py::object>(held));
        py::list items(py::reinterpret_borrow<py::object>(value));
        for (size_t i = 0; i < heldItems.size(); ++i)
            if (!sameValue(heldItems[i], items[i])) return false;
        return true;
    }
    for (auto [key, item] : py::reinterpret_borrow<py::dict>(held))
        if (!value.contains(key) || !sameValue(item, py::object(value[key]))) return false;
    return true;
}

// The value is quoted in part beyond a few hundred characters, on every path alike: a damaged file may hold a
// value of some hundred thousand, which no popup and no line of the start's failure can show.
// So is the setting's name, which a damaged file may make as long.
py::tuple refusal(py::handle setting, py::handle value, py::handle description) {
    py::object shown = velmora::shownText(py::reinterpret_borrow<py::object>(setting));
    return py::make_tuple(shown, velmora::translate("The setting {} must be {}, not {}.")
                                     .attr("format")(shown, description, velmora::shownText(py::repr(value))));
}

// The kind of a setting as the user reads it; a truth value is no number here, as it is for Python.
const char *kindName(py::handle value) {
    if (PyDict_Check(value.ptr())) return "a group of settings";
    if (PyBool_Check(value.ptr())) return "true or false";
    if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) return "a number";
    if (PyUnicode_Check(value.ptr())) return "a text";
    if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) return "a list";
    return "nothing";
}

bool hasNeed(const std::string &setting) {
    for (const Need &need : needs)
        if (setting == need.setting) return true;
    return false;
}

std::string pathOf(const std::string &prefix, py::handle key) {
    std::string name = py::str(key).cast<std::string>();
    return prefix.empty() ? name : prefix + "." + name;
}

// The first setting of `tree` of another kind than `defaults` hold there (a section where they hold a
// value, a text where they hold a number...), which the merge would put over the defaults' settings and
// every reader of it, the window's fields first, would trip over; or named or written in what no window
// and no UTF-8 file takes. A setting with a need of its own is left to it (a window without a position).
py::object misfitSetting(py::handle tree, py::handle defaults, const std::string &prefix = "") {
    for (auto [key, value] : py::reinterpret_borrow<py::dict>(tree)) {
        if (!isWholeText(key)) {
            py::object shown =
                velmora::shownText(py::str(pathOf(prefix, py::module_::import("builtins").attr("ascii")(key))));
            return py::make_tuple(shown, velmora::translate("The setting {} has a name that is no Unicode text.")
                                             .attr("format")(shown));
        }
        std::string path = pathOf(prefix, key);
        py::object held = PyDict_Check(defaults.ptr()) && defaults.contains(key) ? py::object(defaults[key])
                                                                                  : py::object();
        if (PyUnicode_Check(value.ptr()) && !isWholeText(value))
            return refusal(py::str(path), value, velmora::translate("a text"));
        if (held && !hasNeed(path) && std::string(kindName(held)) != kindName(value))
            return refusal(py::str(path), value, velmora::translate(kindName(held)));
        if (PyDict_Check(value.ptr())) {
            py::object inner = misfitSetting(value, held ? held : py::object(py::dict()), path);
            if (!inner.is_none()) return inner;
        }
    }
    return py::none();
}

py::object deepCopyOf(py::handle value) { return py::module_::import("copy").attr("deepcopy")(value); }

// A copy of `section` over a copy of `defaults`, as the start merges a section of the user's file.
py::object mergedOver(py::handle section, py::handle defaults) {
    py::object merged = py::module_::import("copy").attr("deepcopy")(defaults);
    for (auto [key, value] : py::reinterpret_borrow<py::dict>(section)) {
        py::object held =
            PyDict_Check(merged.ptr()) && merged.contains(key) ? py::object(merged[key]) : py::object();
        merged[key] = PyDict_Check(value.ptr()) && held && PyDict_Check(held.ptr()) ? mergedOver(value, held)
                                                                                    : deepCopyOf(value);
    }
    return merged;
}

// What the start runs of the tree: the logging set-up, as the start merges it over the defaults', and the
// provider list (lists replace whole).
template <typename IsDefault>
py::object runRefusal(py::handle tree, py::handle defaults, IsDefault &&isDefault) {
    py::object logging = valueAt(tree, py::str("logging"));
    if (logging && PyDict_Check(logging.ptr()) && !isDefault(py::str("logging"), logging)) {
        py::object held = defaults.is_none() ? py::object() : valueAt(defaults, py::str("logging"));
        bool merged = held && PyDict_Check(held.ptr());
        py::object failure = loggingRefusal(merged ? mergedOver(logging, held) : logging);
        if (!failure.is_none()) return refusal(failure[py::int_(0)], failure[py::int_(1)], failure[py::int_(2)]);
    }
    py::object providers = valueAt(tree, py::str("providers"));
    if (providers && PyList_Check(providers.ptr()) && !isDefault(py::str("providers"), providers)) {
        py::object failure = providerRefusal(providers);
        if (!failure.is_none()) return refusal(failure[py::int_(0)], failure[py::int_(1)], failure[py::int_(2)]);
    }
    return py::none();
}

// refusedSetting(tree, defaults=None) -> (setting, message) or None
//   The first setting of `tree` whose value a field of the window would refuse, that the code
//   reading it could not use (`needs`), or that the start could not run (the logging set-up, the
//   provider list), with the message that names it and its value. A value that
//   `defaults` hold at the same place is taken: the program runs with it wherever a file holds none;
//   a file's name is checked wherever it comes from.
// Load Config, Save Config and the start ask it, so that a value no form would take is refused where it
// is read from a file, rather than failing each run, each report, the window or the next start later.
py::object refusedSetting(const py::module_ &m, py::object tree, py::object defaults) {
    auto isDefault = [&](py::handle setting, py::handle value) {
        py::object held = defaults.is_none() ? py::object() : valueAt(defaults, setting);
        return held && sameValue(held, value);
    };
    py::object misfit = misfitSetting(tree, defaults.is_none() ? py::object(py::dict()) : defaults);
    if (!misfit.is_none()) return misfit;
    // The needs before the fields: they hold whether the fields exist yet or not, so a value both refuse is
    // refused in the same words at the start, before the tabs are made, and by Load Config. So are the
    // language and the data source, which the start reads before any form: as the settings tab offers them;
    // and what the start runs.
    for (const Need &need : needs) {
        py::str setting(need.setting);
        py::object value = valueAt(tree, setting);
        if (value && !need.takes(value) && (need.namesFile || !isDefault(setting, value)))
            return refusal(setting, value, velmora::translate(need.description));
    }
    for (auto [setting, options] :
         {std::pair{"gui.language", "languages"}, std::pair{"data.dataProvider", "dataSources"}}) {
        py::object value = valueAt(tree, py::str(setting));
        if (!value || isDefault(py::str(setting), value)) continue;
        py::dict offered = py::module_::import("config").attr(options)();
        py::object description =
            choiceRefusal(value, py::list(offered.attr("keys")()), py::list(offered.attr("values")()));
        if (!description.is_none()) return refusal(py::str(setting), value, description);
    }
    py::object ran = runRefusal(tree, defaults, isDefault);
    if (!ran.is_none()) return ran;
    for (py::handle field : py::list(m.attr("handlers").attr("values")())) {
        py::object setting = field.attr("configPath");
        py::object value = velmora::truthy(setting) ? valueAt(tree, setting) : py::object();
        if (!value) continue;
        py::object description = field.attr("refusal")(value);
        if (!description.is_none() && !isDefault(setting, value)) return refusal(setting, value, description);
    }
    return py::none();
}

// What Load Config takes from a file: the settings that the program's own forms and window write
// (sections whole, `data` only by the members the settings tab writes). Every other setting names code
// (providers, the logging set-up), a file the program writes (data.cacheName, selectionName) or a network
// address (updateInfo, monetization) and keeps its running value, which comes only from default.json and
// the configuration file the program starts with: a file from someone else must not make the program
// run, overwrite or open anything of the sender's choice. The loaded file keeps its own values of them,
// which the program runs when it starts with that file. The data source names code too, but the user
// picks it on the settings tab like any other setting there: a load takes it only as one of the sources
// that tab offers (`chosenCode`).
constexpr std::initializer_list<const char *> loadedSettings = {
    "allocation",        "data.apiKey",         "data.localCurrency", "data.startDate", "data.basePeriod",
    "data.sigmaClipLow", "data.sigmaClipHigh",  "data.dataProvider",  "print",          "gui",
    "title",             "stocks",              "translations",       "meta"};

// The settings a load takes that name code: taken only where a form of the window offers the value.
constexpr std::initializer_list<const char *> chosenCode = {"data.dataProvider"};

// What the running tree holds that is the program's state, not a setting of any file: the file in use,
// and the title of the selection file.
constexpr std::initializer_list<const char *> programState = {"configFile", "selectionTitle"};

bool isOneOf(const std::string &path, std::initializer_list<const char *> settings) {
    for (const char *setting : settings)
        if (path == setting) return true;
    return false;
}

bool isLoaded(const std::string &path) { return isOneOf(path, loadedSettings); }

// A section some of whose members a load takes.
bool holdsLoaded(const std::string &path) {
    for (const char *setting : loadedSettings)
        if (std::string(setting).rfind(path + ".", 0) == 0) return true;
    return false;
}

py::object deepCopy(py::handle value) { return py::module_::import("copy").attr("deepcopy")(value); }

// refusedLoad(tree, defaults) -> (setting, message) or None
//   What refusedSetting refuses, and a setting naming code that no registered field offers and that
//   differs from the defaults: without the settings tab no choice of it is the user's.
py::object refusedLoad(const py::module_ &m, py::object tree, py::object defaults) {
    py::object refused = refusedSetting(m, tree, defaults);
    if (!refused.is_none()) return refused;
    for (const char *setting : chosenCode) {
        py::str path(setting);
        py::object value = valueAt(tree, path), held = valueAt(defaults, path);
        if (!value || (held && sameValue(held, value))) continue;
        bool offered = false;
        for (py::handle field : py::list(m.attr("handlers").attr("values")()))
            offered = offered || py::object(field.attr("configPath")).equal(path);
        if (!offered)
            return refusal(path, value, velmora::translate("one of the choices of the Configuration tab"));
    }
    return py::none();
}

// loadedPart(tree) -> dict
//   The settings of `tree` that a load takes, in the tree's order. A value where a section of them
//   belongs is taken as it stands, for the check to refuse by name.
py::dict loadedPart(py::handle tree, const std::string &prefix = "") {
    py::dict taken;
    for (auto [key, value] : py::reinterpret_borrow<py::dict>(tree)) {
        std::string path = pathOf(prefix, key);
        if (isLoaded(path) || (holdsLoaded(path) && !PyDict_Check(value.ptr()))) {
            taken[key] = deepCopy(value);
        } else if (holdsLoaded(path)) {
            py::dict section = loadedPart(value, path);
            if (!section.empty()) taken[key] = section;
        }
    }
    return taken;
}

// keepUnloaded(source, tree)
//   Puts the settings of `source` that a load does not take into `tree`, as they stand. A value where a
//   section of loaded settings belongs holds none of them and replaces none of the tree's.
void keepUnloaded(py::handle source, py::handle tree, const std::string &prefix = "") {
    for (auto [key, value] : py::reinterpret_borrow<py::dict>(source)) {
        std::string path = pathOf(prefix, key);
        if (isLoaded(path)) continue;
        if (!holdsLoaded(path)) {
            tree[key] = deepCopy(value);
        } else if (PyDict_Check(value.ptr())) {
            if (!tree.contains(key) || !PyDict_Check(py::object(tree[key]).ptr())) tree[key] = py::dict();
            keepUnloaded(value, tree[key], path);
        }
    }
}

// The running settings a load does not take, of `config` into `tree`: those that differ from the
// defaults, and those that `user` holds (with their running value), so that a file written anew holds
// what runs where the user's tree names a setting. With `missingOnly`, only those `tree` does not hold yet.
void keepRunning(py::handle config, py::handle user, py::handle defaults, py::handle tree, bool missingOnly,
                 const std::string &prefix = "") {
    auto member = [](py::handle section, py::handle key) {
        return PyDict_Check(section.ptr()) && section.contains(key) ? py::object(section[key]) : py::object();
    };
    for (auto [key, value] : py::reinterpret_borrow<py::dict>(config)) {
        std::string path = pathOf(prefix, key);
        if (isLoaded(path) || isOneOf(path, programState)) continue;
        py::object held = member(defaults, key), named = member(user, key);
        if (holdsLoaded(path) && PyDict_Check(value.ptr())) {
            // Beside the loaded members of the section that the tree holds already.
            py::dict section = tree.contains(key) ? py::dict(tree[key]) : py::dict();
            keepRunning(value, named ? named : py::dict(), held ? held : py::dict(), section, missingOnly,
                        path);
            if (!section.empty()) tree[key] = section;
        } else if (missingOnly && tree.contains(key)) {
            continue;
        } else if (named || !held || !sameValue(held, value)) {
            tree[key] = deepCopy(value);
        }
    }
}

// inOrderOf(tree, order) -> dict
//   `tree` with its members, at every depth, in the order `order` holds them, and those `order` lacks after
//   them in their own order: a file is written in the order its settings entered the user tree, whichever
//   of its parts a save or a load gathers first.
py::dict inOrderOf(py::handle tree, py::handle order) {
    auto members = py::reinterpret_borrow<py::dict>(tree);
    py::dict ordered;
    if (PyDict_Check(order.ptr()))
        for (auto [key, value] : py::reinterpret_borrow<py::dict>(order))
            if (members.contains(key)) ordered[key] = members[key];
    for (auto [key, value] : members)
        if (!ordered.contains(key)) ordered[key] = value;
    for (py::handle key : py::list(ordered.attr("keys")())) {
        py::object value = ordered[key];
        if (!PyDict_Check(value.ptr())) continue;
        bool placed = PyDict_Check(order.ptr()) && order.contains(key);
        ordered[key] = inOrderOf(value, placed ? py::object(order[key]) : py::object(py::none()));
    }
    return ordered;
}

// writtenSettings(userConfig, held=None, config=None, defaults=None) -> dict
//   What a save writes: the user's settings that a load takes, which the forms write, whatever the target
//   held of them; of the others the target file's own (`held`: an existing configuration file, whose
//   settings never ran while it was not in use), and, where the target holds none (a file written anew,
//   or one that holds a few or none), the running ones of `config`; none without it (the file in use, whose
//   own the user tree holds). None of the user tree's own values of them: after a load they are the loaded
//   file's, which would otherwise travel to every file saved later.
py::dict writtenSettings(py::object userConfig, py::object held, py::object config, py::object defaults) {
    py::dict tree = loadedPart(userConfig);
    if (!held.is_none()) keepUnloaded(held, tree);
    if (!config.is_none()) keepRunning(config, userConfig, defaults, tree, !held.is_none());
    return inOrderOf(tree, userConfig);
}

// writeDatesInFull(tree)
//   Writes the dates of `tree` that the window's date fields show in the full form the calendar writes
//   ("2017-06-03" for "2017-6-3"), before anything reads them: the caption and the field then name the
//   day alike, and a check of the day runs once.
void writeDatesInFull(const py::module_ &m, py::object tree) {
    for (py::handle field : py::list(m.attr("handlers").attr("values")())) {
        py::object setting = field.attr("configPath");
        if (!py::isinstance(field, m.attr("DateFieldClass")) || !velmora::truthy(setting)) continue;
        py::object value = valueAt(tree, setting);
        if (!value || !isDateText(value, false)) continue;
        py::object day = py::module_::import("datetime").attr("datetime").attr("strptime")(value, "%Y-%m-%d");
        assignSetting(tree, setting, day.attr("strftime")("%Y-%m-%d"));
    }
}

}  // namespace

void defineLoadedValueChecks(py::module_ &m) {
    // A value that comes from a file, not from the keyboard: the check of typed text without its
    // reading. Answers what the field takes, in the user's words, or None when it takes `value`; a kind
    // without a check of its own takes every value.
    velmora::method(
        m.attr("FieldClass"), "refusal", [](py::object self, py::object value) { return py::none(); }, "value"_a);
    velmora::method(m.attr("DateFieldClass"), "refusal", &dateRefusal, "value"_a);
    velmora::method(m.attr("TextFieldClass"), "refusal", &textRefusal, "value"_a);
    velmora::method(m.attr("NumFieldClass"), "refusal", &numberRefusal, "value"_a);
    velmora::method(m.attr("SelectionFieldClass"), "refusal", &selectionRefusal, "value"_a);
    velmora::function(m, "refusedSetting", &refusedSetting, "tree"_a, "defaults"_a = py::none());
    velmora::function(m, "refusedLoad", &refusedLoad, "tree"_a, "defaults"_a);
    // Which settings a load takes and what a save writes: Load Config, Save Config and the close ask
    // them here, beside the checks the start and Load Config share.
    m.def("loadedPart", [](py::object tree) { return loadedPart(tree); }, "tree"_a);
    m.def("keepUnloaded", [](py::object source, py::object tree) { keepUnloaded(source, tree); }, "source"_a,
          "tree"_a);
    m.def("inOrderOf", &inOrderOf, "tree"_a, "order"_a);
    velmora::function(m, "writeDatesInFull", &writeDatesInFull, "tree"_a);
    m.def("writtenSettings", &writtenSettings, "userConfig"_a, "held"_a = py::none(), "config"_a = py::none(),
          "defaults"_a = py::none());
}

}  // namespace velmora::fields
