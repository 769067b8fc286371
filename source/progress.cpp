// The one-line progress meter: a bar, nine statistics lines in the process locale and a Cancel
// button.
#include "pyclass.hpp"

#include <string>

namespace {

void bindNames(py::module_ &m) {
    m.attr("_") = py::module_::import("gettext").attr("gettext");
    m.attr("locale") = py::module_::import("locale");
    m.attr("datetime") = py::module_::import("datetime");
    py::module_ sg = py::module_::import("PySimpleGUI");
    m.attr("sg") = sg;
    m.attr("T") = sg.attr("T");
    m.attr("ProgressBar") = sg.attr("ProgressBar");
    m.attr("Column") = sg.attr("Column");
    m.attr("Stretch") = sg.attr("Stretch");
    m.attr("Window") = sg.attr("Window");
    m.attr("METER_OK") = sg.attr("METER_OK");
    m.attr("METER_STOPPED") = sg.attr("METER_STOPPED");
    m.attr("METER_REASON_REACHED_MAX") = sg.attr("METER_REASON_REACHED_MAX");
    m.attr("DEFAULT_PROGRESS_BAR_SIZE") = sg.attr("DEFAULT_PROGRESS_BAR_SIZE");
}

// The caption is looked up in the default message domain, which the program never binds:
// the button shows "Cancel" in every language, and "Cancel" is the event the meter's
// update step takes for the user's stop.
void defineCancel(py::module_ &m) {
    m.def("Cancel", [m](py::object buttonText, py::kwargs kwargs) {
        if (buttonText.is_none()) buttonText = m.attr("_")("Cancel");
        return m.attr("sg").attr("Cancel")("button_text"_a = buttonText, **kwargs);
    }, "button_text"_a = py::none());
}

py::str messageText(const py::args &args) {
    std::string text;
    for (py::handle argument : args) text += py::str(argument).cast<std::string>() + "\n";
    return py::str(text);
}

// The columns side by side in the meter's window: horizontal, one column with the bar under
// the texts; vertical, an upright bar in a column of its own beside the texts.
py::list meterColumns(const py::module_ &m, py::object self, const py::args &args) {
    bool horizontal = py::str(self.attr("orientation")).attr("lower")().attr("startswith")("h").cast<bool>();
    py::object message = m.attr("T")(messageText(args), "key"_a = "-OPTMSG-");
    py::object stats = m.attr("T")("", "size"_a = py::make_tuple(30, 10), "key"_a = "-STATS-");
    py::object bar = m.attr("ProgressBar")("max_value"_a = self.attr("max_value"),
                                           "orientation"_a = horizontal ? "h" : "v", "key"_a = "-PROG-",
                                           "size"_a = self.attr("size"),
                                           "bar_color"_a = self.attr("bar_color"));
    using velmora::list;
    py::list texts = list({list({message}), list({stats})});
    if (horizontal) texts.append(list({bar}));
    if (!velmora::truthy(self.attr("no_button")))
        texts.append(list({m.attr("Cancel")("button_color"_a = self.attr("button_color")),
                           m.attr("Stretch")()}));
    if (horizontal) return list({m.attr("Column")(texts)});
    return list({m.attr("Column")(list({list({bar})})), m.attr("Column")(texts)});
}

py::object buildWindow(const py::module_ &m, py::object self, py::args args, py::kwargs kwargs) {
    py::list rows = velmora::list({meterColumns(m, self, args)});
    py::object window = m.attr("Window")(self.attr("title"), "grab_anywhere"_a = self.attr("grab_anywhere"),
                                         "border_depth"_a = self.attr("border_width"),
                                         "no_titlebar"_a = self.attr("no_titlebar"), "disable_close"_a = true,
                                         "keep_on_top"_a = self.attr("keep_on_top"), **kwargs);
    window.attr("Layout")(rows).attr("Finalize")();
    self.attr("window") = window;
    return window;
}

// The duration as the clock shows it, the fraction of a second cut off.
py::object shortDuration(py::handle duration) { return py::str(duration).attr("split")(".")[py::int_(0)]; }

py::object computeProgressStats(const py::module_ &m, py::object self) {
    py::object datetime = m.attr("datetime");
    py::object current = self.attr("current_value");
    py::object maximum = self.attr("max_value");
    py::object utc = datetime.attr("datetime").attr("utcnow")();
    py::object timeDelta = utc - self.attr("start_time");
    py::object totalSeconds = timeDelta.attr("total_seconds")();
    if (!velmora::truthy(totalSeconds)) totalSeconds = py::int_(1);
    py::object timePerItem;
    try {
        timePerItem = totalSeconds / current;
    } catch (py::error_already_set &) {
        timePerItem = py::int_(1);
    }
    py::object secondsRemaining = (maximum - current) * timePerItem;
    py::object remaining = datetime.attr("timedelta")("seconds"_a = secondsRemaining);
    py::object totalTime = timeDelta + remaining;
    py::object hundredfold = py::int_(100) * current;
    py::object percent =
        py::reinterpret_steal<py::object>(PyNumber_FloorDivide(hundredfold.ptr(), maximum.ptr()));
    if (!percent) throw py::error_already_set();

    py::object _ = m.attr("_");
    py::list lines;
    lines.append(
        _("{} of {}").attr("format")(velmora::localeFormat("%d", current), velmora::localeFormat("%d", maximum)));
    lines.append(_("{} %").attr("format")(percent));
    lines.append("");
    py::object perSecond = current / totalSeconds;
    lines.append(_(" {} Iterations per Second").attr("format")(velmora::localeFormat("%6.2f", perSecond)));
    py::object perItem = totalSeconds / (velmora::truthy(current) ? current : py::object(py::int_(1)));
    lines.append(_(" {} Seconds per Iteration").attr("format")(velmora::localeFormat("%6.2f", perItem)));
    lines.append("");
    lines.append(_("{} Elapsed Time").attr("format")(shortDuration(timeDelta)));
    lines.append(_("{} Time Remaining").attr("format")(shortDuration(remaining)));
    lines.append(_("{} Estimated Total Time").attr("format")(shortDuration(totalTime)));
    self.attr("stat_messages") = lines;
    return lines;
}

void constructMeter(const py::module_ &m, py::object self, py::object title, py::object currentValue,
                    py::object maxValue, py::object key, py::args args, py::object orientation,
                    py::object barColor, py::object buttonColor, py::object size, py::object borderWidth,
                    py::object grabAnywhere, py::object noTitlebar, py::object keepOnTop, py::object noButton,
                    py::kwargs kwargs) {
    self.attr("start_time") = m.attr("datetime").attr("datetime").attr("utcnow")();
    py::dict state("key"_a = key, "orientation"_a = orientation, "bar_color"_a = barColor, "size"_a = size,
                   "grab_anywhere"_a = grabAnywhere, "button_color"_a = buttonColor,
                   "border_width"_a = borderWidth, "no_titlebar"_a = noTitlebar, "title"_a = title,
                   "current_value"_a = currentValue, "max_value"_a = maxValue, "close_reason"_a = py::none(),
                   "keep_on_top"_a = keepOnTop, "no_button"_a = noButton);
    for (auto [name, value] : state) py::setattr(self, name, value);
    self.attr("window") = self.attr("BuildWindow")(*args, **kwargs);
}

void defineQuickMeter(py::module_ &m) {
    // The toolkit's own meter class: its update step and both registries are inherited, so
    // the toolkit's closing function finds the meters opened here. This toolkit release
    // keeps the class private to its inner module.
    py::object base = py::module_::import("PySimpleGUI.PySimpleGUI").attr("_QuickMeter");
    py::object meter = velmora::makeClass(m, "QuickMeter", py::make_tuple(base));
    py::object noColours = py::make_tuple(py::none(), py::none());
    velmora::constructor(meter, m, &constructMeter, "title"_a, "current_value"_a, "max_value"_a, "key"_a,
                         py::kw_only(), "orientation"_a = "v", "bar_color"_a = noColours,
                         "button_color"_a = noColours, "size"_a = m.attr("DEFAULT_PROGRESS_BAR_SIZE"),
                         "border_width"_a = py::none(), "grab_anywhere"_a = false, "no_titlebar"_a = false,
                         "keep_on_top"_a = py::none(), "no_button"_a = false);
    velmora::method(meter, "BuildWindow", m, &buildWindow);
    velmora::method(meter, "ComputeProgressStats", m, &computeProgressStats);
}

// The call that opens a meter takes the keyword options and extra window keywords; later
// calls only update it.
py::object oneLineProgressMeter(const py::module_ &m, py::object title, py::object currentValue,
                                py::object maxValue, py::args args, py::object key, py::object orientation,
                                py::object barColor, py::object buttonColor, py::object size,
                                py::object borderWidth, py::object grabAnywhere, py::object noTitlebar,
                                py::object keepOnTop, py::object noButton, py::kwargs kwargs) {
    py::object meterClass = m.attr("QuickMeter");
    py::dict active = meterClass.attr("active_meters");
    if (!active.contains(key)) {
        active[key] = meterClass(title, currentValue, maxValue, key, *args, "orientation"_a = orientation,
                                 "bar_color"_a = barColor, "button_color"_a = buttonColor, "size"_a = size,
                                 "border_width"_a = borderWidth, "grab_anywhere"_a = grabAnywhere,
                                 "no_titlebar"_a = noTitlebar, "keep_on_top"_a = keepOnTop,
                                 "no_button"_a = noButton, **kwargs);
        meterClass.attr("exit_reasons")[key] = py::none();
    }
    active[key].attr("UpdateMeter")(currentValue, maxValue, *args);
    py::object entry = m.attr("one_line_progress_meter");
    if (!py::hasattr(entry, "exit_reasons")) entry.attr("exit_reasons") = meterClass.attr("exit_reasons");
    py::object reason = entry.attr("exit_reasons").attr("get")(key);
    bool goOn = reason.is_none() || reason.equal(m.attr("METER_REASON_REACHED_MAX"));
    return goOn ? m.attr("METER_OK") : m.attr("METER_STOPPED");
}

// The entry point carries the attribute `exit_reasons`, which a built-in function cannot
// hold, so it is published as a transparent wrapper around the compiled function.
void defineEntry(py::module_ &m) {
    py::cpp_function compiled(
        velmora::withModule(m, &oneLineProgressMeter), py::name("one_line_progress_meter"), py::scope(m),
        "title"_a, "current_value"_a, "max_value"_a, py::kw_only(), "key"_a = "OK for 1 meter",
        "orientation"_a = "v", "bar_color"_a = py::make_tuple(py::none(), py::none()),
        "button_color"_a = py::none(), "size"_a = m.attr("DEFAULT_PROGRESS_BAR_SIZE"),
        "border_width"_a = py::none(), "grab_anywhere"_a = false, "no_titlebar"_a = false,
        "keep_on_top"_a = py::none(), "no_button"_a = false);
    py::module_ functools = py::module_::import("functools");
    py::object entry = functools.attr("update_wrapper")(functools.attr("partial")(compiled), compiled);
    m.attr("one_line_progress_meter") = entry;
    m.attr("OneLineProgressMeter") = entry;
}

}  // namespace

PYBIND11_MODULE(progress, m) {
    bindNames(m);
    defineCancel(m);
    defineQuickMeter(m);
    defineEntry(m);
}
