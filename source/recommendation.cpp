// The recommendation tab: the allocation form with its method registry, the allocation run with its
// backtest, the display of tables and charts, the user configuration file and the PDF and Excel exports.
#include "pyclass.hpp"
#include "window.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>

namespace {

using Rows = std::initializer_list<std::pair<const char *, const char *>>;

// Fractional share counts are shown, printed and exported with this many decimals.
constexpr int shareDecimals = 4;

py::object emptyRecommendation() {
    py::list columns = velmora::list({"Symbol", "Security Name", "Weight", "Price", "Count", "Value"});
    return velmora::pandas().attr("DataFrame")("columns"_a = columns);
}

py::object emptyResults() {
    return velmora::pandas().attr("DataFrame")("columns"_a = velmora::list({"Name", "Value"}));
}

// The graphs and run state that a new run or a clearing replaces, in the order they are reset: what
// the tab shows and exports besides the two tables. `resultCutOffDate` is the cut-off date the shown
// result was computed with, so that the caption tells of the result and not of a later setting.
constexpr std::initializer_list<const char *> runState = {
    "analysisGraph", "analysisGraph2",  "weightGraph",       "backtestGraph",   "drawdownGraph", "methodObj",
    "futureValue",   "cleanedWeights", "recommendationWrk", "returns",         "resultCutOffDate"};

// The estimation inputs a run sets on the provider, which the method object of the shown result
// may read again when the report draws its analysis.
constexpr std::initializer_list<const char *> ownerState = {
    "prices",  "historicReturns", "expectedReturns", "benchmarkPerDay", "frequency",
    "maxWeight", "minWeight",     "fractional",      "optimizer"};

// Letter was stored in points before the paper size was kept in hundredths of an inch.
void mendPaperSize(py::handle tree) {
    if (tree.is_none() || !tree.contains("print") || !py::isinstance<py::dict>(tree["print"])) return;
    py::object print = tree["print"];
    if (!print.contains("paperSize")) return;
    py::object size = print["paperSize"];
    if ((py::isinstance<py::list>(size) || py::isinstance<py::tuple>(size)) &&
        py::list(size).equal(velmora::list({py::int_(612), py::int_(792)})))
        print["paperSize"] = velmora::list({py::int_(850), py::int_(1100)});
}

// ---------------------------------------------------------------------------------------
// The language shown

// The catalogue and the locale are set together whenever a window is made, and the locale can be
// asked: it tells the language the charts of a result were drawn in.
py::object languageShown() {
    py::object locale = py::module_::import("locale");
    return locale.attr("setlocale")(locale.attr("LC_ALL"));
}

// Every translation of the program's catalogues, back to the program's own text. A result keeps
// the names of the language it was made in, a method those of the language it was loaded in;
// through these they are shown in the language of now.
py::dict ownTexts() {
    py::dict own;
    py::object gettext = py::module_::import("gettext");
    for (py::handle path : py::module_::import("glob").attr("glob")("locale/*/LC_MESSAGES/velmora.mo")) {
        py::object opened = velmora::builtins().attr("open")(path, "rb");
        py::object catalogue =
            velmora::within(opened, [&](py::object file) { return gettext.attr("GNUTranslations")(file); });
        for (auto [text, translation] : py::dict(catalogue.attr("_catalog")))
            if (py::isinstance<py::str>(text) && py::len(text) > 0) own[translation] = text;
    }
    return own;
}

// The empty text stays empty: the catalogue would answer it with its header.
py::object textInLanguageShown(py::dict own, py::handle text) {
    if (!py::isinstance<py::str>(text) || py::len(text) == 0) return py::reinterpret_borrow<py::object>(text);
    py::object source = own.contains(text) ? own[text] : py::reinterpret_borrow<py::object>(text);
    return velmora::builtins().attr("_")(source);
}

// The results with their names in the language shown; the same table when nothing changes.
py::object inLanguageShown(py::object results) {
    if (!results.attr("columns").contains("Name")) return results;
    py::dict own = ownTexts();
    py::list names;
    bool changed = false;
    for (py::handle name : results["Name"].attr("tolist")()) {
        py::object shown = textInLanguageShown(own, name);
        changed = changed || !(shown.is(name) || shown.equal(name));
        names.append(shown);
    }
    if (!changed) return results;
    py::object relabelled = results.attr("copy")();
    relabelled["Name"] = names;
    return relabelled;
}

// Only the texts change: setting a title anew would also reset the font its chart gave it.
void relabelFigure(py::dict own, py::handle figure) {
    for (py::handle ax : figure.attr("axes")) {
        for (py::object text : {py::object(ax.attr("title")), py::object(ax.attr("xaxis").attr("label")),
                                py::object(ax.attr("yaxis").attr("label"))})
            text.attr("set_text")(textInLanguageShown(own, text.attr("get_text")()));
        py::object legend = ax.attr("get_legend")();
        if (legend.is_none()) continue;
        py::object title = legend.attr("get_title")();
        title.attr("set_text")(textInLanguageShown(own, title.attr("get_text")()));
    }
}

// A number as the tables write it: with the decimal mark and the grouping of the locale.
py::object localeNumber(py::handle value, size_t decimals) {
    py::str format = py::str("%.{}f").format(decimals);
    return py::module_::import("locale").attr("format_string")(format, value, "grouping"_a = true);
}

// A figure in percent as the charts write it: "12.50%", in German "12,50 %".
py::object percentText(py::handle percent, size_t decimals = 2) {
    return velmora::translate("{}%").attr("format")(localeNumber(percent, decimals));
}

// The numbers that the chart library writes into a text ("95.00% Confidence", "RLDaR (0.3)",
// ": -5.74%") as the tables write numbers, each with the decimals it had.
py::object withLocaleNumbers(py::handle text) {
    auto rewrite = [](py::object match) -> py::object {
        py::str digits = match.attr("group")(1);
        py::ssize_t point = digits.attr("find")(".").cast<py::ssize_t>();
        size_t decimals = point < 0 ? 0 : py::len(digits) - static_cast<size_t>(point) - 1;
        py::object value = velmora::builtins().attr("float")(digits);
        if (velmora::truthy(match.attr("group")(2))) return percentText(value, decimals);
        return localeNumber(value, decimals);
    };
    return py::module_::import("re").attr("sub")(R"((-?\d+(?:\.\d+)?)(%?))", py::cpp_function(rewrite), text);
}

// A legend entry of the drawdown chart, "Ulcer Index: -3.43%" or "95.00% Confidence DaR: -9.04%",
// with the measure named in the language shown and its numbers written as the tables write them.
py::object shownLabel(py::dict own, py::handle label) {
    std::string text = py::str(label).cast<std::string>();
    size_t colon = text.rfind(": ");
    if (text.empty() || text[0] == '_' || colon == std::string::npos)
        return py::reinterpret_borrow<py::object>(label);
    std::string name = text.substr(0, colon);
    py::str figure(text.substr(colon));
    const std::string confidence = " Confidence ";
    size_t at = name.find(confidence);
    if (at == std::string::npos)
        return withLocaleNumbers(py::str(textInLanguageShown(own, py::str(name))) + figure);
    py::object shown = velmora::translate("{} Confidence {}")
                           .attr("format")(name.substr(0, at), name.substr(at + confidence.size()));
    return withLocaleNumbers(py::str(shown) + figure);
}

// The y axis of a chart in percent: its ticks, fractions, labelled as the tables write numbers.
void percentTicks(py::handle ax, py::list ticks) {
    py::list labels;
    for (py::handle tick : ticks) labels.append(percentText(tick * py::int_(100)));
    ax.attr("set_yticks")(ticks);
    ax.attr("set_yticklabels")(labels);
}

void relabelLegends(py::dict own, py::handle figure) {
    for (py::handle ax : figure.attr("axes")) {
        py::object legend = ax.attr("get_legend")();
        if (legend.is_none()) continue;
        for (py::handle text : legend.attr("get_texts")())
            text.attr("set_text")(shownLabel(own, text.attr("get_text")()));
    }
}

// Draws the result held again when the window is made in another language (further below).
void showInLanguage(const py::module_ &m, py::object self);

// ---------------------------------------------------------------------------------------
// Construction and the tab

void construct(const py::module_ &m, py::object self, py::object config, py::object providerManager,
               py::object userConfigParm, py::kwargs kwargs) {
    self.attr("config") = config;
    self.attr("userConfig") = userConfigParm;
    self.attr("providerManager") = providerManager;
    // Before any tab is built: the settings tab shows the paper size these trees hold.
    mendPaperSize(config);
    mendPaperSize(userConfigParm);
    velmora::super(m.attr("RecommendationProvider"), self).attr("__init__")(config, **kwargs);
    // Read only to record the data and selection providers as dependencies.
    self.attr("__getitem__")("prices");
    self.attr("__getitem__")("stocks");
    self.attr("__setitem__")("Recommendation", emptyRecommendation());
    self.attr("__setitem__")("Results", emptyResults());
    for (const char *name : runState) self.attr(name) = py::none();
}

// Stored value -> shown text, in the order of the choices; the texts translated when asked.
py::dict options(Rows rows, bool translated = true) {
    py::dict result;
    for (const auto &[stored, shown] : rows)
        result[stored] = translated ? velmora::translate(shown) : py::str(shown);
    return result;
}

py::dict rule(std::initializer_list<const char *> methods, py::object value) {
    py::dict result;
    for (const char *method : methods) result[method] = value;
    return result;
}

// Whether the configuration asks for a backtest. A hand-edited configuration may hold a
// date that is no text; it is shown as written, and the run reports what it makes of it.
bool hasCutOffDate(py::handle cutOffDate) { return !cutOffDate.is_none() && velmora::truthy(cutOffDate); }

// The caption of a result computed with the cut-off date.
py::object resultCaption(py::object cutOffDate) {
    if (hasCutOffDate(cutOffDate)) return velmora::translate("Backtest Portfolio for ") + py::str(cutOffDate);
    return velmora::translate("Current Recommendation");
}

// The caption before the first run; a window made anew once a run has been shown keeps its caption.
py::object initialCaption(py::object self) {
    py::object resultCutOffDate = self.attr("resultCutOffDate");
    if (!resultCutOffDate.is_none()) return resultCaption(resultCutOffDate);
    py::object cutOffDate = self.attr("config").attr("allocation").attr("cutOffDate");
    if (hasCutOffDate(cutOffDate)) return velmora::translate("Backtest from ") + py::str(cutOffDate);
    return velmora::translate("Current Recommendation");
}

py::list parameterForm(py::object self) {
    py::object fields = py::module_::import("fields");
    auto tr = [](const char *text) { return velmora::translate(text); };
    py::dict availableMethods = options({
        {"minvol.MinVolatility", "Minimum Volatility"},
        {"maxsharpe.MaxSharpe", "Maximum Sharpe"},
        {"minsemi.MinSemi", "Minimum Semivariance"},
        {"hrp.HRP", "Hierarchical Risk Parity"},
        {"deopt.MinVolatility2", "Minimum Volatility Differential Evolution"},
        {"deopt.MaxSharpe2", "Maximum Sharpe Differential Evolution"},
        {"riskef.RiskFolioEF", "Risk Folio Efficient Frontier"},
        {"riskhrp.RiskFolioHRP", "Risk Folio Hierarchical Risk Parity"},
    });
    py::dict riskMethods = options({{"sample_cov", "Sample Covariance"},
                                    {"semicovariance", "Semi Covariance"},
                                    {"exp_cov", "Exponential Covariance"},
                                    {"ledoit_wolf", "Ledoit Wolf"},
                                    {"ledoit_wolf_constant_variance", "Ledoit Wolf Constant Variance"},
                                    {"ledoit_wolf_single_factor", "Ledoit Wolf Single Factor"},
                                    {"ledoit_wolf_constant_correlation", "Ledoit Wolf Constant Correlation"},
                                    {"oracle_approximating", "Oracle Approximation"}});
    py::dict availableReturns = options({{"mean_historical_return", "Mean Historic"},
                                         {"ema_historical_return", "Exponentially Weighted Historic"},
                                         {"capm_return", "Capital Asset Pricing Model"}});
    py::dict availableLinkage = options({{"single", "Single"},
                                         {"complete", "Complete"},
                                         {"average", "Average"},
                                         {"weighted", "Weighted"},
                                         {"centroid", "Centroid"},
                                         {"median", "Median"},
                                         {"ward", "Ward"}});
    // Objective names are the optimisers' own terms and are shown as they are.
    py::dict availableObjectives =
        options({{"MinRisk", "MinRisk"}, {"Utility", "Utility"}, {"Sharpe", "Sharpe"}, {"ERC", "ERC"},
                 {"MaxRet", "MaxRet"}},
                false);

    py::dict objectiveRule;
    objectiveRule["minvol.MinVolatility"] = "MinRisk";
    objectiveRule["maxsharpe.MaxSharpe"] = "Sharpe";
    objectiveRule["minsemi.MinSemi"] = "MinRisk";
    objectiveRule["hrp.HRP"] = "Utility";
    objectiveRule["deopt.MinVolatility2"] = "MinRisk";
    objectiveRule["deopt.MaxSharpe2"] = "Sharpe";
    py::dict linkageRule = rule({"minvol.MinVolatility", "maxsharpe.MaxSharpe", "minsemi.MinSemi",
                                 "cvar.CVaR", "deopt.MaxSharpe2", "deopt.MinVolatility2"},
                                py::str("single"));
    py::dict betaRule = rule({"minvol.MinVolatility", "maxsharpe.MaxSharpe", "minsemi.MinSemi", "hrp.HRP",
                              "deopt.MaxSharpe2", "deopt.MinVolatility2"},
                             py::int_(95));
    py::dict riskRule = rule({"minsemi.MinSemi"}, py::str("semicovariance"));
    py::dict returnRule = rule({"hrp.HRP"}, py::str("mean_historical_return"));
    py::dict gammaRule =
        rule({"hrp.HRP", "cvar.CVaR", "deopt.MaxSharpe2", "deopt.MinVolatility2"}, py::float_(100.0));

    py::object num = fields.attr("NumField"), select = fields.attr("SelectionField");
    // Method is created before its dependants: each registers with it when created.
    py::list form = velmora::list({
        num("Capital", tr("Capital"), "configPath"_a = "allocation.capital", "maxValue"_a = 1000000000,
            "minValue"_a = 100, "isInt"_a = true),
        select("Method", tr("Method"), "configPath"_a = "allocation.method", "options"_a = availableMethods),
        select("Objective", tr("Objective"), "configPath"_a = "allocation.objective",
               "options"_a = availableObjectives, "dependingOn"_a = "Method",
               "dependencyRule"_a = objectiveRule),
        select("RiskMethod", tr("Risk Method"), "configPath"_a = "allocation.riskMethod",
               "options"_a = riskMethods, "dependingOn"_a = "Method", "dependencyRule"_a = riskRule),
        select("ReturnMethod", tr("Expected Returns"), "configPath"_a = "allocation.returnMethod",
               "options"_a = availableReturns, "dependingOn"_a = "Method", "dependencyRule"_a = returnRule),
        select("LinkageMethod", tr("Linkage Method"), "configPath"_a = "allocation.linkageMethod",
               "options"_a = availableLinkage, "dependingOn"_a = "Method", "dependencyRule"_a = linkageRule),
        num("MinWeight", tr("Min Weight"), "configPath"_a = "allocation.minWeight", "precision"_a = 2,
            "maxValue"_a = 100),
        num("MaxWeight", tr("Max Weight"), "configPath"_a = "allocation.maxWeight", "precision"_a = 2,
            "maxValue"_a = 100),
        num("Benchmark", tr("Benchmark"), "configPath"_a = "allocation.benchmark", "precision"_a = 2,
            "maxValue"_a = 20),
        num("Beta", tr("Beta"), "configPath"_a = "allocation.beta", "dependingOn"_a = "Method",
            "dependencyRule"_a = betaRule, "minValue"_a = 80, "precision"_a = 2, "maxValue"_a = 100),
        num("Gamma", tr("Gamma"), "configPath"_a = "allocation.gamma", "precision"_a = 2,
            "dependingOn"_a = "Method", "dependencyRule"_a = gammaRule, "minValue"_a = 0),
    });
    return form;
}

// The labels of both frames as wide as the longest of them in the language shown: the fields' own
// width cuts longer translations ("Verknüpfungsmethode").
void widenLabels(std::initializer_list<py::list> frames) {
    constexpr size_t fieldsWidth = 15;
    size_t longest = fieldsWidth;
    for (const py::list &rows : frames)
        for (py::handle fieldRow : rows)
            longest = std::max(longest, py::len(fieldRow[py::int_(0)].attr("DisplayText")) + 1);
    for (const py::list &rows : frames)
        for (py::handle fieldRow : rows) fieldRow[py::int_(0)].attr("Size") = py::make_tuple(longest, 1);
}

py::list leftColumn(py::object self, py::list optimizationParms, py::list backtestParms) {
    py::object g = velmora::sg();
    auto tr = [](const char *text) { return velmora::translate(text); };
    auto button = [&](const char *key, const char *text) {
        return g.attr("Button")("key"_a = key, "button_text"_a = tr(text));
    };
    py::object caption = initialCaption(self);
    return velmora::list({
        velmora::list({g.attr("Frame")(tr("Optimization Parameters"), optimizationParms)}),
        velmora::list({g.attr("Frame")(tr("Backtest Parameters"), backtestParms, "key"_a = "BacktestParms")}),
        velmora::list({g.attr("Text")("")}),
        velmora::list({button("UpdateConfig", "Update"), button("LoadConfig", "Load Config"),
                       button("SaveConfig", "Save Config")}),
        velmora::list({button("SaveGraph", "Save Graph"), button("SaveExcel", "Save Excel"),
                       button("HelpRecommendation", "Help")}),
        velmora::list({g.attr("Text")("")}),
        velmora::list(
            {g.attr("Text")(caption, "key"_a = "resultType", "font"_a = py::make_tuple("Helvetica", 14))}),
    });
}

py::list chartTabs(py::object self) {
    py::object chartTab = py::module_::import("chart").attr("ChartTab");
    // Made without their images, which `bind` shows once the window is laid out.
    auto tab = [&](const char *title, const char *key) {
        return chartTab(velmora::translate(title), "key"_a = key, "expand_x"_a = true);
    };
    return velmora::list({
        velmora::list({chartTab(velmora::translate("Analysis 1"), "key"_a = "analysisChart",
                                "expand_x"_a = true, "expand_y"_a = true, "size"_a = py::make_tuple(50, 70))}),
        velmora::list({tab("Analysis 2", "analysisChart2")}),
        velmora::list({tab("Allocation", "allocationChart")}),
        velmora::list({tab("Backtest", "backtestChart")}),
        velmora::list({tab("Drawdown", "drawdownChart")}),
    });
}

py::object createTab(const py::module_ &m, py::object self, py::kwargs kwargs) {
    showInLanguage(m, self);
    py::object g = velmora::sg();
    py::object tableClass = py::module_::import("table").attr("Table");
    self.attr("title") = velmora::translate("Recommendation");
    py::object recommendation = self.attr("__getitem__")("Recommendation");
    py::object results = self.attr("__getitem__")("Results");
    py::dict rounding;
    rounding["Weight"] = 2;
    rounding["Price"] = 2;
    rounding["Count"] = 0;
    rounding["Shares"] = shareDecimals;
    rounding["Value"] = 2;
    py::list headings;
    for (const char *text : {"Symbol", "Security Name", "Weight", "Price", "Count", "Value"})
        headings.append(velmora::translate(text));
    self.attr("recommendationTableHeadings") = headings;
    self.attr("resultsTableHeadings") =
        velmora::list({velmora::translate("Name"), velmora::translate("Value")});

    py::list optimizationParms = parameterForm(self);
    py::list backtestParms = velmora::list({py::module_::import("fields").attr("DateField")(
        "CutOffDate", velmora::translate("Cut Off Date"), "configPath"_a = "allocation.cutOffDate",
        "allowBlank"_a = true,
        "tooltip"_a = velmora::translate("Date to start the backtest (only using data after this date)"))});
    widenLabels({optimizationParms, backtestParms});
    py::list col1 = leftColumn(self, optimizationParms, backtestParms);
    py::object grafTabs = g.attr("TabGroup")(chartTabs(self), "key"_a = "GrafTabs", "tab_location"_a = "top",
                                             "expand_x"_a = false, "enable_events"_a = true);
    py::list col2 = velmora::list({velmora::list({grafTabs})});
    py::object resultsTable = tableClass(
        "key"_a = "ResultsData", "df"_a = results, "headings"_a = self.attr("resultsTableHeadings"),
        "size"_a = py::make_tuple(30, 30), "col_widths"_a = py::make_tuple(22, 10), "expand_x"_a = true,
        "expand_y"_a = true, "alternating_row_color"_a = "lightblue");
    py::object allocationTable = tableClass(
        "key"_a = "RecommendationData", "df"_a = recommendation,
        "headings"_a = self.attr("recommendationTableHeadings"), "rounding"_a = rounding,
        "size"_a = py::make_tuple(40, 40),
        "col_widths"_a =
            velmora::list({py::int_(10), py::int_(20), py::int_(6), py::int_(6), py::int_(6), py::int_(10)}),
        "expand_x"_a = true, "expand_y"_a = true, "alternating_row_color"_a = "lightblue");
    // The results beside the allocation rather than beside the charts: at the window's default size the
    // form and a chart leave a results table no room for its names in German. The charts stand at the
    // top of their column: centred, they would move with the height of every new chart.
    self.attr("layout") = velmora::list({
        velmora::list({g.attr("Column")(col1),
                       g.attr("Column")(col2, "expand_x"_a = true, "vertical_alignment"_a = "top")}),
        velmora::list({allocationTable, resultsTable}),
    });
    return velmora::super(m.attr("RecommendationProvider"), self).attr("createTab")(**kwargs);
}

// ---------------------------------------------------------------------------------------
// Showing the results

constexpr std::initializer_list<std::pair<const char *, const char *>> chartImages = {
    {"allocationChart", "weightGraph"},     {"analysisChart", "analysisGraph"},
    {"analysisChart2", "analysisGraph2"},   {"backtestChart", "backtestGraph"},
    {"drawdownChart", "drawdownGraph"}};

// Through the elements' update, which scales every chart to its element as a run's results are
// shown: an image given to a new element would take its full size and push the tables out of the window.
void showCharts(py::object self, py::object window) {
    for (const auto &[key, image] : chartImages) window[key].attr("update")(self.attr(image));
}

// Publishes the empty tables and forgets every chart and the run's state.
void clearResult(py::object self) {
    self.attr("__setitem__")("Recommendation", emptyRecommendation());
    self.attr("__setitem__")("Results", emptyResults());
    for (const char *name : runState) self.attr(name) = py::none();
}

void resetUI(py::object self, py::object window) {
    clearResult(self);
    window["RecommendationData"].attr("update")("df"_a = self.attr("__getitem__")("Recommendation"));
    window["ResultsData"].attr("update")("df"_a = self.attr("__getitem__")("Results"));
    for (const auto &[key, image] : chartImages) window[key].attr("update")(py::none());
}

bool updateUI(py::object self, py::object window) {
    py::object recommendation = self.attr("__getitem__")("Recommendation");
    py::object results = self.attr("__getitem__")("Results");
    window["RecommendationData"].attr("update")("df"_a = recommendation);
    window["ResultsData"].attr("update")("df"_a = results);
    showCharts(self, window);
    py::object cutOffDate = self.attr("resultCutOffDate");
    if (cutOffDate.is_none()) cutOffDate = self.attr("config").attr("allocation").attr("cutOffDate");
    window["resultType"].attr("update")(resultCaption(cutOffDate));
    return false;
}

// ---------------------------------------------------------------------------------------
// Events

bool startsRun(py::handle event) {
    for (const char *name : {"UpdateConfig", "Method", "Objective", "ReturnMethod", "RiskMethod",
                             "LinkageMethod", "CutOffDate", "clearCutOffDate"})
        if (py::isinstance<py::str>(event) && py::reinterpret_borrow<py::str>(event).equal(py::str(name)))
            return true;
    return false;
}

// What the tab shows and exports, so that a run the user cancels can give it back.
py::dict shownResult(py::object self) {
    py::dict shown;
    shown["Recommendation"] = self.attr("__getitem__")("Recommendation");
    shown["Results"] = self.attr("__getitem__")("Results");
    for (const char *name : runState) shown[name] = py::getattr(self, name, py::none());
    for (const char *name : ownerState) shown[name] = py::getattr(self, name, py::none());
    return shown;
}

// Published again only where the run changed a table: a publication counts as a new result.
void restoreResult(py::object self, py::dict shown) {
    for (const char *key : {"Recommendation", "Results"})
        if (!self.attr("__getitem__")(key).is(shown[key])) self.attr("__setitem__")(key, shown[key]);
    for (const char *name : runState) self.attr(name) = shown[name];
    for (const char *name : ownerState) self.attr(name) = shown[name];
}

bool runCancelled(py::object self) {
    return velmora::truthy(py::getattr(self, "runCancelled", py::bool_(false)));
}

bool runFailed(py::object self) { return velmora::truthy(py::getattr(self, "runFailed", py::bool_(false))); }

// A run from the tab's events counts as the framework's own: a later look at the tab, or another
// provider's reconfiguration, finds nothing to compute until an input changes.
void markComputed(py::object self) {
    self.attr("lastGeneration") = velmora::classOf("provider", "Provider").attr("generation");
    self.attr("runPending") = false;
}

// The result a cancelled run leaves was not made from the inputs of now: bringing the tab to the front
// runs again, while another provider's reconfiguration (a keystroke in the settings tab) does not.
void keepForNextLook(py::object self) {
    markComputed(self);
    self.attr("runPending") = true;
}

bool selectsTab(py::object self, py::handle event, py::handle values) {
    return py::str(event).equal(py::str("mainTab")) && !values.is_none() && values.contains("mainTab") &&
           py::object(values["mainTab"]).equal(py::object(self.attr("key")));
}

// The prices and the stock list brought up to date first, as selecting the tab does: a run must not
// estimate on prices fetched under data settings that have changed since (a load, a new base period).
// Answers the newest generation among them, or none when they are not up to date: a download the
// user cancelled ends the run as a cancel of the run does, and a failure of the inputs is told as a
// failed run; either leaves the shown result as it is.
py::object refreshInputs(const py::module_ &m, py::object self) {
    py::object newest = py::int_(0);
    for (py::handle provider : py::list(self.attr("dependingOn"))) {
        // The mark of this look's Cancel only, not of an earlier download's.
        provider.attr("progressCancelled") = false;
        py::object generation;
        try {
            generation = provider.attr("recompute")();
        } catch (py::error_already_set &) {
            if (!velmora::truthy(provider.attr("progressCancelled"))) {
                self.attr("runFailed") = true;
                velmora::logFailure(m, "Recommendation");
                velmora::showError(velmora::translate("The recommendation could not be computed:"),
                                   velmora::currentException());
                return py::none();
            }
        }
        if (velmora::truthy(provider.attr("progressCancelled"))) {
            self.attr("runCancelled") = true;
            m.attr("logger").attr("info")("Recommendation cancelled");
            return py::none();
        }
        if (generation > newest) newest = generation;
    }
    return newest;
}

// The framework's recompute with the inputs looked at once: after a failed or cancelled download the
// data provider fetches again at every look. While a load applies its settings the tab waits for the
// one run that follows the load.
py::object recompute(const py::module_ &m, py::object self) {
    self.attr("runCancelled") = false;
    self.attr("runFailed") = false;
    if (velmora::truthy(py::getattr(self, "loading", py::bool_(false)))) return self.attr("lastGeneration");
    py::object newest = refreshInputs(m, self);
    if (newest.is_none() || !(py::object(self.attr("lastGeneration")) < newest))
        return self.attr("lastGeneration");
    self.attr("compute")();
    if (runCancelled(self))
        keepForNextLook(self);
    else
        markComputed(self);
    return self.attr("lastGeneration");
}

bool isEvent(py::handle event, const char *name) {
    return py::isinstance<py::str>(event) && py::reinterpret_borrow<py::str>(event).equal(py::str(name));
}

// A run that does not complete, cancelled or failed, gives the tab back the result it showed.
void runAndShow(const py::module_ &m, py::object self, py::object window) {
    self.attr("runCancelled") = false;
    self.attr("runFailed") = false;
    if (refreshInputs(m, self).is_none()) return;
    py::dict previous = shownResult(self);
    self.attr("resetUI")(window);
    self.attr("compute")();
    if (runCancelled(self) || runFailed(self)) restoreResult(self, previous);
    if (runCancelled(self)) keepForNextLook(self);
    self.attr("updateUI")(window);
}

// The run after a load goes through the provider manager as the Update button's does: the providers
// before this tab see the event first, so that the data provider, given the loaded settings during
// this event, fetches the prices for them.
void runAfterLoading(const py::module_ &m, py::object self, py::object window, py::object values) {
    py::object manager = self.attr("providerManager");
    if (manager.is_none())
        runAndShow(m, self, window);
    else
        manager.attr("handleEvent")(window, "UpdateConfig", values);
}

// Logs the failure being handled and tells the user; called inside a catch block.
void tellFailure(const py::module_ &m, const char *logged, const char *message) {
    velmora::logFailure(m, logged);
    velmora::showError(velmora::translate(message), velmora::currentException());
}

// The window closes and an update replaces the program whatever happens here, so a save that
// fails is told to the user while there is still a window to tell it in.
void saveOnLeaving(const py::module_ &m, py::object self, py::object window) {
    try {
        self.attr("save")(self.attr("config").attr("configFile"), window);
    } catch (...) {
        tellFailure(m, "Saving the configuration failed", "The configuration could not be saved:");
    }
}

bool handleEvent(const py::module_ &m, py::object self, py::object window, py::object event,
                 py::object values) {
    if (event.equal(velmora::sg().attr("WIN_CLOSE_ATTEMPTED_EVENT")) || isEvent(event, "UpdateSoftware")) {
        saveOnLeaving(m, self, window);
        return false;
    }
    if (startsRun(event)) {
        runAndShow(m, self, window);
        return false;
    }
    if (isEvent(event, "SaveConfig")) {
        self.attr("saveConfig")(window);
        return false;
    }
    if (isEvent(event, "SaveGraph")) {
        self.attr("saveGraph")();
        return false;
    }
    if (isEvent(event, "SaveExcel")) {
        self.attr("saveExcel")();
        return false;
    }
    if (isEvent(event, "LoadConfig")) {
        try {
            // A cancelled dialog leaves the tab and the window as they are.
            if (!velmora::truthy(self.attr("loadConfig")())) return false;
        } catch (...) {
            tellFailure(m, "Load Config", "The configuration file could not be loaded:");
            return false;
        }
        runAfterLoading(m, self, window, values);
        return true;
    }
    // The framework's mark of a provider never computed.
    if (velmora::truthy(py::getattr(self, "runPending", py::bool_(false))) && selectsTab(self, event, values))
        self.attr("lastGeneration") = -1;
    return velmora::truthy(velmora::super(m.attr("RecommendationProvider"), self)
                               .attr("handleEvent")(window, event, values));
}

// ---------------------------------------------------------------------------------------
// The run: estimation inputs, the method, the charts

// The user pressed Cancel in the progress meter: the run ends without publishing.
struct Cancelled {};

// The run ends without a result of its own: the tab shows the empty tables, and `message`, when
// there is one, tells the user why.
struct NoResult {
    py::object message;
};

void report(py::object self, int step) {
    if (!velmora::truthy(self.attr("update")(step))) throw Cancelled();
}

// Reads the meter's Cancel button now rather than at its next timed redraw: a step that reports
// nothing (a chart, the backtest) would otherwise leave a click unread until the run had published.
void honourCancel(py::object self, int step) {
    self.attr("lastProgressUpdate") = 0;
    report(self, step);
}

void checkCancelled(py::object self) {
    if (velmora::truthy(py::getattr(self, "progressCancelled", py::bool_(false)))) throw Cancelled();
}

// The dates of the price rows: the `Date` column, or the index when the table has none.
py::object datesOf(py::object prices) {
    if (prices.attr("columns").contains("Date")) return prices["Date"];
    return prices.attr("index");
}

py::object withoutDates(py::object prices) {
    if (!prices.attr("columns").contains("Date")) return prices;
    return prices.attr("drop")("columns"_a = velmora::list({py::str("Date")}));
}

py::object dayOf(py::handle date) { return date.attr("strftime")("%Y-%m-%d"); }

// A cut-off date with no price before it leaves nothing to estimate on, one after the last price
// nothing to backtest.
void requireCutOffInside(py::object dates, py::object cutOffDate) {
    if (velmora::truthy(dates.attr("__lt__")(cutOffDate).attr("any")()) &&
        velmora::truthy(dates.attr("__ge__")(cutOffDate).attr("any")()))
        return;
    py::object outside =
        velmora::translate("The cut-off date {} lies outside the prices, which run from {} to {}.");
    py::object first = dayOf(dates.attr("min")()), last = dayOf(dates.attr("max")());
    throw NoResult{outside.attr("format")(cutOffDate, first, last)};
}

bool isMethodClass(py::handle candidate) {
    for (const char *operation : {"computeRecommendation", "plotAnalysis"})
        if (!py::hasattr(candidate, operation)) return false;
    return true;
}

// Sets the estimation inputs the methods read from their owner; returns the backtest prices
// (none without a cut-off date).
py::object estimationInputs(const py::module_ &m, py::object self, py::object stocks) {
    py::object allocation = self.attr("config").attr("allocation");
    py::object prices = self.attr("__getitem__")("prices");
    py::object cutOffDate = allocation.attr("cutOffDate");
    py::object futurePrices = py::none();
    py::object estimation = prices;
    if (velmora::truthy(cutOffDate)) {
        py::object dates = datesOf(prices);
        requireCutOffInside(dates, cutOffDate);
        // The cut-off day itself belongs to the backtest.
        futurePrices = prices.attr("loc")[dates.attr("__ge__")(cutOffDate)].attr("copy")();
        estimation = prices.attr("loc")[dates.attr("__lt__")(cutOffDate)];
    }
    estimation = withoutDates(estimation);
    py::dict securityNames;
    py::list symbols = stocks["Symbol"].attr("tolist")();
    py::list securities = stocks["Security Name"].attr("tolist")();
    for (size_t i = 0; i < symbols.size(); ++i) securityNames[symbols[i]] = securities[i];
    estimation = estimation.attr("rename")("columns"_a = securityNames);
    // Security names are the estimation's keys; reindexing refuses duplicate labels.
    py::list labels = velmora::builtins().attr("sorted")(estimation.attr("columns"));
    estimation = estimation.attr("reindex")("columns"_a = labels);
    self.attr("prices") = estimation;

    py::object expectedReturns = py::module_::import("pypfopt.expected_returns");
    py::object tradingDays = allocation.attr("tradingDaysPerYear");
    py::object historic = expectedReturns.attr("returns_from_prices")(estimation);
    self.attr("historicReturns") = historic.attr("dropna")();
    self.attr("expectedReturns") = expectedReturns.attr("return_model")(
        estimation, "method"_a = allocation.attr("returnMethod"), "frequency"_a = tradingDays);
    report(self, 2);
    py::object benchmark = allocation.attr("benchmark");
    self.attr("benchmarkPerDay") = benchmark / py::float_(100.0) / tradingDays;
    self.attr("frequency") = tradingDays;
    self.attr("maxWeight") = py::object(allocation.attr("maxWeight")) / py::float_(100.0);
    self.attr("minWeight") = py::object(allocation.attr("minWeight")) / py::float_(100.0);
    self.attr("fractional") = allocation.attr("fractional");
    return futurePrices;
}

// The method's allocation labels its stocks by security name; the stock table gives back
// the symbols, and a stock the table doesn't name drops out.
py::object withSymbols(py::object recommendation, py::object stocks) {
    recommendation = recommendation.attr("copy")();
    recommendation["Security Name"] = recommendation["Symbol"];
    recommendation = recommendation.attr("drop")("columns"_a = velmora::list({py::str("Symbol")}));
    py::object symbols = stocks[velmora::list({"Symbol", "Security Name"})].attr("rename_axis")(py::none());
    return recommendation.attr("merge")(symbols, "sort"_a = true);
}

py::object imageOf(py::object self, py::object ax) {
    return ax.is_none() ? py::none() : self.attr("axToPng")(ax);
}

// A method that draws on the current figure (a heat map) gets one of its own.
void drawAnalysis(py::object self, py::object method) {
    py::object plt = velmora::pyplot();
    plt.attr("close")();
    plt.attr("figure")("figsize"_a = py::none());
    py::tuple analysis = method.attr("plotAnalysis")("figsize"_a = py::none());
    py::dict own = ownTexts();
    for (py::handle ax : analysis)
        if (!ax.is_none()) relabelFigure(own, ax.attr("get_figure")("root"_a = true));
    self.attr("analysisGraph") = imageOf(self, analysis[0]);
    self.attr("analysisGraph2") = imageOf(self, analysis[1]);
}

// The twenty largest weights by security name, the rest as "Other" and what is left of the capital.
py::dict donutWeights(py::object recommendation) {
    py::object weights = recommendation["Weight"];
    py::object largest = recommendation.attr("sort_values")("Weight", "ascending"_a = false).attr("head")(20);
    py::dict cleanedWeights;
    py::list labels = largest["Security Name"].attr("tolist")();
    py::list values = largest["Weight"].attr("tolist")();
    for (size_t i = 0; i < labels.size(); ++i) cleanedWeights[labels[i]] = values[i];
    double total = py::float_(weights.attr("sum")()).cast<double>();
    double other = total - py::float_(largest["Weight"].attr("sum")()).cast<double>();
    if (other > 1) cleanedWeights[velmora::translate("Other")] = other;
    double unallocated = 100 - total;
    if (unallocated > 1) cleanedWeights[velmora::translate("Unallocated")] = unallocated;
    return cleanedWeights;
}

void drawDonut(py::object self, py::object recommendation) {
    py::object plt = velmora::pyplot();
    py::dict cleanedWeights = donutWeights(recommendation);
    self.attr("cleanedWeights") = cleanedWeights;

    plt.attr("close")();
    py::object figure = plt.attr("figure")("figsize"_a = py::none());
    // After the figure and before its axes, so that the axes take the theme's style.
    py::module_::import("seaborn").attr("set_theme")();
    py::object ax = figure.attr("subplots")();
    py::dict wedges;
    wedges["width"] = 0.7;
    ax.attr("pie")(py::list(cleanedWeights.attr("values")()), "startangle"_a = 90, "wedgeprops"_a = wedges);
    ax.attr("set_title")(velmora::translate("Portfolio Allocation"));
    ax.attr("legend")(py::list(cleanedWeights.attr("keys")()), "loc"_a = "best", "fontsize"_a = 5);
    self.attr("weightGraph") = self.attr("axToPng")(ax);
    self.attr("chartLanguage") = languageShown();
}

// ---------------------------------------------------------------------------------------
// The backtest

py::object valueTable(py::object futurePrices) {
    if (futurePrices.attr("columns").contains("Date"))
        return futurePrices[velmora::list({py::str("Date"), py::str("PortfolioValue")})];
    py::object table = futurePrices[velmora::list({py::str("PortfolioValue")})].attr("copy")();
    table.attr("insert")(0, "Date", futurePrices.attr("index"));
    return table;
}

// Runs `body` inside the chart-text capture, which puts matplotlib's operations back
// however the body ends.
template <typename Body>
void withTranslatedAxes(Body &&body) {
    velmora::within(py::module_::import("risk").attr("translateAxes")(), body);
}

void drawBacktest(const py::module_ &m, py::object self, py::object returns, py::object weights) {
    py::object plt = velmora::pyplot();
    py::tuple made = plt.attr("subplots")(1, 1);
    py::object figure = made[0], ax = made[1];
    try {
        withTranslatedAxes([&] {
            py::module_::import("riskfolio").attr("plot_drawdown")(returns, weights, "ax"_a = ax);
            py::list axes = figure.attr("axes");
            py::tuple backtest = m.attr("separateAxes")(axes[1]);
            self.attr("backtestGraph") = self.attr("axToPng")(backtest[1]);
            py::tuple drawdown = m.attr("separateAxes")(axes[2]);
            self.attr("drawdownGraph") = self.attr("axToPng")(drawdown[1]);
        });
    } catch (...) {
        velmora::logFailure(m, "Drawdown");
    }
    // The drawing figure is no longer current once the copies exist; closing it here keeps
    // pyplot from collecting one figure per run.
    plt.attr("close")(figure);
}

// The backtest figures in percent: growth per year, the volatility of the daily returns per
// year and the Sharpe figure (times 100) against the benchmark rate.
py::object backtestFigures(py::object self, py::object portfolioValue) {
    py::object allocation = self.attr("config").attr("allocation");
    double tradingDays = py::float_(allocation.attr("tradingDaysPerYear")).cast<double>();
    double benchmark = py::float_(allocation.attr("benchmark")).cast<double>();
    py::object iloc = portfolioValue.attr("iloc");
    double years = py::len(portfolioValue) / tradingDays;
    double first = py::float_(iloc[py::int_(0)]).cast<double>();
    double profit = py::float_(iloc[py::int_(-1)]).cast<double>() / first;
    double profitPerYear = (std::pow(profit, 1 / years) - 1) * 100;
    py::object dailyReturns = portfolioValue.attr("pct_change")().attr("dropna")();
    double dailyVolatility = py::float_(dailyReturns.attr("std")()).cast<double>();
    double volatilityPerYear = dailyVolatility * std::sqrt(tradingDays) * 100;
    // A value that never fluctuates has no finite Sharpe figure; rounding leaves a trace of
    // volatility even in a perfectly steady rise.
    double sharpe =
        volatilityPerYear > 1e-9 ? (profitPerYear - benchmark) / volatilityPerYear * 100 : std::nan("");

    py::list btValueNames =
        velmora::list({py::str(""), velmora::translate("Backtest Profit"),
                       velmora::translate("Backtest Volatility"), velmora::translate("Backtest Sharpe")});
    py::list btValues = velmora::list(
        {py::str(""), py::float_(profitPerYear), py::float_(volatilityPerYear), py::float_(sharpe)});
    py::dict bt;
    bt["Name"] = btValueNames;
    bt["Value"] = btValues;
    return velmora::pandas().attr("DataFrame")(bt);
}

py::object backtest(const py::module_ &m, py::object self, py::object recommendation, py::object performance,
                    py::object futurePrices) {
    py::object plt = velmora::pyplot();
    py::list symbols = recommendation["Symbol"].attr("tolist")();
    py::object held = futurePrices[symbols];
    futurePrices["PortfolioValue"] = held.attr("dot")(recommendation["Shares"].attr("to_numpy")());
    py::object futureValue = valueTable(futurePrices);
    plt.attr("close")();
    py::module_::import("seaborn").attr("set_theme")();
    py::object returns = held.attr("pct_change")().attr("dropna")();
    py::object recommendationWrk = recommendation.attr("copy")();
    // The drawdown chart needs two assets: a lone stock gets a placeholder that holds nothing.
    if (py::len(recommendationWrk) < 2) {
        returns["@@@"] = 0;
        py::dict placeholder;
        placeholder["Symbol"] = "@@@";
        placeholder["Weight"] = 0;
        recommendationWrk = velmora::pandas().attr("concat")(velmora::list(
            {recommendationWrk, velmora::pandas().attr("DataFrame")(velmora::list({placeholder}))}));
    }
    recommendationWrk = recommendationWrk.attr("set_index")("Symbol");
    self.attr("returns") = returns;
    self.attr("recommendationWrk") = recommendationWrk;
    honourCancel(self, 4);
    drawBacktest(m, self, returns, py::object(recommendationWrk["Weight"]) / py::int_(100));
    honourCancel(self, 4);
    self.attr("futureValue") = futureValue;
    py::object figures = backtestFigures(self, futureValue["PortfolioValue"]);
    return velmora::pandas().attr("concat")(velmora::list({performance, figures}), "ignore_index"_a = true);
}

// The charts of the result held, from what its run left: nothing is computed again.
void drawCharts(const py::module_ &m, py::object self) {
    py::object method = self.attr("methodObj");
    if (!method.is_none()) drawAnalysis(self, method);
    py::object recommendation = self.attr("__getitem__")("Recommendation");
    if (!velmora::truthy(recommendation.attr("empty"))) drawDonut(self, recommendation);
    if (!self.attr("futureValue").is_none())
        drawBacktest(m, self, self.attr("returns"),
                     py::object(self.attr("recommendationWrk")["Weight"]) / py::int_(100));
    self.attr("chartLanguage") = languageShown();
}

// A chart that cannot be drawn again keeps its image in the language it was drawn in.
void showInLanguage(const py::module_ &m, py::object self) {
    py::object results = self.attr("__getitem__")("Results");
    py::object relabelled = inLanguageShown(results);
    if (!relabelled.is(results)) self.attr("__setitem__")("Results", relabelled);
    py::object drawnIn = py::getattr(self, "chartLanguage", py::none());
    if (drawnIn.is_none() || drawnIn.equal(languageShown())) return;
    try {
        drawCharts(m, self);
    } catch (py::error_already_set &) {
        velmora::logFailure(m, "Charts");
    }
}

void runRecommendation(const py::module_ &m, py::object self) {
    py::object plt = velmora::pyplot();
    py::object allocation = self.attr("config").attr("allocation");
    report(self, 1);
    py::object stocks = self.attr("__getitem__")("stocks");
    py::object futurePrices = estimationInputs(m, self, stocks);
    py::object methodClass = py::module_::import("fields").attr("resolve")(
        allocation.attr("method"), "kind"_a = py::cpp_function(&isMethodClass),
        "setting"_a = "allocation.method");
    self.attr("optimizer") = py::module_::import("pypfopt.efficient_frontier").attr("EfficientFrontier");
    // A method that draws on the current figure must not draw on one an earlier chart left.
    plt.attr("close")();
    plt.attr("figure")("figsize"_a = py::none());
    self.attr("weightGraph") = py::none();
    py::object method = methodClass();
    self.attr("methodObj") = method;
    py::tuple computed = method.attr("computeRecommendation")(self);
    checkCancelled(self);
    py::object recommendation = withSymbols(computed[0], stocks);
    py::object performance = inLanguageShown(computed[1]);

    drawAnalysis(self, method);
    honourCancel(self, 2);
    drawDonut(self, recommendation);
    honourCancel(self, 4);
    m.attr("logger").attr("debug")("Portfolio Performance done");
    recommendation =
        recommendation[velmora::list({"Symbol", "Security Name", "Weight", "Price", "Shares"})].attr(
            "copy")();
    recommendation["Value"] = recommendation["Price"] * recommendation["Shares"];

    if (velmora::truthy(allocation.attr("cutOffDate"))) {
        performance = backtest(m, self, recommendation, performance, futurePrices);
    } else {
        for (const char *name : {"backtestGraph", "drawdownGraph", "futureValue"})
            self.attr(name) = py::none();
    }
    // The meter reaches its end here and closes; the backtest is part of what it measures.
    honourCancel(self, 5);
    self.attr("resultCutOffDate") = allocation.attr("cutOffDate");
    self.attr("__setitem__")("Recommendation", recommendation);
    self.attr("__setitem__")("Results", performance);
}

// Whether the published prices are those of a selection to allocate: the data provider publishes a
// table without stock columns when it could not fetch them or fewer than two stocks are selected, and
// tells the user itself. Prices of stocks no longer selected count for nothing.
bool pricesOfSelection(py::object self) {
    py::object prices = self.attr("__getitem__")("prices");
    py::object stocks = self.attr("__getitem__")("stocks");
    if (!stocks.attr("columns").contains("Symbol")) return false;
    py::set selected(stocks["Symbol"]);
    size_t stockColumns = 0;
    for (py::handle column : prices.attr("columns"))
        if (selected.contains(column)) ++stockColumns;
    return stockColumns >= 2;
}

// A run that counts as done whatever it left: only a cancelled one is to be repeated. A failure is
// told once the progress meter is closed, so that the message is not hidden behind it.
void compute(const py::module_ &m, py::object self) {
    self.attr("runCancelled") = false;
    self.attr("runFailed") = false;
    if (!pricesOfSelection(self)) {
        clearResult(self);
        markComputed(self);
        return;
    }
    py::dict previous = shownResult(self);
    py::object failure = py::none(), message = py::none();
    py::object progress = self.attr("start")(5);
    progress.attr("__enter__")();
    try {
        runRecommendation(m, self);
    } catch (const Cancelled &) {
        restoreResult(self, previous);
        self.attr("runCancelled") = true;
        m.attr("logger").attr("info")("Recommendation cancelled");
    } catch (const NoResult &outcome) {
        clearResult(self);
        message = outcome.message;
        m.attr("logger").attr("warning")(message);
    } catch (...) {
        velmora::logFailure(m, "Recommendation");
        failure = velmora::currentException();
        restoreResult(self, previous);
        self.attr("runFailed") = true;
    }
    progress.attr("__exit__")(py::none(), py::none(), py::none());
    if (!runCancelled(self)) markComputed(self);
    if (!failure.is_none())
        velmora::showError(velmora::translate("The recommendation could not be computed:"), failure);
    if (!message.is_none()) velmora::showError(message);
}

// ---------------------------------------------------------------------------------------
// Chart images and numbers

py::object axToPng(py::object self, py::object ax) {
    py::object figure = ax.attr("get_figure")("root"_a = true);
    try {
        figure.attr("tight_layout")();
    } catch (py::error_already_set &) {
        // A layout that can't be tightened still renders.
    }
    py::object buffer = py::module_::import("io").attr("BytesIO")();
    py::object data;
    try {
        figure.attr("savefig")(buffer, "dpi"_a = 150);
        data = buffer.attr("getvalue")();
    } catch (...) {
        buffer.attr("close")();
        throw;
    }
    buffer.attr("close")();
    velmora::pyplot().attr("close")(figure);
    return data;
}

void axToPdf(py::object self, py::object ax, py::object fileName) {
    py::object file = velmora::builtins().attr("open")(fileName, "wb");
    try {
        velmora::pyplot().attr("savefig")(file, "format"_a = "pdf");
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
}

py::object formatValue(py::object self, py::object value) { return localeNumber(value, 2); }

// ---------------------------------------------------------------------------------------
// The user configuration file

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

// The user configuration: a failed write leaves the old one, with which the program still starts.
void writeReplacing(py::object fileName, py::str text) {
    velmora::replaceWhenWritten(fileName, ".json", [&](py::object temporary) {
        velmora::within(velmora::builtins().attr("open")(temporary, "w"),
                        [&](py::object file) { file.attr("write")(text); });
    });
}

void save(py::object self, py::object fileName, py::object window) {
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

    py::str text = py::module_::import("json").attr("dumps")(userConfig, "indent"_a = 2);
    writeReplacing(fileName, text);
}

void saveConfig(const py::module_ &m, py::object self, py::object window) {
    py::object config = self.attr("config");
    py::object fileName = py::module_::import("provider").attr("GetFileName")(
        velmora::translate("Configuration File"), "json", "default"_a = config.attr("configFile"),
        "save"_a = true);
    if (!velmora::truthy(fileName)) return;
    try {
        self.attr("save")(fileName, window);
        config["configFile"] = fileName;
    } catch (py::error_already_set &) {
        tellFailure(m, "Save Config", "Error saving config file");
    }
}

// No configuration file comes near this; a larger one is no configuration file.
constexpr long long configurationLimit = 10 * 1024 * 1024;

py::object readTree(py::object fileName) {
    py::object opened = velmora::openRegularFile(fileName, "r", configurationLimit);
    py::object document = velmora::within(opened, [](py::object file) {
        return py::module_::import("json").attr("load")(file);
    });
    // A top level other than an object would build a tree from whatever pairs a list holds.
    if (!PyDict_Check(document.ptr()))
        velmora::raise(PyExc_TypeError, py::str(py::str("{} does not hold a JSON object").format(fileName)));
    return addictDict()(document);
}

// What Load Config takes from a file: the settings that the program's own forms and window write
// (sections whole, `data` only by the members the settings tab writes). Every other setting names code
// (providers, the logging set-up, data.dataProvider), a file the program writes (data.cacheName,
// selectionName) or a network address (updateInfo, monetization) and keeps its running value, which
// comes only from default.json and the configuration file the program starts with: a file from someone
// else must not make the program run, overwrite or open anything of the sender's choice.
constexpr std::initializer_list<const char *> loadedSettings = {
    "allocation",      "data.apiKey",     "data.localCurrency", "data.startDate", "data.basePeriod",
    "data.sigmaClipLow", "data.sigmaClipHigh", "print",        "gui",            "title",
    "stocks",          "translations",    "meta"};

std::string pathOf(const std::string &prefix, py::handle key) {
    std::string name = py::str(key).cast<std::string>();
    return prefix.empty() ? name : prefix + "." + name;
}

bool isLoaded(const std::string &path) {
    for (const char *setting : loadedSettings)
        if (path == setting) return true;
    return false;
}

// A section some of whose members a load takes.
bool holdsLoaded(const std::string &path) {
    for (const char *setting : loadedSettings)
        if (std::string(setting).rfind(path + ".", 0) == 0) return true;
    return false;
}

py::object deepCopy(py::handle value) { return py::module_::import("copy").attr("deepcopy")(value); }

// The settings of `tree` that a load takes, in the tree's order.
py::dict loadedPart(py::handle tree, const std::string &prefix = "") {
    py::dict taken;
    for (auto [key, value] : py::reinterpret_borrow<py::dict>(tree)) {
        std::string path = pathOf(prefix, key);
        if (isLoaded(path)) {
            taken[key] = deepCopy(value);
        } else if (holdsLoaded(path) && PyDict_Check(value.ptr())) {
            py::dict section = loadedPart(value, path);
            if (!section.empty()) taken[key] = section;
        }
    }
    return taken;
}

// Puts the settings of `running` that a load does not take into `tree`, as they stand.
void keepRunning(py::handle running, py::handle tree, const std::string &prefix = "") {
    for (auto [key, value] : py::reinterpret_borrow<py::dict>(running)) {
        std::string path = pathOf(prefix, key);
        if (isLoaded(path)) continue;
        if (holdsLoaded(path) && PyDict_Check(value.ptr())) {
            if (!tree.contains(key) || !PyDict_Check(py::object(tree[key]).ptr())) tree[key] = py::dict();
            keepRunning(value, tree[key], path);
        } else {
            tree[key] = deepCopy(value);
        }
    }
}

// The kind of a setting as the user reads it; a truth value is no number here, as it is for Python.
const char *kindOf(py::handle value) {
    if (PyDict_Check(value.ptr())) return "a group of settings";
    if (PyBool_Check(value.ptr())) return "true or false";
    if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) return "a number";
    if (PyUnicode_Check(value.ptr())) return "a text";
    if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) return "a list";
    return "nothing";
}

