// Form fields bound to configuration paths: the field registry, the provider that routes events to
// the fields and every field kind. The class resolver and the checks of values read from a file are
// the module's parts in source/fields/.
#include "fields/parts.hpp"

#include <algorithm>
#include <string>

namespace velmora::fields {

namespace {

// A value that cannot be hashed can be no key of a dictionary: a master that stores a list
// or a configuration subtree then simply matches no rule instead of failing the event.
bool hasKey(py::handle mapping, py::handle key) {
    try {
        return mapping.attr("__contains__")(key).cast<bool>();
    } catch (py::error_already_set &failure) {
        if (!failure.matches(PyExc_TypeError)) throw;
        return false;
    }
}

py::object element(py::handle window, py::handle key) { return window[key]; }

void colour(py::handle window, py::handle key, const char *textColour) {
    element(window, key).attr("update")("text_color"_a = textColour);
}

// The Enter key, as the main window reports it. Windows reports the key's character "\r".
// Under X11 the window hears key releases, which carry no character, so the toolkit names
// the key by its key symbol and key code instead: "Return:36", or "KP_Enter:104" for the
// keypad's Enter key (the code depends on the keyboard).
bool isEnterKey(py::handle event) {
    if (!py::isinstance<py::str>(event)) return false;
    std::string name = event.cast<std::string>();
    return name == "\r" || name.starts_with("Return:") || name.starts_with("KP_Enter:");
}

// The window reports the Enter key as it is released. A file dialog closes as the key is pressed in it
// and leaves its release to the main window; so Enter counts only where its press reached a field.
void watchEnterPresses(const py::module_ &m, py::object window) {
    py::object shown = py::getattr(window, "AllKeysDict", py::none());
    // A stand-in for a window, which has no elements to watch.
    if (shown.is_none()) return;
    for (py::handle key : py::list(m.attr("handlers").attr("keys")())) {
        py::object shownElement = shown.attr("get")(key);
        if (shownElement.is_none() || shownElement.attr("Widget").is_none()) continue;
        py::object pressedKey = py::reinterpret_borrow<py::object>(key);
        py::cpp_function pressed([m, pressedKey](py::object) { m.attr("enterPressedOn") = pressedKey; });
        for (const char *sequence : {"<KeyPress-Return>", "<KeyPress-KP_Enter>"})
            shownElement.attr("Widget").attr("bind")(sequence, pressed, "+");
    }
}

// The focused field has written its value keystroke by keystroke already; Enter only has
// every provider recompute. With no element focused there is no field to commit.
void updateOnEnter(const py::module_ &m, py::object window, py::object values) {
    py::object pressedOn = m.attr("enterPressedOn");
    m.attr("enterPressedOn") = py::none();
    py::object focused = window.attr("find_element_with_focus")();
    if (focused.is_none() || !hasKey(m.attr("handlers"), focused.attr("Key"))) return;
    if (!py::object(focused.attr("Key")).equal(pressedOn)) return;
    m.attr("manager").attr("handleEvent")(window, "UpdateConfig", values);
}

// A snapshot, so that a field that registers meanwhile cannot upset the walk.
py::list registeredFields(const py::module_ &m) { return py::list(m.attr("handlers").attr("values")()); }

// The field an event belongs to checks it; an event it refuses stops the dispatch here, and
// the provider manager logs it. An update (its button, or Enter in a field) takes every edit.
py::object routeEvent(const py::module_ &m, py::object self, py::object window, py::object event,
                      py::object values) {
    m.attr("recreateNeeded") = false;
    if (isEnterKey(event)) updateOnEnter(m, window, values);
    if (py::isinstance<py::str>(event) && event.equal(py::str("UpdateConfig")))
        for (py::handle field : registeredFields(m)) field.attr("takeEdit")(window);
    py::object handlers = m.attr("handlers");
    if (hasKey(handlers, event) && !velmora::truthy(handlers[event].attr("validate")(window, event, values)))
        velmora::raise(PyExc_ValueError);
    return m.attr("recreateNeeded");
}

void updateAllFields(const py::module_ &m, py::object window, py::object configObj) {
    m.attr("config") = configObj;
    for (py::handle field : registeredFields(m)) field.attr("updateConfig")(window, configObj);
}

// The provider that routes the window's events to the fields. Its base class lives in
// the module `provider`, which does not import this module while it is loaded.
void defineFieldProvider(py::module_ &m) {
    py::object base = velmora::classOf("provider", "Provider");
    py::object cls = velmora::makeClass(m, "FieldProvider", py::make_tuple(base));
    cls.attr("key") = "field";
    velmora::constructor(cls, [m, cls](py::object self, py::object configParm, py::object providerManager,
                                       py::object userConfigParm, py::kwargs) {
        velmora::super(cls, self).attr("__init__")(configParm);
        m.attr("config") = configParm;
        m.attr("userConfig") = userConfigParm;
        m.attr("manager") = providerManager;
    }, "configParm"_a, "providerManager"_a = py::none(), "userConfigParm"_a = py::none());
    velmora::method(cls, "handleEvent", m, &routeEvent, "window"_a, "event"_a, "values"_a);
    velmora::method(cls, "bind", [m](py::object self, py::object window) {
        self.attr("updateConfig")(window, m.attr("config"));
        for (py::handle field : registeredFields(m)) field.attr("bind")(window);
        watchEnterPresses(m, window);
    }, "window"_a);
    velmora::staticMethod(cls, "get", [m](py::object key) {
        return m.attr("handlers")[key].attr("get")();
    }, "key"_a);
    velmora::staticMethod(cls, "updateConfig", m, &updateAllFields, "window"_a, "configObj"_a);
    velmora::staticMethod(cls, "reconfigureApp", [m](py::object config) {
        m.attr("manager").attr("reconfigure")(config);
    }, "config"_a);
}

void constructField(const py::module_ &m, py::object self, py::object key, py::object title,
                    py::object initialValue, py::object configPath, py::object dependingOn,
                    py::object dependencyRule, py::object reconfigureOnChange, py::object recreateOnChange,
                    py::object tooltip) {
    py::dict options("key"_a = key, "title"_a = title, "initialValue"_a = initialValue,
                     "configPath"_a = configPath, "dependingOn"_a = dependingOn,
                     "dependencyRule"_a = dependencyRule, "reconfigureOnChange"_a = reconfigureOnChange,
                     "recreateOnChange"_a = recreateOnChange, "tooltip"_a = tooltip);
    for (auto [name, value] : options) py::setattr(self, name, value);
    if (velmora::truthy(configPath))
        self.attr("initialValue") = settingAt(m.attr("config"), configPath);
    self.attr("dependencies") = py::list();
    py::object handlers = m.attr("handlers");
    if (!dependingOn.is_none()) handlers[dependingOn].attr("dependencies").attr("append")(self);
    handlers[key] = self;
}

void setField(const py::module_ &m, py::object self, py::object window, py::object value) {
    py::object configPath = self.attr("configPath");
    if (velmora::truthy(configPath)) {
        assignSetting(m.attr("config"), configPath, value);
        assignSetting(m.attr("userConfig"), configPath, value);
    }
    py::list dependents = py::list(self.attr("dependencies"));
    for (py::handle dependent : dependents) dependent.attr("updateDependency")(window, value);
    if (velmora::truthy(self.attr("reconfigureOnChange")))
        m.attr("FieldProvider").attr("reconfigureApp")(m.attr("config"));
    if (velmora::truthy(self.attr("recreateOnChange"))) m.attr("recreateNeeded") = true;
}

// The input of the field in the window, or none in a window without it.
py::object inputOf(py::object self, py::object window) {
    return window.attr("AllKeysDict").attr("get")(self.attr("key"));
}

// The text the input shows, unless it is the setting as the field writes it; none in a window without
// the input or for a field without a setting.
py::object otherText(py::object self, py::object window) {
    py::object input = inputOf(self, window);
    if (input.is_none() || !velmora::truthy(self.attr("configPath"))) return py::none();
    py::object typed = input.attr("get")();
    if (typed.equal(self.attr("formatValue")(self.attr("get")()))) return py::none();
    return typed;
}

bool showsOtherText(py::object self, py::object window) { return !otherText(self, window).is_none(); }

// The text shown is taken as an edit, stored when the field accepts it and shown refused when not;
// then it is shown in the field's own format.
void takeEdit(py::object self, py::object window) {
    if (velmora::truthy(self.attr("edited")(window))) {
        py::object key = self.attr("key");
        py::dict values;
        values[key] = inputOf(self, window).attr("get")();
        self.attr("validate")(window, key, values);
    }
    self.attr("showTaken")(window);
}

void defineFieldClass(py::module_ &m) {
    py::object cls = velmora::makeClass(m, "FieldClass");
    velmora::constructor(cls, m, &constructField, "key"_a, "title"_a, "initialValue"_a = py::none(),
                         "configPath"_a = py::none(), "dependingOn"_a = py::none(),
                         "dependencyRule"_a = py::none(), "reconfigureOnChange"_a = false,
                         "recreateOnChange"_a = false, "tooltip"_a = py::none());
    velmora::method(cls, "create", [](py::object self) {
        return velmora::list(
            {velmora::sg().attr("Text")(self.attr("title"), "size"_a = py::make_tuple(15, 1))});
    });
    velmora::method(cls, "validate", [](py::object self, py::object window, py::object event,
                                        py::object values) {
        if (hasKey(values, event)) self.attr("set")(window, values[event]);
        return true;
    }, "window"_a, "event"_a, "values"_a);
    velmora::method(cls, "get", [m](py::object self) {
        return settingAt(m.attr("config"), self.attr("configPath"));
    });
    velmora::method(cls, "set", m, &setField, "window"_a, "value"_a);
    velmora::method(cls, "updateConfig", [](py::object self, py::object window, py::object newConfig) {
        py::object configPath = self.attr("configPath");
        if (velmora::truthy(configPath))
            self.attr("updateField")(window, settingAt(newConfig, configPath));
    }, "window"_a, "newConfig"_a);
    velmora::method(cls, "updateField", [](py::object self, py::object window, py::object newValue,
                                           py::object realValue) {
        element(window, self.attr("key")).attr("update")(self.attr("formatValue")(newValue));
        py::object passed = realValue.is_none() ? newValue : realValue;
        py::list dependents = py::list(self.attr("dependencies"));
        for (py::handle dependent : dependents) dependent.attr("updateDependency")(window, passed);
    }, "window"_a, "newValue"_a, "realValue"_a = py::none());
    velmora::method(cls, "updateDependency", [](py::object self, py::object window, py::object newValue) {
        py::object rule = self.attr("dependencyRule");
        if (hasKey(rule, newValue)) {
            py::object forced = rule[newValue];
            self.attr("updateField")(window, forced);
            self.attr("set")(window, forced);
            self.attr("disable")(window, true);
        } else {
            self.attr("disable")(window, false);
        }
    }, "window"_a, "newValue"_a);
    velmora::method(cls, "disable", [](py::object self, py::object window, py::object disabled) {
        element(window, self.attr("key")).attr("update")("disabled"_a = disabled);
    }, "window"_a, "disabled"_a);
    velmora::method(cls, "formatValue", [](py::object self, py::object value) { return value; }, "value"_a);
    // A kind whose text has a format of its own shows it again once the user is done editing.
    velmora::method(cls, "bind", [](py::object self, py::object window) {}, "window"_a);
    velmora::method(cls, "showTaken", [](py::object self, py::object window) {}, "window"_a);
    // Whether the input shows a text that is not its setting: keys whose events were lost. Only kinds
    // with a typed text can show one.
    velmora::method(cls, "edited", [](py::object self, py::object window) { return false; }, "window"_a);
    velmora::method(cls, "takeEdit", &takeEdit, "window"_a);
}

// The input element of a field kind, `width` characters wide, with the kind's own options.
py::object input(py::handle self, py::object width, py::dict options) {
    return velmora::sg().attr("Input")("key"_a = self.attr("key"), "size"_a = py::make_tuple(width, 1),
                                       "default_text"_a = self.attr("initialValue"),
                                       "tooltip"_a = self.attr("tooltip"), **options);
}

py::object parseDate(py::object text) {
    return py::module_::import("datetime").attr("datetime").attr("strptime")(text, "%Y-%m-%d");
}

py::object splitDate(py::object text) {
    py::object parsed = parseDate(text);
    return py::make_tuple(parsed.attr("month"), parsed.attr("day"), parsed.attr("year"));
}

// A date as the calendar writes it, with a two-digit month and day. A shorter text is an edit in
// progress: "2016-06-3" parses as the third of June while the user is still typing the thirtieth.
void requireFullDate(py::object text) {
    if (!velmora::truthy(py::module_::import("re").attr("fullmatch")("[0-9]{4}-[0-9]{2}-[0-9]{2}", text)))
        velmora::raise(PyExc_ValueError, py::str("not a date in its full form"));
}

// A date of the short form, as a stored setting may hold it, names the same day in the full form;
// any other value is shown as it is.
py::object fullDate(py::object value) {
    try {
        return parseDate(value).attr("strftime")("%Y-%m-%d");
    } catch (py::error_already_set &) {
        return value;
    }
}

// The stored value shown and kept in the full form, so that the field's text and its setting agree.
void showDate(py::object cls, py::object self, py::object window, py::object newValue, py::object realValue) {
    velmora::super(cls, self).attr("updateField")(window, newValue, "realValue"_a = realValue);
    py::object full = fullDate(newValue);
    if (!full.equal(newValue) && velmora::truthy(self.attr("configPath"))) self.attr("set")(window, full);
}

// Every kind of field has a factory function that constructs the field and hands back its
// row of elements for the caller's layout.
void defineFactory(py::module_ &m, const char *name, const char *fieldClass) {
    m.def(name, [m, fieldClass](py::args args, py::kwargs kwargs) {
        return m.attr(fieldClass)(*args, **kwargs).attr("create")();
    });
}

// A field kind with one option of its own beside those of FieldClass, kept as its attribute.
py::object defineKind(py::module_ &m, const char *name, const char *option, py::object byDefault) {
    py::object cls = velmora::makeClass(m, name, py::make_tuple(m.attr("FieldClass")));
    velmora::constructor(cls, [cls, option](py::object self, py::object key, py::object title,
                                            py::object value, py::kwargs kwargs) {
        velmora::super(cls, self).attr("__init__")(key, title, **kwargs);
        py::setattr(self, option, value);
    }, "key"_a, "title"_a, py::arg(option) = byDefault);
    return cls;
}

void defineDateField(py::module_ &m) {
    py::object cls = defineKind(m, "DateFieldClass", "allowBlank", py::bool_(false));
    velmora::method(cls, "create", [m, cls](py::object self) {
        py::object key = self.attr("key");
        py::object tooltip = self.attr("tooltip");
        py::object defaultDate;
        try {
            defaultDate = self.attr("splitDate")(self.attr("initialValue"));
        } catch (py::error_already_set &) {
            py::object today = py::module_::import("datetime").attr("date").attr("today")();
            defaultDate = py::make_tuple(today.attr("month"), today.attr("day"), today.attr("year"));
        }
        py::list row = velmora::super(cls, self).attr("create")();
        row.append(input(self, py::int_(10), py::dict("enable_events"_a = true)));
        py::object setKey = py::str("set") + py::str(key);
        row.append(velmora::sg().attr("CalendarButton")(
            velmora::translate("Set"), "key"_a = setKey, "target"_a = key, "format"_a = "%Y-%m-%d",
            "title"_a = self.attr("title"), "no_titlebar"_a = false, "enable_events"_a = true,
            "default_date_m_d_y"_a = defaultDate, "tooltip"_a = tooltip));
        if (velmora::truthy(self.attr("allowBlank"))) {
            py::str clearKey = py::str("clear") + py::str(key);
            m.attr("handlers")[clearKey] = self;
            row.append(velmora::sg().attr("Button")(velmora::translate("Clear"), "key"_a = clearKey,
                                                    "enable_events"_a = true, "tooltip"_a = tooltip));
        }
        return row;
    });
    velmora::method(cls, "validate", [cls](py::object self, py::object window, py::object event,
                                           py::object values) -> py::object {
        py::object key = self.attr("key");
        if (event.equal(py::str("clear") + py::str(key))) {
            values[key] = "";
            element(window, key).attr("update")("", "text_color"_a = "black");
            event = key;
        }
        if (velmora::truthy(self.attr("allowBlank")) && py::object(values[key]).equal(py::str(""))) {
            colour(window, key, "black");
            return velmora::super(cls, self).attr("validate")(window, event, values);
        }
        try {
            requireFullDate(values[key]);
            py::object mdy = self.attr("splitDate")(values[key]);
            colour(window, key, "black");
            element(window, py::str("set") + py::str(key)).attr("calendar_default_date_M_D_Y") = mdy;
            return velmora::super(cls, self).attr("validate")(window, event, values);
        } catch (py::error_already_set &) {
            colour(window, key, "red");
            return py::bool_(false);
        }
    }, "window"_a, "event"_a, "values"_a);
    velmora::staticMethod(cls, "splitDate", &splitDate, "text"_a);
    velmora::method(cls, "edited", &showsOtherText, "window"_a);
    velmora::method(cls, "formatValue", [](py::object self, py::object value) { return fullDate(value); },
                    "value"_a);
    velmora::method(cls, "updateField", [cls](py::object self, py::object window, py::object newValue,
                                              py::object realValue) {
        showDate(cls, self, window, newValue, realValue);
    }, "window"_a, "newValue"_a, "realValue"_a = py::none());
    defineFactory(m, "DateField", "DateFieldClass");
}

void defineTextField(py::module_ &m) {
    py::object cls = defineKind(m, "TextFieldClass", "maxLen", py::int_(64));
    velmora::method(cls, "create", [cls](py::object self) {
        py::list row = velmora::super(cls, self).attr("create")();
        row.append(input(self, self.attr("maxLen"), py::dict("enable_events"_a = true)));
        return row;
    });
    velmora::method(cls, "validate", [cls](py::object self, py::object window, py::object event,
                                           py::object values) -> py::object {
        py::object key = self.attr("key");
        py::object maxLen = self.attr("maxLen");
        if (py::int_(py::len(values[key])) > maxLen) {
            colour(window, key, "red");
            return py::bool_(false);
        }
        colour(window, key, "black");
        return velmora::super(cls, self).attr("validate")(window, event, values);
    }, "window"_a, "event"_a, "values"_a);
    velmora::method(cls, "edited", &showsOtherText, "window"_a);
    defineFactory(m, "TextField", "TextFieldClass");
}

// Reads the typed text as the field's number; an error means the text is refused.
py::object parseNumber(py::object self, py::object window, py::object text) {
    py::object locale = py::module_::import("locale");
    if (velmora::truthy(self.attr("isInt"))) return locale.attr("atoi")(text);
    py::object maxValue = self.attr("maxValue");
    if (!maxValue.is_none() && maxValue < py::int_(1000)) {
        // With small maxima a typed thousands separator can only be meant as the decimal
        // point. A locale without a thousands separator has nothing to correct; replacing
        // the empty text would put a decimal point between every pair of characters.
        py::dict conventions = locale.attr("localeconv")();
        py::str separator = conventions["thousands_sep"];
        if (py::len(separator) > 0) {
            py::object corrected = text.attr("replace")(separator, conventions["decimal_point"]);
            if (!corrected.equal(text)) {
                element(window, self.attr("key")).attr("update")(corrected);
                text = corrected;
            }
        }
    }
    py::object number = locale.attr("atof")(text);
    // "nan" and "inf" pass the locale's reader and every comparison with a bound, and
    // would be saved as non-standard JSON in the user's configuration.
    if (!velmora::truthy(py::module_::import("math").attr("isfinite")(number)))
        velmora::raise(PyExc_ValueError, py::str("not a finite number"));
    return number;
}

}  // namespace

// Both bounds are inclusive; a missing bound does not limit.
bool withinBounds(py::handle self, py::handle number) {
    py::object minValue = self.attr("minValue");
    py::object maxValue = self.attr("maxValue");
    if (!minValue.is_none() && number < minValue) return false;
    if (!maxValue.is_none() && number > maxValue) return false;
    return true;
}

namespace {

// The number the user has typed and the field has stored, shown in the field's own format as the
// configuration fills it: "20000" becomes "20,000", "100" as a weight "100.00". A text the field
// refused stays as typed, so that the user sees what to mend.
void showTaken(py::object self, py::object window) {
    py::object input = element(window, self.attr("key"));
    try {
        py::object typed = input.attr("get")();
        py::object number = parseNumber(self, window, typed);
        py::object stored = self.attr("get")();
        if (!withinBounds(self, number) || !number.equal(stored)) return;
        py::object shown = self.attr("formatValue")(stored);
        if (!shown.equal(typed)) input.attr("update")(shown);
    } catch (py::error_already_set &) {
        // A text that does not parse, or a field without a setting, keeps what it shows.
    }
}

// A number typed without the field's format ("20000" for "20,000") is the setting still: only its
// format is missing, which `showTaken` gives it.
bool editedNumber(py::object self, py::object window) {
    py::object typed = otherText(self, window);
    if (typed.is_none()) return false;
    py::object locale = py::module_::import("locale");
    try {
        py::object number = locale.attr(velmora::truthy(self.attr("isInt")) ? "atoi" : "atof")(typed);
        return !number.equal(self.attr("get")());
    } catch (py::error_already_set &) {
        return true;
    }
}

// The user is done with a field when the focus leaves it.
void showTakenOnLeaving(py::object self, py::object window) {
    py::object widget = element(window, self.attr("key")).attr("Widget");
    py::cpp_function left([self, window](py::object) {
        // A window that closes takes the focus away from its fields too.
        if (velmora::truthy(window.attr("is_closed")("quick_check"_a = true))) return;
        self.attr("showTaken")(window);
    });
    widget.attr("bind")("<FocusOut>", left, "+");
}

void defineNumField(py::module_ &m) {
    py::object cls = velmora::makeClass(m, "NumFieldClass", py::make_tuple(m.attr("FieldClass")));
    velmora::constructor(cls, [cls](py::object self, py::object key, py::object title, py::object minValue,
                                    py::object maxValue, py::object maxLen, py::object isInt,
                                    py::object precision, py::kwargs kwargs) {
        velmora::super(cls, self).attr("__init__")(key, title, **kwargs);
        self.attr("precision") = precision;
        self.attr("minValue") = minValue;
        self.attr("maxValue") = maxValue;
        self.attr("isInt") = isInt;
        self.attr("maxLen") = maxLen.is_none() ? py::object(py::int_(10)) : maxLen;
    }, "key"_a, "title"_a, "minValue"_a = py::none(), "maxValue"_a = py::none(), "maxLen"_a = py::none(),
       "isInt"_a = false, "precision"_a = 0);
    velmora::method(cls, "formatValue", [](py::object self, py::object value) {
        return velmora::localeNumber(value, self.attr("precision"));
    }, "value"_a);
    velmora::method(cls, "create", [cls](py::object self) {
        py::list row = velmora::super(cls, self).attr("create")();
        py::dict options("enable_events"_a = true, "justification"_a = "right");
        row.append(input(self, self.attr("maxLen"), options));
        return row;
    });
    velmora::method(cls, "validate", [cls](py::object self, py::object window, py::object event,
                                           py::object values) -> py::object {
        py::object key = self.attr("key");
        try {
            py::object number = parseNumber(self, window, values[key]);
            if (withinBounds(self, number)) {
                colour(window, key, "black");
                values[key] = number;
                return velmora::super(cls, self).attr("validate")(window, event, values);
            }
        } catch (py::error_already_set &) {
            // Text that does not parse, or a write that fails, is refused like a number out of bounds.
        }
        colour(window, key, "red");
        return py::bool_(false);
    }, "window"_a, "event"_a, "values"_a);
    velmora::method(cls, "disable", [cls](py::object self, py::object window, py::object disabled) {
        colour(window, self.attr("key"), velmora::truthy(disabled) ? "grey" : "black");
        velmora::super(cls, self).attr("disable")(window, disabled);
    }, "window"_a, "disabled"_a);
    velmora::method(cls, "showTaken", &showTaken, "window"_a);
    velmora::method(cls, "edited", &editedNumber, "window"_a);
    velmora::method(cls, "bind", &showTakenOnLeaving, "window"_a);
    defineFactory(m, "NumField", "NumFieldClass");
}

// A chosen name goes to the target field and is checked there as if typed; a cancelled
// dialog leaves the field as it was.
bool chooseFile(const py::module_ &m, py::object self, py::object window, py::object event,
                py::object values) {
    py::object fileName = py::module_::import("provider").attr("GetFileName")(
        self.attr("title"), self.attr("extension"), "default"_a = self.attr("initialValue"),
        "save"_a = self.attr("saveAs"));
    if (!velmora::truthy(fileName)) return true;
    py::object target = self.attr("target");
    element(window, target).attr("update")(fileName);
    values[target] = fileName;
    m.attr("handlers")[target].attr("validate")(window, target, values);
    return true;
}

void defineFileButton(py::module_ &m) {
    py::object cls = velmora::makeClass(m, "FileButtonClass", py::make_tuple(m.attr("FieldClass")));
    velmora::constructor(cls, [cls](py::object self, py::object key, py::object title, py::object extension,
                                    py::object saveAs, py::object target, py::kwargs kwargs) {
        velmora::super(cls, self).attr("__init__")(key, title, **kwargs);
        self.attr("extension") = extension;
        self.attr("saveAs") = saveAs;
        self.attr("target") = target;
    }, "key"_a, "title"_a, "extension"_a = py::none(), "saveAs"_a = false, "target"_a = py::none());
    velmora::method(cls, "create", [](py::object self) {
        return velmora::list(
            {velmora::sg().attr("Button")(velmora::translate("Set"), "key"_a = self.attr("key"))});
    });
    velmora::method(cls, "validate", m, &chooseFile, "window"_a, "event"_a, "values"_a);
}

void defineFileField(py::module_ &m) {
    py::object cls = velmora::makeClass(m, "FileFieldClass", py::make_tuple(m.attr("FieldClass")));
    velmora::constructor(cls, [cls](py::object self, py::object key, py::object title, py::object extension,
                                    py::object saveAs, py::kwargs kwargs) {
        velmora::super(cls, self).attr("__init__")(key, title, **kwargs);
        self.attr("extension") = extension;
        self.attr("saveAs") = saveAs;
    }, "key"_a, "title"_a, "extension"_a = py::none(), "saveAs"_a = false);
    velmora::method(cls, "create", [m, cls](py::object self) {
        py::object key = self.attr("key");
        py::list row = velmora::super(cls, self).attr("create")();
        row.append(input(self, py::int_(64), py::dict()));
        py::object button = m.attr("FileButtonClass")(py::str("set") + py::str(key), self.attr("title"),
                                                      self.attr("extension"), self.attr("saveAs"),
                                                      "target"_a = key);
        for (py::handle item : py::list(button.attr("create")())) row.append(item);
        return row;
    });
    defineFactory(m, "FileField", "FileFieldClass");
}

// Values read from JSON are lists where the options dictionary has tuples as keys.
py::object asKey(py::object value) {
    return py::isinstance<py::list>(value) ? py::object(py::tuple(value)) : value;
}

// The drop-down list is as wide as its box and gets a scrollbar when it holds more choices than it
// shows at once; the box is then made wider by the scrollbar, which would cover short texts
// ("USD") otherwise. The toolkit sizes the box to the longest choice and one character more.
void roomForScrollbar(py::object combo) {
    constexpr size_t shownChoices = 10, scrollbarWidth = 3;
    py::list choices = combo.attr("Values");
    if (choices.size() <= shownChoices) return;
    size_t longest = 0;
    for (py::handle choice : choices) longest = std::max(longest, py::len(py::str(choice)));
    combo.attr("Size") = py::make_tuple(longest + 1 + scrollbarWidth, py::none());
}

void defineSelectionField(py::module_ &m) {
    py::object cls = velmora::makeClass(m, "SelectionFieldClass", py::make_tuple(m.attr("FieldClass")));
    py::list noOptions;
    velmora::constructor(cls, [cls](py::object self, py::object key, py::object title, py::object options,
                                    py::object compact, py::kwargs kwargs) {
        velmora::super(cls, self).attr("__init__")(key, title, **kwargs);
        self.attr("options") = options;
        self.attr("revMap") = py::none();
        if (py::isinstance<py::dict>(options)) {
            py::dict choices = options;
            py::list labels;
            py::dict revMap;
            for (auto item : choices) {
                labels.append(item.second);
                revMap[item.second] = item.first;
            }
            self.attr("dspOptions") = labels;
            py::object initialValue = asKey(self.attr("initialValue"));
            if (hasKey(choices, initialValue)) initialValue = choices[initialValue];
            self.attr("initialValue") = initialValue;
            self.attr("revMap") = revMap;
        } else {
            self.attr("dspOptions") = options;
        }
        self.attr("compact") = compact;
    }, "key"_a, "title"_a, "options"_a = noOptions, "compact"_a = false);
    velmora::method(cls, "create", [cls](py::object self) {
        py::object combo = velmora::sg().attr("Combo")(self.attr("dspOptions"), "key"_a = self.attr("key"),
                                                       "readonly"_a = true, "enable_events"_a = true,
                                                       "default_value"_a = self.attr("initialValue"),
                                                       "tooltip"_a = self.attr("tooltip"));
        roomForScrollbar(combo);
        bool compact = velmora::truthy(self.attr("compact"));
        py::list row = compact ? py::list() : py::list(velmora::super(cls, self).attr("create")());
        row.append(combo);
        return row;
    });
    velmora::method(cls, "validate", [cls](py::object self, py::object window, py::object event,
                                           py::object values) {
        py::object key = self.attr("key");
        py::object revMap = self.attr("revMap");
        if (velmora::truthy(revMap)) {
            py::object newValue = values[key];
            if (hasKey(revMap, newValue)) newValue = revMap[newValue];
            values[key] = newValue;
        }
        return velmora::super(cls, self).attr("validate")(window, event, values);
    }, "window"_a, "event"_a, "values"_a);
    velmora::method(cls, "updateField", [cls](py::object self, py::object window, py::object newValue) {
        py::object realValue = newValue;
        py::object options = self.attr("options");
        if (py::isinstance<py::dict>(options)) {
            newValue = asKey(newValue);
            if (hasKey(options, newValue)) newValue = options[newValue];
        }
        velmora::super(cls, self).attr("updateField")(window, newValue, "realValue"_a = realValue);
    }, "window"_a, "newValue"_a);
    defineFactory(m, "SelectionField", "SelectionFieldClass");
}

void defineBoolField(py::module_ &m) {
    py::object cls = defineKind(m, "BoolFieldClass", "compact", py::bool_(false));
    velmora::method(cls, "create", [cls](py::object self) {
        bool compact = velmora::truthy(self.attr("compact"));
        py::object text = compact ? self.attr("title") : py::str("");
        py::object box = velmora::sg().attr("Checkbox")(text, "default"_a = self.attr("initialValue"),
                                                        "key"_a = self.attr("key"), "enable_events"_a = true,
                                                        "tooltip"_a = self.attr("tooltip"));
        py::list row = compact ? py::list() : py::list(velmora::super(cls, self).attr("create")());
        row.append(box);
        return row;
    });
    defineFactory(m, "BoolField", "BoolFieldClass");
}

}  // namespace

}  // namespace velmora::fields

PYBIND11_MODULE(fields, m) {
    using namespace velmora::fields;
    m.attr("logging") = py::module_::import("logging");
    m.attr("logger") = m.attr("logging").attr("getLogger")(m.attr("__file__"));
    m.attr("handlers") = py::dict();
    m.attr("config") = py::none();
    m.attr("userConfig") = py::dict();
    m.attr("manager") = py::none();
    m.attr("recreateNeeded") = false;
    m.attr("enterPressedOn") = py::none();
    defineFieldProvider(m);
    defineFieldClass(m);
    defineDateField(m);
    defineTextField(m);
    defineNumField(m);
    defineFileButton(m);
    defineFileField(m);
    defineSelectionField(m);
    defineBoolField(m);
    defineResolver(m);
    defineLoadedValueChecks(m);
}
