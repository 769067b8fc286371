// A part of the recommendation module: the run, from the estimation inputs through the method to the
// published result, and the backtest with its figures.
#include "parts.hpp"

#include <cmath>
#include <initializer_list>
#include <tuple>
#include <utility>

namespace velmora::recommendation {

namespace {

// The run ends without a result of its own: the tab shows the empty tables, and `message`, when
// there is one, tells the user why.
struct NoResult {
    py::object message;
};

// The step is kept for the reads between the steps, which show the meter where it stands.
void report(py::object self, int step) {
    setRunStep(self, step);
    if (!velmora::truthy(self.attr("update")(step))) throw Cancelled();
}

// Reads the meter's Cancel button now rather than at its next timed redraw: a step that reports
// nothing (a chart, the backtest) would otherwise leave a click unread until the run had published.
void honourCancel(py::object self, int step) {
    self.attr("lastProgressUpdate") = 0;
    report(self, step);
}

// Before each image, at the step the meter shows.
BeforeImage cancelBeforeImage(py::object self) {
    return [self] { honourCancel(self, runStep(self).cast<int>()); };
}

bool cancelPressed(py::object self) {
    return velmora::truthy(self.attr("progressCancelled"));
}

void checkCancelled(py::object self) {
    if (cancelPressed(self)) throw Cancelled();
}

// cvxpy's solve, which first reads the meter's Cancel: one step of a run holds many solves (the
// frontier's points, the rows of a performance table), and a click must not wait for all of them.
// The libraries catch what a solve raises and try on, so once cancelled every later solve refuses
// at once, and the run ends at its next check or at the failure the refusals cause.
py::object cancellableSolve(py::object self, py::object problemClass) {
    py::object solve = problemClass.attr("solve");
    return py::cpp_function(
        [self, solve](py::object problem, py::args args, py::kwargs kwargs) -> py::object {
            if (!cancelPressed(self)) {
                self.attr("lastProgressUpdate") = 0;
                self.attr("update")(runStep(self));
            }
            if (cancelPressed(self)) velmora::raise(PyExc_RuntimeError, "the run was cancelled");
            return solve(problem, *args, **kwargs);
        },
        py::name("solve"), py::is_method(problemClass));
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
    py::list securities = stockLabels(stocks);
    for (size_t i = 0; i < symbols.size(); ++i) securityNames[symbols[i]] = securities[i];
    estimation = estimation.attr("rename")("columns"_a = securityNames);
    // The stocks' labels are the estimation's keys; reindexing refuses duplicate labels.
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

// The method's allocation labels its stocks as the estimation does; the stock table gives back
// the symbols and the security names, and a stock the table doesn't name drops out.
py::object withSymbols(py::object recommendation, py::object stocks) {
    recommendation = recommendation.attr("copy")();
    recommendation["Security Name"] = recommendation["Symbol"];
    recommendation = recommendation.attr("drop")("columns"_a = velmora::list({py::str("Symbol")}));
    py::object symbols = stocks[velmora::list({"Symbol", "Security Name"})].attr("rename_axis")(py::none());
    py::object labelled = symbols.attr("copy")();
    labelled["Security Name"] = stockLabels(symbols);
    recommendation = recommendation.attr("merge")(labelled, "sort"_a = true);
    py::object nameOf = symbols.attr("set_index")("Symbol")["Security Name"];
    recommendation["Security Name"] = recommendation["Symbol"].attr("map")(nameOf);
    return recommendation;
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
    drawBacktest(m, self, returns, py::object(recommendationWrk["Weight"]) / py::int_(100),
                 cancelBeforeImage(self));
    honourCancel(self, 4);
    self.attr("futureValue") = futureValue;
    py::object figures = backtestFigures(self, futureValue["PortfolioValue"]);
    return velmora::pandas().attr("concat")(velmora::list({performance, figures}), "ignore_index"_a = true);
}

// A chart that cannot be drawn costs the result the method computed nothing: its place shows an
// empty chart and the log says why. A failure that the user's Cancel caused ends the run.
template <typename Draw>
void drawnOrEmpty(const py::module_ &m, py::object self, std::initializer_list<const char *> images,
                  Draw &&draw) {
    try {
        draw();
    } catch (py::error_already_set &) {
        if (cancelPressed(self)) throw;
        velmora::logFailure(m, "The chart could not be drawn");
        for (const char *image : images) self.attr(image) = emptyChartImage(self);
    }
}

void runSteps(const py::module_ &m, py::object self) {
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

    drawnOrEmpty(m, self, {"analysisGraph", "analysisGraph2"},
                 [&] { drawAnalysis(self, method, cancelBeforeImage(self)); });
    honourCancel(self, 2);
    drawnOrEmpty(m, self, {"weightGraph"}, [&] { drawDonut(self, recommendation, cancelBeforeImage(self)); });
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
    self.attr("__setitem__")("Recommendation", recommendation);
    self.attr("__setitem__")("Results", performance);
}

void runRecommendation(const py::module_ &m, py::object self) {
    py::object problemClass = py::module_::import("cvxpy").attr("Problem");
    velmora::withReplaced(problemClass, "solve", cancellableSolve(self, problemClass), [&] {
        runSteps(m, self);
        return py::none();
    });
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

// One run from `inputs`; answers the failure to tell, or a message of the run's own, once the meter is
// closed, so that it is not hidden behind it.
std::pair<py::object, py::object> runOnce(const py::module_ &m, py::object self, py::object inputs) {
    py::object failure = py::none(), message = py::none();
    py::object progress = self.attr("start")(5);
    progress.attr("__enter__")();
    try {
        runRecommendation(m, self);
        resultComputed(self, inputs);
    } catch (const Cancelled &) {
        markCancelled(self);
    } catch (const NoResult &outcome) {
        clearResultFor(self, inputs);
        message = outcome.message;
        m.attr("logger").attr("warning")(message);
    } catch (...) {
        // What fails once the user has cancelled is the cancel's doing: a library that caught the
        // refused solve fails on the missing solution.
        if (cancelPressed(self)) {
            markCancelled(self);
        } else {
            velmora::logFailure(m, "Recommendation");
            failure = velmora::currentException();
            markFailed(self);
        }
    }
    progress.attr("__exit__")(py::none(), py::none(), py::none());
    if (runCancelled(self)) {
        // The charts drawn and not yet rendered.
        velmora::pyplot().attr("close")("all");
        m.attr("logger").attr("info")("Recommendation cancelled");
    }
    return {failure, message};
}

// A run that counts as done whatever it left: only a cancelled one is to be repeated.
void compute(const py::module_ &m, py::object self) {
    py::object failure = py::none(), message = py::none();
    asOneRun(self, [&] {
        py::object inputs = inputsOfNow(self);
        if (pricesOfSelection(self))
            std::tie(failure, message) = runOnce(m, self, inputs);
        else
            clearResultFor(self, inputs);
    });
    if (!runCancelled(self)) markComputed(self);
    if (!failure.is_none())
        velmora::showError(velmora::translate("The recommendation could not be computed:"), failure);
    if (!message.is_none()) velmora::showError(message);
}

}  // namespace

void defineRun(py::module_ &m, py::object cls) {
    const py::module_ &module = m;
    velmora::method(cls, "compute", module, &compute);
}

}  // namespace velmora::recommendation