// Merges the loaded settings over the defaults, refusing a setting of another kind than the defaults
// hold there (a section where they hold a value, a text where they hold a number...), which every
// reader of it, the window's fields first, would trip over.
void mergeLoaded(py::handle loaded, py::handle tree, const std::string &prefix = "") {
    for (auto [key, value] : py::reinterpret_borrow<py::dict>(loaded)) {
        std::string path = pathOf(prefix, key);
        if (tree.contains(key)) {
            py::object held = tree[key];
            std::string kind = kindOf(held);
            if (kind != kindOf(value))
                velmora::raise(PyExc_TypeError,
                               velmora::translate("The setting {} must be {}, not {}.")
                                   .attr("format")(path, velmora::translate(kind.c_str()), py::repr(value)));
            if (PyDict_Check(value.ptr())) {
                mergeLoaded(value, held, path);
                continue;
            }
        }
        tree[key] = deepCopy(value);
    }
}

void replaceContents(py::object tree, py::handle contents) {
    tree.attr("clear")();
    tree.attr("update")(contents);
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
    py::dict taken = loadedPart(readTree(fileName));
    // Another program's file would otherwise put every setting back to its default and become the
    // file the settings are written to at the close.
    if (taken.empty())
        velmora::raise(PyExc_ValueError,
                       velmora::translate("{} holds none of the settings of a configuration file.")
                           .attr("format")(fileName));
    mendPaperSize(taken);
    py::object defaults = readTree(py::str("default.json"));
    py::object newConfig = deepCopy(defaults);
    keepRunning(config, newConfig);
    mergeLoaded(taken, newConfig);
    // A value of the right kind that no form would take fails later, where it is read: every run,
    // every report, or the window's rebuild.
    py::object refused = py::module_::import("fields").attr("refusedSetting")(taken, defaults);
    if (!refused.is_none()) velmora::raise(PyExc_ValueError, py::object(refused[py::int_(1)]));
    newConfig["configFile"] = fileName;
    py::object newUser = deepCopy(taken);
    keepRunning(userConfig, newUser);

    py::object builtinDict = velmora::builtins().attr("dict");
    py::object runningConfig = builtinDict(config), runningUser = builtinDict(userConfig);
    replaceContents(userConfig, addictDict()(newUser));
    replaceContents(config, addictDict()(newConfig));
    // The loaded data settings (key, currency, period) take effect as a changed setting does.
    py::object manager = self.attr("providerManager");
    if (manager.is_none()) return true;
    self.attr("loading") = true;
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
        self.attr("loading") = false;
        throw;
    }
    self.attr("loading") = false;
    return true;
}

