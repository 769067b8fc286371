// The recommendation tab: the allocation form with its method registry, the events that start a run,
// and the display of its tables and charts. The run, the charts, the user configuration file and the
// reports are the module's parts in source/recommendation/, each binding its methods onto the tab's class.
#include "recommendation/parts.hpp"

#include <algorithm>
#include <initializer_list>
#include <utility>

namespace velmora::recommendation {

namespace {

using Rows = std::initializer_list<std::pair<const char *, const char *>>;

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
    makeRunState(m, self);
    // Read only to record the data and selection providers as dependencies.
    self.attr("__getitem__")("prices");
    self.attr("__getitem__")("stocks");
    clearResult(self);
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

// The cut-off date as its field shows it: a file may hold the short form ("2016-6-3"), which the field
// shows in full, and the caption names the day alike. Before the form exists the date is as stored.
py::str shownCutOffDate(py::object cutOffDate) {
    py::object field = py::module_::import("fields").attr("handlers").attr("get")("CutOffDate");
    return py::str(field.is_none() ? cutOffDate : field.attr("formatValue")(cutOffDate));
}

// The caption of a result computed with the cut-off date.
py::object resultCaption(py::object cutOffDate) {
    if (hasCutOffDate(cutOffDate))
        return velmora::translate("Backtest Portfolio for ") + shownCutOffDate(cutOffDate);
    return velmora::translate("Current Recommendation");
}

// The caption before the first run; a window made anew once a run has been shown keeps its caption.
py::object initialCaption(py::object self) {
    py::object computedWith = resultCutOffDate(self);
    if (!computedWith.is_none()) return resultCaption(computedWith);
    py::object cutOffDate = self.attr("config").attr("allocation").attr("cutOffDate");
    if (hasCutOffDate(cutOffDate)) return velmora::translate("Backtest from ") + shownCutOffDate(cutOffDate);
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
    // Most of the width for the names: the longest, of the Riskfolio figures in German, read whole at the
    // window's default size, and no figure needs more than a few characters.
    py::object resultsTable = tableClass(
        "key"_a = "ResultsData", "df"_a = results, "headings"_a = self.attr("resultsTableHeadings"),
        "size"_a = py::make_tuple(30, 30), "col_widths"_a = py::make_tuple(40, 8), "expand_x"_a = true,
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
    py::object cutOffDate = resultCutOffDate(self);
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
                markFailed(self);
                velmora::logFailure(m, "Recommendation");
                velmora::showError(velmora::translate("The recommendation could not be computed:"),
                                   velmora::currentException());
                return py::none();
            }
        }
        if (velmora::truthy(provider.attr("progressCancelled"))) {
            markCancelled(self);
            m.attr("logger").attr("info")("Recommendation cancelled");
            return py::none();
        }
        if (generation > newest) newest = generation;
    }
    return newest;
}

// The framework's recompute with the inputs looked at once: after a failed or cancelled download the
// data provider fetches again at every look.
py::object recompute(const py::module_ &m, py::object self) {
    if (loading(self)) return self.attr("lastGeneration");
    bool ran = false;
    asOneRun(self, [&] {
        py::object newest = refreshInputs(m, self);
        if (newest.is_none() || !(py::object(self.attr("lastGeneration")) < newest)) return;
        ran = true;
        self.attr("compute")();
    });
    if (runCancelled(self))
        keepForNextLook(self);
    else if (ran)
        markComputed(self);
    return self.attr("lastGeneration");
}

bool isEvent(py::handle event, const char *name) {
    return py::isinstance<py::str>(event) && py::reinterpret_borrow<py::str>(event).equal(py::str(name));
}

// The element kinds of the fields whose value the user sets: typed texts, choices, boxes and the like.
py::tuple valueKinds() {
    py::object g = velmora::sg();
    return py::make_tuple(g.attr("Input"), g.attr("Combo"), g.attr("Checkbox"), g.attr("Spin"),
                          g.attr("Listbox"), g.attr("Slider"), g.attr("Radio"), g.attr("Multiline"));
}

// The values the fields' elements in the window show, by key, in the order the fields were made.
py::dict shownValues(py::object window) {
    py::dict shown;
    py::tuple kinds = valueKinds();
    py::object elements = window.attr("AllKeysDict");
    for (auto [key, field] : py::dict(py::module_::import("fields").attr("handlers"))) {
        py::object element = elements.attr("get")(key);
        if (!element.is_none() && py::isinstance(element, kinds)) shown[key] = element.attr("get")();
    }
    return shown;
}

