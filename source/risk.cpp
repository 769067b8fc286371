// The adapter to Riskfolio-Lib: its estimator codes, the capture of its performance table, the base of its methods, and the scope in which chart texts are recorded and drawn translated.
#include "pyclass.hpp"

#include <string>
#include <utility>

namespace {

py::object pyplot() { return py::module_::import("matplotlib.pyplot"); }

py::object translated(py::handle text) { return py::module_::import("builtins").attr("_")(text); }

// ---- Estimator codes ------------------------------------------------------------------------

py::dict riskMap() {
    py::dict map;
    map["sample_cov"] = py::make_tuple("MV", "hist");
    map["semicovariance"] = py::make_tuple("MSV", "hist");
    map["exp_cov"] = py::make_tuple("MV", "ewma1");
    map["ledoit_wolf"] = py::make_tuple("MV", "ledoit");
    map["ledoit_wolf_constant_variance"] = py::make_tuple("MV", "ledoit");
    map["ledoit_wolf_single_factor"] = py::make_tuple("MV", "ledoit");
    map["ledoit_wolf_constant_correlation"] = py::make_tuple("MV", "ledoit");
    map["oracle_approximating"] = py::make_tuple("MV", "oas");
    return map;
}

py::dict expectedMap() {
    py::dict map;
    map["mean_historical_return"] = "hist";
    map["ema_historical_return"] = "ewma1";
    map["capm_return"] = "JS";
    return map;
}

// ---- Capture of the library's performance table ---------------------------------------------

void defineDataCapturedException(py::module_ &m) {
    py::object cls = velmora::makeClass(m, "DataCapturedException", py::make_tuple(py::handle(PyExc_Exception)));
    velmora::constructor(cls, [cls](py::object self, py::object message, py::object data) {
        self.attr("message") = message;
        self.attr("data") = data;
        velmora::super(cls, self).attr("__init__")(message);
    }, "message"_a, "data"_a = py::none());
}

// Stands in for the axes of the library's table chart: the chart computes every figure and
// hands the finished cell texts to `table`, which throws them back instead of drawing.
void defineDummyAx(py::module_ &m) {
    py::object cls = velmora::makeClass(m, "DummyAx");
    velmora::method(cls, "get_figure", [](py::object self) {});
    velmora::method(cls, "set_axis_off", [](py::object self) {});
    velmora::method(cls, "axis", [](py::object self, py::args args) {});
    velmora::method(cls, "table", [m](py::object self, py::object cellText, py::kwargs kwargs) {
        velmora::raise(m.attr("DataCapturedException")("Data Captured", cellText));
    }, "cellText"_a = py::none());
}

// ---- Chart text translation -------------------------------------------------------------------

// The axes' text setter `name` in place of `saved`: it records the text as the drawing code
// gave it and draws the text in the interface language.
py::object textSetter(const py::module_ &m, py::handle axesClass, py::object saved, const char *name,
                      const char *textName) {
    return py::cpp_function([m, saved](py::object axes, py::object text, py::args args, py::kwargs kwargs) {
        m.attr("translations").attr("add")(text);
        return saved(axes, translated(text), *args, **kwargs);
    }, py::name(name), py::is_method(axesClass), py::arg(textName));
}

void restoreSetters(py::handle scope) {
    py::object axesClass = pyplot().attr("Axes");
    axesClass.attr("set_xlabel") = scope.attr("oldPltAxesSetXLabel");
    axesClass.attr("set_ylabel") = scope.attr("oldPltAxesSetYLabel");
    axesClass.attr("set_title") = scope.attr("oldPltAxesSetTitle");
}

void enterTranslation(const py::module_ &m, py::object self) {
    py::object axesClass = pyplot().attr("Axes");
    self.attr("oldPltAxesSetXLabel") = axesClass.attr("set_xlabel");
    self.attr("oldPltAxesSetYLabel") = axesClass.attr("set_ylabel");
    self.attr("oldPltAxesSetTitle") = axesClass.attr("set_title");
    self.attr("newPltAxesSetXLabel") = textSetter(m, axesClass, self.attr("oldPltAxesSetXLabel"), "set_xlabel", "label");
    self.attr("newPltAxesSetYLabel") = textSetter(m, axesClass, self.attr("oldPltAxesSetYLabel"), "set_ylabel", "label");
    self.attr("newPltAxesSetTitle") = textSetter(m, axesClass, self.attr("oldPltAxesSetTitle"), "set_title", "title");
    // Replaced on the class, so that axes made by code we do not own are reached as well.
    try {
        axesClass.attr("set_xlabel") = self.attr("newPltAxesSetXLabel");
        axesClass.attr("set_ylabel") = self.attr("newPltAxesSetYLabel");
        axesClass.attr("set_title") = self.attr("newPltAxesSetTitle");
    } catch (...) {
        restoreSetters(self);
        throw;
    }
}

bool leaveTranslation(py::object self, py::object type, py::object value, py::object traceback) {
    restoreSetters(self);
    return false;
}

void defineTranslateAxes(py::module_ &m) {
    py::object scope = velmora::newClass(m, "AxesTranslation");
    velmora::method(scope, "__enter__", std::as_const(m), &enterTranslation);
    velmora::method(scope, "__exit__", &leaveTranslation, "type"_a, "value"_a, "traceback"_a);
    m.def("translateAxes", [scope]() { return scope(); });
}

}  // namespace

PYBIND11_MODULE(risk, m) {
    m.attr("pd") = py::module_::import("pandas");
    m.attr("logger") = py::module_::import("logging").attr("getLogger")(m.attr("__name__"));
    m.attr("riskMap") = riskMap();
    m.attr("expectedMap") = expectedMap();
    defineDataCapturedException(m);
    defineDummyAx(m);
    m.attr("translations") = py::set();
    defineTranslateAxes(m);
}