// ---------------------------------------------------------------------------------------
// The PDF report and the Excel workbook

// Writes an export into a new file beside the chosen one, which it replaces only when
// complete. A failed export leaves no partial file behind and is told to the user.
void exportReplacing(const py::module_ &m, py::object fileName, const char *suffix,
                     const std::function<void(py::object)> &write, const char *failure) {
    try {
        velmora::replaceWhenWritten(fileName, suffix, write);
    } catch (py::error_already_set &) {
        tellFailure(m, failure, failure);
    }
}

// The page in inches, from the paper size in hundredths of an inch.
py::tuple pageSize(py::object self) {
    py::object paper = self.attr("config").attr("print").attr("paperSize");
    return py::make_tuple(py::object(paper[py::int_(0)]) / py::int_(100),
                          py::object(paper[py::int_(1)]) / py::int_(100));
}

// Numbers printed as the tab shows them: money and weights with two decimals, grouped; whole share
// counts without decimals, fractional ones with a fixed number.
py::dict printedDecimals() {
    py::dict decimals;
    for (const char *column : {"Weight", "Price", "Value"}) decimals[column] = 2;
    decimals["Shares"] = shareDecimals;
    return decimals;
}

// The table's headings as the tab shows them, or its column labels in the language shown.
py::list printedHeadings(py::object df, py::object headings) {
    if (!headings.is_none()) return py::list(headings);
    py::list labels;
    for (py::handle label : df.attr("columns"))
        labels.append(velmora::builtins().attr("_")(py::str(label)));
    return labels;
}

