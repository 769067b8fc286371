// A part of the fields module: the checks of values that come from a file rather than the keyboard,
// each as the field that shows the value checks typed text, and what the settings no form shows need.
#include "parts.hpp"

namespace velmora::fields {

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
    if (texts) {
        if (py::isinstance<py::str>(value) && choices.contains(value)) return py::none();
        py::list quoted;
        for (py::handle choice : choices) quoted.append(py::repr(choice));
        return velmora::translate("one of {}").attr("format")(py::str(", ").attr("join")(quoted));
    }
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

// A file the program reads and writes again: a regular one, or one not made yet. A folder, a device or
// a pipe would be read without end or replaced by the save.
bool isOwnFileName(py::handle value) {
    if (!isWholeText(value) || py::len(value) == 0) return false;
    py::module_ os = py::module_::import("os");
    try {
        os.attr("stat")(value);
    } catch (py::error_already_set &failure) {
        return failure.matches(PyExc_FileNotFoundError);
    }
    return velmora::truthy(os.attr("path").attr("isfile")(value));
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
    {"progress.progressPeriod", isPositiveNumber, "a number above 0"},
    {"selectionName", isOwnFileName, "the name of a regular file or of one not made yet", true},
    {"data.cacheName", isOwnFileName, "the name of a regular file or of one not made yet", true},
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

// refusedSetting(tree, defaults=None) -> (setting, message) or None
//   The first setting of `tree` whose value a field of the window would refuse, or that the code
//   reading it could not use (`needs`), with the message that names it and its value. A value that
//   `defaults` hold at the same place is taken: the program runs with it wherever a file holds none;
//   a file's name is checked wherever it comes from.
// Load Config and the start ask it, so that a value no form would take is refused where it is read
// from a file, rather than failing each run, each report or the window later.
py::object refusedSetting(const py::module_ &m, py::object tree, py::object defaults) {
    auto isDefault = [&](py::handle setting, py::handle value) {
        py::object held = defaults.is_none() ? py::object() : valueAt(defaults, setting);
        return held && sameValue(held, value);
    };
    auto refusal = [](py::handle setting, py::handle value, py::handle description) {
        return py::make_tuple(setting, velmora::translate("The setting {} must be {}, not {}.")
                                           .attr("format")(setting, description, py::repr(value)));
    };
    for (py::handle field : py::list(m.attr("handlers").attr("values")())) {
        py::object setting = field.attr("configPath");
        py::object value = velmora::truthy(setting) ? valueAt(tree, setting) : py::object();
        if (!value) continue;
        py::object description = field.attr("refusal")(value);
        if (!description.is_none() && !isDefault(setting, value)) return refusal(setting, value, description);
    }
    for (const Need &need : needs) {
        py::str setting(need.setting);
        py::object value = valueAt(tree, setting);
        if (value && !need.takes(value) && (need.namesFile || !isDefault(setting, value)))
            return refusal(setting, value, velmora::translate(need.description));
    }
    return py::none();
}

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
}

}  // namespace velmora::fields