// Whether an element shows another value than its field's setting. A typed text is its field's to judge
// (a number shown without its format is the setting still); a choice shows the text of its setting.
bool showsOtherValue(py::object field, py::object window, py::handle key, py::object shown) {
    if (py::isinstance(window[key], velmora::sg().attr("Input")))
        return velmora::truthy(field.attr("edited")(window));
    py::object texts = py::getattr(field, "revMap", py::none());
    py::object chosen = velmora::truthy(texts) && texts.contains(shown) ? py::object(texts[shown]) : shown;
    return !chosen.equal(field.attr("get")());
}

// Keys typed and choices made while a run holds the event loop reach the elements, but their events can be
// lost behind the event that follows them (a key's event takes a choice's place): a value the run leaves
// changed and that is not its field's setting is taken as the edit it is, so that no field shows a value the
// program does not use. The fields are taken in the order of the form, the cut-off date last, whose edit
// runs again with the other edits taken.
void takeEditsOfTheRun(py::object self, py::object window, py::dict shownBefore) {
    py::object manager = self.attr("providerManager");
    if (manager.is_none()) return;
    py::object handlers = py::module_::import("fields").attr("handlers");
    for (auto [key, before] : shownBefore) {
        py::object field = handlers[key];
        py::object shown = window[key].attr("get")();
        if (shown.equal(before) || !showsOtherValue(field, window, key, shown)) continue;
        py::dict values;
        values[key] = shown;
        manager.attr("handleEvent")(window, key, values);
        field.attr("showTaken")(window);
    }
}

// An Enter pressed in a field while a run holds the event loop reaches the field, but the key's release,
// which the window reports as the event, is lost behind the meter: the press is the request.
py::object fieldsModule() { return py::module_::import("fields"); }

void forgetEnterPressed() { fieldsModule().attr("enterPressedOn") = py::none(); }

// A run about to start answers every request made before it.
void forgetRequests(py::object self) {
    forgetEnterPressed();
    takeRunAsked(self);
}

bool takeEnterPressed() {
    bool pressed = !fieldsModule().attr("enterPressedOn").is_none();
    forgetEnterPressed();
    return pressed;
}

// What was typed during a run taken as its edits, a run they ask for (a date completed) noted rather than
// started, so that every edit is taken before the next run. Answers whether a run was asked for during the
// run or by its edits: an Enter, a date, however many.
bool runAskedDuring(py::object self, py::object window, py::dict shownBefore) {
    deferRuns(self, true);
    try {
        takeEditsOfTheRun(self, window, shownBefore);
    } catch (...) {
        deferRuns(self, false);
        throw;
    }
    deferRuns(self, false);
    bool entered = takeEnterPressed();
    return takeRunAsked(self) || entered;
}

// One run, then the edits typed during it taken; answers whether a run was asked for meanwhile. A run
// that does not complete, cancelled or failed, gives the tab back the result it showed while the inputs
// are those of that result.
bool runShowingAndAsked(const py::module_ &m, py::object self, py::object window) {
    py::dict shownBefore = shownValues(window);
    forgetRequests(self);
    forgetDateEdits(self);
    asOneRun(self, [&] {
        if (refreshInputs(m, self).is_none()) return;
        self.attr("resetUI")(window);
        self.attr("compute")();
    });
    if (runCancelled(self)) keepForNextLook(self);
    self.attr("updateUI")(window);
    return runAskedDuring(self, window, shownBefore);
}

// A run asked for during a run follows it, once, with every edit taken; a Cancel ends them all.
void runAndShow(const py::module_ &m, py::object self, py::object window) {
    while (runShowingAndAsked(m, self, window) && !runCancelled(self)) {
    }
}

bool choosesOption(py::handle event) {
    for (const char *name : {"Method", "Objective", "ReturnMethod", "RiskMethod", "LinkageMethod"})
        if (isEvent(event, name)) return true;
    return false;
}

// A key in the date's field that left its text as the field's previous event or the last run had it (the
// cursor moved, Tab, a Backspace at its start) asks for nothing: edits of other fields wait for Enter or
// Update there as everywhere, and a failed run's date is not run again. A text changed into a complete date
// runs, the same date typed again too; an incomplete one never gets here, as its field refuses it, but its
// change is noted. A changed date, or a choice, that leaves every input as the shown result has it (a
// character typed and taken back, an option chosen again, the event of an edit taken after a run) has
// nothing new to compute. Update and Clear are pressed to compute.
bool changesNothing(py::object self, py::handle event) {
    if (isEvent(event, "CutOffDate")) {
        bool edited = dateEdited(self);
        forgetDateEdits(self);
        return !edited || showsResultOfNow(self);
    }
    return choosesOption(event) && showsResultOfNow(self);
}