void printTable(const py::module_ &m, py::object self, py::object pdf, py::object df, py::object headings) {
    py::object plt = velmora::pyplot();
    py::tuple size = pageSize(self);
    py::tuple made = plt.attr("subplots")("figsize"_a = py::make_tuple(size[1], size[0]));
    py::object figure = made[0], ax = made[1];
    figure.attr("patch").attr("set_visible")(false);
    ax.attr("axis")("off");
    ax.attr("axis")("tight");
    py::object cells = py::module_::import("table").attr("formattedRows")(df, printedDecimals());
    // The plotting library draws no table without rows: an empty table shows one blank row.
    if (py::len(cells) == 0) {
        py::list blank;
        for (size_t i = 0; i < py::len(df.attr("columns")); ++i) blank.append("");
        cells = velmora::list({blank});
    }
    ax.attr("table")("cellText"_a = cells, "colLabels"_a = printedHeadings(df, headings), "loc"_a = "center");
    figure.attr("tight_layout")();
    pdf.attr("savefig")();
    plt.attr("close")();
}

// A chart drawn at a size of its own, on the paper chosen.
void fitToPage(py::object figure, py::tuple size) {
    figure.attr("set_size_inches")(size);
    try {
        figure.attr("tight_layout")();
    } catch (py::error_already_set &) {
        // A layout that can't be tightened still prints.
    }
}

