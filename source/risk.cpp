// The adapter to Riskfolio-Lib: its estimator codes, the capture of its performance table, the base of its methods, and the scope in which chart texts are recorded and drawn translated.
#include "riskfolio.hpp"

#include <string>
#include <utility>

namespace {

using velmora::pyplot;

// gettext answers the empty text with the catalogue's header, which an emptied label would
// then show; empty texts are drawn as they are.
py::object translated(py::handle text) {
    if (py::isinstance<py::str>(text) && py::len(text) == 0) return py::reinterpret_borrow<py::object>(text);
    return py::module_::import("builtins").attr("_")(text);
}

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
    py::object cls =
        velmora::makeClass(m, "DataCapturedException", py::make_tuple(py::handle(PyExc_Exception)));
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

// ---- RiskFolio -----------------------------------------------------------------------------

// The weights table's rows as a mapping, in the table's order, weights below the cutoff (if
// any) set to 0 as PyPortfolioOpt's optimisers give them. No stock is left out: the pruning
// keeps a few of the largest weights whatever they are, so that the second pass can still
// meet the maximum weight, and it can count only the stocks it is given.
py::dict weightsOf(py::handle w, py::handle cutoff) {
    py::dict weights;
    for (py::handle row : w[py::str("weights")].attr("items")()) {
        py::object weight = row[py::int_(1)];
        weights[row[py::int_(0)]] = cutoff.is_none() || weight >= cutoff ? weight : py::float_(0.0);
    }
    return weights;
}

// The library draws its table only for two stocks or more; a lone stock is shown beside a
// placeholder of weight 0. The placeholder goes into copies: the returns table is the one
// the portfolio holds and draws its charts from.
py::tuple tableInputs(const py::module_ &m, py::object returns, py::object w) {
    if (py::len(w) >= 2) return py::make_tuple(returns, w);
    py::object pd = m.attr("pd");
    py::list zero;
    zero.append(0);
    py::list placeholder;
    placeholder.append("@@@");
    py::object row = pd.attr("DataFrame")(py::dict("weights"_a = zero), "index"_a = placeholder);
    py::object shownReturns = returns.attr("copy")();
    shownReturns[py::str("@@@")] = 0;
    return py::make_tuple(shownReturns, pd.attr("concat")(py::make_tuple(w, row)));
}

// ---- The table's solves, bounded -----------------------------------------------------------------

// The table's RLVaR and RLDaR rows each solve a power-cone program over every day of the
// history. Where CLARABEL, the library's first solver, gives up (as it does on many series of
// real returns), the library turns to SCS, whose default settings take up to minutes on years
// of daily returns. SCS here stops after a fixed number of iterations, from an initial scale at
// which it comes close to the library's own figure within them: on real series of three to ten
// years its figure lay within 0.3 % of the library's, at about a second and a half at most.
// Where CLARABEL succeeds, the figure is the library's.
constexpr int scsIterations = 500;
constexpr double scsScale = 10.0;

// cvxpy's solve, SCS held to the bound above; every other solver solves as it would.
py::object boundedSolve(py::object problemClass) {
    py::object solve = problemClass.attr("solve");
    return py::cpp_function(
        [solve](py::object problem, py::args args, py::kwargs kwargs) -> py::object {
            if (kwargs.contains("solver") && py::str(kwargs["solver"]).equal(py::str("SCS"))) {
                kwargs["max_iters"] = scsIterations;
                kwargs["scale"] = scsScale;
            }
            return solve(problem, *args, **kwargs);
        },
        py::name("solve"), py::is_method(problemClass));
}

// The cell texts of the library's performance table, computed by the library and never drawn.
py::object capturedTable(const py::module_ &m, py::object returns, py::object w) {
    py::tuple shown = tableInputs(m, returns, w);
    py::object problemClass = py::module_::import("cvxpy").attr("Problem");
    try {
        velmora::withReplaced(problemClass, "solve", boundedSolve(problemClass), [&] {
            return velmora::riskfolio::library().attr("plot_table")(shown[0], shown[1],
                                                                    "ax"_a = m.attr("DummyAx")());
        });
    } catch (py::error_already_set &error) {
        if (!error.matches(m.attr("DataCapturedException"))) throw;
        return error.value().attr("data");
    }
    return py::none();
}

py::list column(py::handle cells, int index) {
    return py::list(cells[py::make_tuple(py::slice(py::none(), py::none(), py::none()), index)]);
}

// The pipeline shows every figure a hundredfold, so each comes as a hundredth of the number in
// the library's table: percent figures as fractions, and skewness, kurtosis and the other
// figures without "%" so that they show in the library's own scale. Heading rows have no value.
py::object figureOf(py::handle text) {
    try {
        if (!py::isinstance<py::str>(text) || !velmora::truthy(text)) return py::str("");
        std::string figure = text.cast<std::string>();
        if (figure.ends_with('%')) figure.pop_back();
        return py::float_(py::float_(py::str(figure)).cast<double>() / 100.0);
    } catch (py::error_already_set &) {
        return py::str("");
    }
}

py::object computeRecommendation2(const py::module_ &m, py::object self, py::object owner) {
    self.attr("owner") = owner;
    py::object prices = owner.attr("prices");
    py::object returns = prices.attr("pct_change")().attr("dropna")();
    py::object allocation = owner.attr("config").attr("allocation");
    py::tuple codes = m.attr("riskMap")[allocation.attr("riskMethod")];
    self.attr("rm") = codes[0];
    self.attr("riskMethod") = codes[1];
    self.attr("method") = m.attr("expectedMap")[allocation.attr("returnMethod")];
    py::object benchmark = allocation.attr("benchmark");
    py::object tradingDays = allocation.attr("tradingDaysPerYear");
    self.attr("rf") = benchmark / py::int_(100) / tradingDays;
    self.attr("createPortfolioObject")("returns"_a = returns);
    py::object w = self.attr("w");
    self.attr("weights") = weightsOf(w, py::none());
    // The table costs seconds (its drawdown and relativistic figures solve programs over the
    // whole history), so it is made once, for the solve whose figures are asked for.
    self.attr("tableInputs") = py::make_tuple(returns, w);
    self.attr("values") = py::none();
    return self;
}

// The figures of the last solve, from the library's table: its row names become `results`.
py::object portfolioPerformance(const py::module_ &m, py::object self, py::object riskFreeRate,
                                py::object frequency) {
    if (!py::getattr(self, "values", py::none()).is_none()) return self.attr("values");
    py::tuple inputs = self.attr("tableInputs");
    py::object cells = capturedTable(m, inputs[0], inputs[1]);
    py::list results = column(cells, 0);
    self.attr("results") = results;
    m.attr("translations").attr("update")(results);
    py::list values;
    for (py::handle text : column(cells, 1)) values.append(figureOf(text));
    self.attr("values") = values;
    return values;
}

void defineRiskFolio(py::module_ &m) {
    py::object cls = velmora::makeClass(m, "RiskFolio",
                                        py::make_tuple(velmora::classOf("rmethod", "RecommendationMethod")));
    cls.attr("results") = py::list();
    cls.attr("twoPhase") = false;
    velmora::method(cls, "computeRecommendation2", std::as_const(m), &computeRecommendation2, "owner"_a);
    velmora::method(cls, "clean_weights", [](py::object self, py::object cutoff, py::object rounding) {
        py::dict weights = weightsOf(self.attr("w"), cutoff);
        self.attr("weights") = weights;
        return weights;
    }, "cutoff"_a = 0.0, "rounding"_a = false);
    velmora::method(cls, "portfolio_performance", std::as_const(m), &portfolioPerformance,
                    "risk_free_rate"_a = 0.0, "frequency"_a = 252);
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
    self.attr("newPltAxesSetXLabel") =
        textSetter(m, axesClass, self.attr("oldPltAxesSetXLabel"), "set_xlabel", "label");
    self.attr("newPltAxesSetYLabel") =
        textSetter(m, axesClass, self.attr("oldPltAxesSetYLabel"), "set_ylabel", "label");
    self.attr("newPltAxesSetTitle") =
        textSetter(m, axesClass, self.attr("oldPltAxesSetTitle"), "set_title", "title");
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
    defineRiskFolio(m);
    m.attr("translations") = py::set();
    defineTranslateAxes(m);
}