// An export pairs the tables with the settings of now: a result of other inputs (a setting changed on
// another tab, a capital typed without Update) is computed anew first, as showing the tab computes it.
// A run that leaves no result of now exports nothing; its popup or the user's Cancel said why.
bool upToDateForExport(const py::module_ &m, py::object self, py::object window) {
    if (!showsResultOfOtherInputs(self)) return true;
    runAndShow(m, self, window);
    return showsResultOfNow(self);
}

// Shown with the charts held, as the window before showed them; every change of the date's text noted from
// the text the new window shows.
void bindWindow(py::object self, py::object window) {
    showCharts(self, window);
    forgetDateEdits(self);
    py::object dateInput = window.attr("AllKeysDict").attr("get")("CutOffDate");
    if (!dateInput.is_none()) watchDateEdits(self, dateInput);
}

// The run after a load goes through the provider manager as the Update button's does: the providers
// before this tab see the event first, so that the data provider, given the loaded settings during
// this event, fetches the prices for them.
void runAfterLoading(const py::module_ &m, py::object self, py::object window, py::object values) {
    // The fields show the loaded settings while the run goes on: an update takes a text that differs
    // from its setting as an edit.
    py::module_::import("fields").attr("FieldProvider").attr("updateConfig")(window, self.attr("config"));
    py::object manager = self.attr("providerManager");
    if (manager.is_none())
        runAndShow(m, self, window);
    else
        manager.attr("handleEvent")(window, "UpdateConfig", values);
}

}  // namespace

void tellFailure(const py::module_ &m, const char *logged, const char *message) {
    velmora::logFailure(m, logged);
    velmora::showError(velmora::translate(message), velmora::currentException());
}

namespace {

bool handleEvent(const py::module_ &m, py::object self, py::object window, py::object event,
                 py::object values) {
    if (event.equal(velmora::sg().attr("WIN_CLOSE_ATTEMPTED_EVENT")) || isEvent(event, "UpdateSoftware")) {
        saveOnLeaving(m, self, window);
        return false;
    }
    if (startsRun(event)) {
        if (changesNothing(self, event)) return false;
        // An event the toolkit hands on while a run holds the loop waits for that run's end too.
        if (runsDeferred(self) || runInProgress(self))
            askRun(self);
        else
            runAndShow(m, self, window);
        return false;
    }
    if (isEvent(event, "SaveConfig")) {
        self.attr("saveConfig")(window);
        return false;
    }
    if (isEvent(event, "SaveGraph") || isEvent(event, "SaveExcel")) {
        const char *save = isEvent(event, "SaveGraph") ? "saveGraph" : "saveExcel";
        if (upToDateForExport(m, self, window)) self.attr(save)();
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
    bool selected = selectsTab(self, event, values);
    // The framework's mark of a provider never computed: shown, the tab runs again after a cancel, and
    // when its result was computed from other settings than those of now, wherever they were changed.
    if (selected && (runPending(self) || showsResultOfOtherInputs(self))) self.attr("lastGeneration") = -1;
    // Opening the tab may run too: what was typed during that run is taken as after any other.
    py::dict shownBefore = selected ? shownValues(window) : py::dict();
    if (selected) forgetRequests(self);
    bool recreate = velmora::truthy(velmora::super(m.attr("RecommendationProvider"), self)
                                        .attr("handleEvent")(window, event, values));
    if (!recreate && selected && runAskedDuring(self, window, shownBefore)) runAndShow(m, self, window);
    return recreate;
}

void defineRecommendationProvider(py::module_ &m) {
    defineResult(m);
    py::object cls = velmora::makeClass(m, "RecommendationProvider",
                                        py::make_tuple(velmora::classOf("provider", "TabProvider")));
    cls.attr("key") = "recommendation";
    const py::module_ &module = m;
    velmora::constructor(cls, module, &construct, "config"_a, "providerManager"_a = py::none(),
                         "userConfigParm"_a = py::none());
    velmora::method(cls, "createTab", module, &createTab);
    velmora::method(cls, "resetUI", &resetUI, "window"_a);
    velmora::method(cls, "updateUI", &updateUI, "window"_a);
    velmora::method(cls, "bind", &bindWindow, "window"_a);
    velmora::method(cls, "handleEvent", module, &handleEvent, "window"_a, "event"_a, "values"_a);
    velmora::method(cls, "recompute", module, &recompute);
    defineRun(m, cls);
    defineCharts(m, cls);
    defineUserConfiguration(m, cls);
    defineReports(m, cls);
}

}  // namespace

}  // namespace velmora::recommendation

PYBIND11_MODULE(recommendation, m) {
    m.attr("logging") = py::module_::import("logging");
    // The module's file name is not set yet while its body runs: this is the root logger.
    m.attr("logger") = m.attr("logging").attr("getLogger")(m.attr("__file__"));
    velmora::recommendation::defineRecommendationProvider(m);
}