// The report as a method sees it: a page the method saves itself is fitted to the paper too.
void defineReportPages(py::module_ &m) {
    py::object cls = velmora::makeClass(m, "ReportPages");
    velmora::constructor(cls, [](py::object self, py::object pdf, py::tuple size) {
        self.attr("pdf") = pdf;
        self.attr("size") = size;
    }, "pdf"_a, "size"_a);
    velmora::method(cls, "savefig", [](py::object self, py::args args, py::kwargs kwargs) {
        fitToPage(velmora::pyplot().attr("gcf")(), self.attr("size"));
        return self.attr("pdf").attr("savefig")(*args, **kwargs);
    });
}

// The analysis as the report prints it; a method that draws nothing gives no empty page.
void printAnalysis(const py::module_ &m, py::object pdf, py::object method, py::tuple size) {
    py::object plt = velmora::pyplot();
    plt.attr("figure")("figsize"_a = size);
    method.attr("plotAnalysis")("pdf"_a = m.attr("ReportPages")(pdf, size));
    py::object figure = plt.attr("gcf")();
    if (py::len(figure.attr("axes")) > 0) {
        relabelFigure(ownTexts(), figure);
        fitToPage(figure, size);
        pdf.attr("savefig")();
    }
    plt.attr("close")();
}

void writeReport(const py::module_ &m, py::object self, py::object fileName) {
    py::object plt = velmora::pyplot();
    py::object now = py::module_::import("datetime").attr("datetime").attr("now");
    py::object version = py::module_::import("version").attr("version");
    py::dict metadata;
    metadata["Title"] = velmora::translate("Stock Recommendation");
    metadata["Subject"] = velmora::translate("Stocks");
    metadata["Keywords"] = velmora::translate("Stocks");
    metadata["Creator"] = py::str("Zeltra Velmora ") + py::str(version);
    metadata["Producer"] = py::str("Zeltra Velmora ") + py::str(version);
    metadata["CreationDate"] = now();
    metadata["ModDate"] = now();
    py::object pdfPages = py::module_::import("matplotlib.backends.backend_pdf").attr("PdfPages");
    py::object pdf = pdfPages(fileName, "metadata"_a = metadata);
    velmora::within(pdf, [&] {
        py::tuple size = pageSize(self);
        py::object recommendation = self.attr("__getitem__")("Recommendation");
        // The weights and the analysis of the allocation printed, none beside the empty tables that a
        // clearing or a failed run leaves, whatever that run left behind.
        bool allocated = !velmora::truthy(recommendation.attr("empty"));
        self.attr("printTable")(pdf, recommendation,
                                "headings"_a = py::getattr(self, "recommendationTableHeadings", py::none()));
        if (allocated) {
            plt.attr("figure")("figsize"_a = size);
            withTranslatedAxes([&] {
                py::module_::import("pypfopt.plotting").attr("plot_weights")(donutWeights(recommendation));
            });
            pdf.attr("savefig")();
            plt.attr("close")();
        }
        self.attr("printTable")(pdf, self.attr("__getitem__")("Results"),
                                "headings"_a = py::getattr(self, "resultsTableHeadings", py::none()));
        py::object method = self.attr("methodObj");
        if (allocated && velmora::truthy(method)) printAnalysis(m, pdf, method, size);
        // A backtest of one day has no returns to draw.
        if (!self.attr("futureValue").is_none() && py::len(self.attr("returns")) > 0) {
            plt.attr("figure")("figsize"_a = size);
            py::object weights = py::object(self.attr("recommendationWrk")["Weight"]) / py::int_(100);
            // Without the page size the chart library sets a wide figure of its own.
            withTranslatedAxes([&] {
                py::module_::import("riskfolio").attr("plot_drawdown")(
                    self.attr("returns"), weights, "width"_a = size[0], "height"_a = size[1]);
            });
            relabelLegends(ownTexts(), plt.attr("gcf")());
            // The chart library labels its percent axes with decimal points of its own.
            for (py::handle ax : plt.attr("gcf")().attr("axes"))
                if (velmora::truthy(ax.attr("axison")))
                    percentTicks(ax, ax.attr("get_yticks")().attr("tolist")());
            pdf.attr("savefig")();
            plt.attr("close")();
        }
    });
}

void saveGraph(const py::module_ &m, py::object self) {
    py::object fileName = py::module_::import("provider").attr("GetFileName")(
        velmora::translate("PDF File"), "pdf", "default"_a = "results.pdf", "save"_a = true);
    if (!velmora::truthy(fileName)) return;
    exportReplacing(m, fileName, ".pdf", [&](py::object temporary) { writeReport(m, self, temporary); },
                    "The PDF report could not be written:");
}

void collectRecords(py::object d, py::object prefix, py::list &records) {
    if (py::isinstance<py::dict>(d)) {
        for (auto item : py::reinterpret_borrow<py::dict>(d)) {
            py::object key = py::reinterpret_borrow<py::object>(item.first);
            py::object path = key;
            if (velmora::truthy(prefix)) path = py::str(prefix) + py::str(".") + py::str(key);
            collectRecords(py::reinterpret_borrow<py::object>(item.second), path, records);
        }
        return;
    }
    records.append(py::make_tuple(prefix, d));
}

py::object toRecord(py::object d, py::object prefix) {
    py::list records;
    collectRecords(d, prefix, records);
    return py::iter(records);
}

// The workbook is meant to be shared: the user's API key stays out of it.
py::list configurationRecords(py::object self) {
    py::list records;
    for (py::handle record : self.attr("toRecord")(self.attr("config"))) {
        if (py::str(record[py::int_(0)]).equal(py::str("data.apiKey")))
            records.append(py::make_tuple(record[py::int_(0)], ""));
        else
            records.append(record);
    }
    return records;
}

// Characters a cell takes as the workbook shows it: numbers of the given columns with two decimals
// and grouped, dates in the workbook's date format.
size_t shownWidth(py::handle value, bool number) {
    if (number && (py::isinstance<py::float_>(value) || py::isinstance<py::int_>(value)))
        return py::len(py::str("{:,.2f}").format(value));
    if (py::hasattr(value, "strftime")) return std::string("yyyy-mm-dd").size();
    return py::len(py::str(value));
}

// Every column as wide as its heading and its widest cell, in the given format; an overlong text
// (a list among the settings) is not worth a column wider than a screen.
void fitColumns(py::object sheet, py::object table, py::list headings, py::list formats) {
    constexpr size_t padding = 2, widest = 64;
    py::list columns = table.attr("columns").attr("tolist")();
    for (size_t index = 0; index < columns.size(); ++index) {
        py::object format = index < formats.size() ? py::object(formats[index]) : py::none();
        size_t width = py::len(py::str(headings[index]));
        py::object cells = table.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()),
                                                             py::int_(index))];
        for (py::handle value : cells.attr("tolist")())
            width = std::max(width, shownWidth(value, !format.is_none()));
        sheet.attr("set_column")(index, index, std::min(width + padding, widest), format);
    }
}

// Whole share counts without decimals, fractional ones with the tab's.
std::string shareFormat(py::object recommendation) {
    if (!recommendation.attr("columns").contains("Shares")) return "#,##0";
    py::object shares = recommendation["Shares"].attr("astype")("float");
    if (!velmora::truthy(shares.attr("mod")(1).attr("ne")(0).attr("any")())) return "#,##0";
    return "#,##0." + std::string(shareDecimals, '0');
}

void writeWorkbook(py::object self, py::object fileName) {
    auto tr = [](const char *text) { return velmora::translate(text); };
    self.attr("updateMeta")();
    py::object configuration = velmora::pandas().attr("DataFrame")(configurationRecords(self));
    py::list stockHeadings = velmora::list({tr("Symbol"), tr("Security Name"), tr("Currency")});
    py::list configurationHeadings = velmora::list({tr("Key"), tr("Value")});
    py::object prices = self.attr("__getitem__")("prices");
    py::object recommendation = self.attr("__getitem__")("Recommendation");
    py::object results = self.attr("__getitem__")("Results");
    py::object stocks = py::module_::import("utils").attr("dspStocks")(self.attr("__getitem__")("stocks"));
    // The dates' heading in the language shown; the symbols are no words.
    py::list priceHeadings = prices.attr("columns").attr("tolist")();
    if (priceHeadings.size() > 0 && py::str(priceHeadings[0]).equal(py::str("Date")))
        priceHeadings[0] = tr("Date");
    py::object writer = velmora::pandas().attr("ExcelWriter")(fileName, "engine"_a = "xlsxwriter",
                                                              "datetime_format"_a = "yyyy-mm-dd",
                                                              "date_format"_a = "yyyy-mm-dd");
    velmora::within(writer, [&] {
        auto sheet = [&](py::object table, const char *name, py::object header) {
            py::dict options;
            options["sheet_name"] = tr(name);
            options["freeze_panes"] = py::make_tuple(1, 1);
            options["index"] = false;
            if (!header.is_none()) options["header"] = header;
            table.attr("to_excel")(writer, **options);
        };
        py::list recommendationHeadings = self.attr("recommendationTableHeadings");
        py::list resultsHeadings = self.attr("resultsTableHeadings");
        sheet(recommendation, "Recommendation", recommendationHeadings);
        sheet(results, "Results", resultsHeadings);
        sheet(stocks, "Stocks", stockHeadings);
        sheet(prices, "Prices", priceHeadings);
        sheet(configuration, "Configuration", configurationHeadings);

        py::object book = writer.attr("book");
        auto format = [&](const std::string &numberFormat, bool right) {
            py::dict spec;
            spec["num_format"] = numberFormat;
            if (right) spec["align"] = "right";
            return book.attr("add_format")(spec);
        };
        // A digit before the decimal point: a weight of 0.24 shows as 0.24, not as .24.
        py::object money = format("#,##0.00", false);
        py::object none = py::none();
        py::object sheets = writer.attr("sheets");
        fitColumns(sheets[tr("Recommendation")], recommendation, recommendationHeadings,
                   velmora::list({none, none, money, money, format(shareFormat(recommendation), false),
                                  money}));
        fitColumns(sheets[tr("Results")], results, resultsHeadings,
                   velmora::list({none, format("#,##0.00", true)}));
        fitColumns(sheets[tr("Stocks")], stocks, stockHeadings, py::list());
        py::list priceFormats = velmora::list({none});
        for (size_t column = 1; column < priceHeadings.size(); ++column) priceFormats.append(money);
        fitColumns(sheets[tr("Prices")], prices, priceHeadings, priceFormats);
        fitColumns(sheets[tr("Configuration")], configuration, configurationHeadings, py::list());
    });
}

void saveExcel(const py::module_ &m, py::object self) {
    py::object fileName = py::module_::import("provider").attr("GetFileName")(
        velmora::translate("Excel File"), "xlsx", "default"_a = "results.xlsx", "save"_a = true);
    if (!velmora::truthy(fileName)) return;
    exportReplacing(m, fileName, ".xlsx", [&](py::object temporary) { writeWorkbook(self, temporary); },
                    "The workbook could not be written:");
}

void defineRecommendationProvider(py::module_ &m) {
    py::object cls = velmora::makeClass(m, "RecommendationProvider",
                                        py::make_tuple(velmora::classOf("provider", "TabProvider")));
    cls.attr("key") = "recommendation";
    const py::module_ &module = m;
    velmora::constructor(cls, module, &construct, "config"_a, "providerManager"_a = py::none(),
                         "userConfigParm"_a = py::none());
    velmora::method(cls, "createTab", module, &createTab);
    velmora::method(cls, "resetUI", &resetUI, "window"_a);
    velmora::method(cls, "updateUI", &updateUI, "window"_a);
    // A window made anew shows the charts held, as the one before showed them.
    velmora::method(cls, "bind", &showCharts, "window"_a);
    velmora::method(cls, "handleEvent", module, &handleEvent, "window"_a, "event"_a, "values"_a);
    velmora::method(cls, "compute", module, &compute);
    velmora::method(cls, "recompute", module, &recompute);
    velmora::method(cls, "axToPng", &axToPng, "ax"_a);
    velmora::method(cls, "axToPdf", &axToPdf, "ax"_a, "fileName"_a);
    velmora::method(cls, "formatValue", &formatValue, "value"_a);
    velmora::method(cls, "updateMeta", &updateMeta);
    velmora::method(cls, "loadConfig", &loadConfig);
    velmora::method(cls, "saveConfig", module, &saveConfig, "window"_a);
    velmora::method(cls, "save", &save, "fileName"_a, "window"_a);
    velmora::method(cls, "saveGraph", module, &saveGraph);
    velmora::method(cls, "printTable", module, &printTable, "pdf"_a, "df"_a, "headings"_a = py::none());
    velmora::method(cls, "saveExcel", module, &saveExcel);
    velmora::staticMethod(cls, "toRecord", &toRecord, "d"_a, "prefix"_a = "");
}

// ---------------------------------------------------------------------------------------
// Module functions

// A line across the whole axes at one height (a risk measure of the drawdown chart): its x values
// are fractions of the axes' width, not dates.
bool spansAxes(py::handle line, py::handle ax) {
    return line.attr("get_transform")().is(ax.attr("get_yaxis_transform")());
}

// Dates a chart of its size shows without overlapping, month names in the language shown.
void readableDates(py::object ax) {
    py::object dates = py::module_::import("matplotlib.dates");
    py::object xaxis = ax.attr("xaxis");
    if (!py::isinstance(xaxis.attr("get_major_locator")(), dates.attr("DateLocator"))) return;
    py::object locator = dates.attr("AutoDateLocator")("maxticks"_a = 8);
    xaxis.attr("set_major_locator")(locator);
    xaxis.attr("set_major_formatter")(dates.attr("ConciseDateFormatter")(locator));
}

// Below the chart, where it covers no curve; none when no line has a label.
void legendBelow(py::object ax) {
    for (py::handle line : py::list(ax.attr("lines"))) {
        if (py::str(line.attr("get_label")()).attr("startswith")("_").cast<bool>()) continue;
        ax.attr("legend")("loc"_a = "upper center", "bbox_to_anchor"_a = py::make_tuple(0.5, -0.12),
                          "ncols"_a = 2, "fontsize"_a = "x-small");
        return;
    }
}

// Copies the lines of one axes of a multi-chart figure onto a figure of its own, with the
// y axis in percent, so that it renders as an image by itself.
py::tuple separateAxes(py::object ax) {
    py::tuple made = velmora::pyplot().attr("subplots")();
    py::object newFig = made[0], newAx = made[1];
    py::dict own = ownTexts();
    for (py::handle line : py::list(ax.attr("lines"))) {
        py::tuple data = line.attr("get_data")();
        py::object label = shownLabel(own, line.attr("get_label")());
        // Each measure in its colour, so that the legend tells them apart.
        if (spansAxes(line, ax))
            newAx.attr("axhline")(py::list(data[1])[0], "label"_a = label,
                                  "color"_a = line.attr("get_color")());
        else
            newAx.attr("plot")(data[0], data[1], "label"_a = label);
    }
    newAx.attr("set_title")(ax.attr("get_title")());
    newAx.attr("set_xlabel")(ax.attr("get_xlabel")());
    newAx.attr("set_ylabel")(ax.attr("get_ylabel")());
    newAx.attr("set_xlim")(ax.attr("get_xlim")());
    newAx.attr("set_ylim")(ax.attr("get_ylim")());
    percentTicks(newAx, ax.attr("get_yticks")().attr("tolist")());
    readableDates(newAx);
    legendBelow(newAx);
    newFig.attr("tight_layout")();
    return py::make_tuple(newFig, newAx);
}

py::object safeRound(py::object val) {
    try {
        return velmora::builtins().attr("round")(velmora::builtins().attr("float")(val), 2);
    } catch (py::error_already_set &error) {
        if (error.matches(PyExc_ValueError) || error.matches(PyExc_TypeError)) return val;
        throw;
    }
}

}  // namespace

PYBIND11_MODULE(recommendation, m) {
    m.attr("logging") = py::module_::import("logging");
    // The module's file name is not set yet while its body runs: this is the root logger.
    m.attr("logger") = m.attr("logging").attr("getLogger")(m.attr("__file__"));
    defineRecommendationProvider(m);
    defineReportPages(m);
    m.def("separateAxes", &separateAxes, "ax"_a);
    m.def("safe_round", &safeRound, "val"_a);
}
