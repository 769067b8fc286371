// The recommendation module in parts: what the module file and its parts call of one another. The module
// file, source/recommendation.cpp, makes the tab's class; each part binds its own methods onto it.
#pragma once

#include "../pyclass.hpp"

#include <functional>

namespace velmora::recommendation {

// The tab (recommendation.cpp): the failure told from any part.

// Fractional share counts are shown, printed and exported with this many decimals.
inline constexpr int shareDecimals = 4;

// Logs the failure being handled and tells the user; called inside a catch block.
void tellFailure(const py::module_ &m, const char *logged, const char *message);

// The result held and the run's state (result.cpp). Both live in one object on the tab, `runState`,
// made with the tab and read and changed only through these operations.

void defineResult(py::module_ &m);

void makeRunState(const py::module_ &m, py::object self);

// The inputs a result is computed from: the allocation and data settings, the selection and the prices.
py::object inputsOfNow(py::object self);

// Publishes the empty tables and forgets every chart and the inputs of the result.
void clearResult(py::object self);

// The empty tables as what a run from `inputs` left.
void clearResultFor(py::object self, py::object inputs);

// A run from `inputs` has published its result.
void resultComputed(py::object self, py::object inputs);

// The cut-off date of the result computed, none while the tab holds none.
py::object resultCutOffDate(py::object self);

// Whether the tab shows a computed result and every input it came from is still that of now.
bool showsResultOfNow(py::object self);

// Whether the tab shows a computed result of other inputs than those of now: a setting changed since,
// wherever it was set.
bool showsResultOfOtherInputs(py::object self);

// A run takes one snapshot of what the tab shows and exports, however many operations it passes
// through: the first to open it closes it. A run that failed or was cancelled then gives back the result
// held while every input it was computed from is unchanged; otherwise the tab is left empty.
bool openRun(py::object self);
void closeRun(py::object self);
// A run left by an exception keeps what it did and holds no snapshot.
void dropRun(py::object self);
bool runInProgress(py::object self);

template <typename Body>
void asOneRun(py::object self, Body &&body) {
    bool opened = openRun(self);
    try {
        body();
    } catch (...) {
        if (opened) dropRun(self);
        throw;
    }
    if (opened) closeRun(self);
}

void markCancelled(py::object self);
void markFailed(py::object self);
bool runCancelled(py::object self);
bool runFailed(py::object self);

// A run from the tab's events counts as the framework's own: a later look at the tab, or another
// provider's reconfiguration, finds nothing to compute until an input changes.
void markComputed(py::object self);

// The result a cancelled run leaves was not made from the inputs of now: bringing the tab to the front
// runs again, while another provider's reconfiguration (a keystroke in the settings tab) does not.
void keepForNextLook(py::object self);
bool runPending(py::object self);

// While the edits typed during a run are taken, a run they ask for is only noted: it runs once, when they
// are all taken.
void deferRuns(py::object self, bool deferring);
bool runsDeferred(py::object self);
void askRun(py::object self);
// Whether a run was asked for since the last look; the request is forgotten.
bool takeRunAsked(py::object self);

// Notes every change of the cut-off date's text in `input`, typed or set, until the field's next event that
// reaches the tab, the next run or a window made anew forgets them.
void watchDateEdits(py::object self, py::object input);
void forgetDateEdits(py::object self);
bool dateEdited(py::object self);

// While a load applies its settings the tab waits for the one run that follows the load.
void setLoading(py::object self, bool loading);
bool loading(py::object self);

// The step the meter shows, for the reads of its Cancel between the steps.
void setRunStep(py::object self, int step);
py::object runStep(py::object self);

// The language the charts held were drawn in.
void setChartLanguage(py::object self, py::object language);
py::object chartLanguage(py::object self);

// The run (run.cpp).

void defineRun(py::module_ &m, py::object cls);

// The charts (charts.cpp).

// Every translation of the program's catalogues, back to the program's own text. A result keeps
// the names of the language it was made in, a method those of the language it was loaded in;
// through these they are shown in the language of now.
py::dict ownTexts();

// The results with their names in the language shown; the same table when nothing changes.
py::object inLanguageShown(py::object results);

// The figure's texts in the language shown, its tick numbers as the backtest chart writes them. Only
// the texts change: setting a title anew would also reset the font its chart gave it.
void relabelFigure(py::dict own, py::handle figure);

// The tick numbers a chart library wrote itself, in the locale's format: percentages as the backtest
// chart writes its ticks.
void localeTickLabels(py::handle figure);

void relabelLegends(py::dict own, py::handle figure);

// Thrown within a run only: the user pressed Cancel in the progress meter, the run ends without
// publishing.
struct Cancelled {};

// Called by a run before each chart image is rendered: it reads the meter's Cancel and throws
// `Cancelled`, so that a click need not wait for the images left. Charts drawn again read nothing.
using BeforeImage = std::function<void()>;

// The image of a chart without data, of the size a method's chart has by default: the place of a chart
// that could not be drawn.
py::object emptyChartImage(py::object self);

// A method that draws on the current figure (a heat map) gets one of its own.
void drawAnalysis(py::object self, py::object method, const BeforeImage &beforeImage = {});

// Each stock's label, of a table with its symbol and security name: the name, and where stocks share a name
// (two classes of one company's shares) the symbol beside it, so that every stock keeps its own estimation
// column, slice and colour.
py::list stockLabels(py::object stocks);

// The twenty largest weights by stock label, the rest as "Other" and what is left of the capital.
py::dict donutWeights(py::object recommendation);

// Colours for `count` parts of one whole, no two alike: the colour cycle in force while it has enough, so
// that a small allocation keeps the theme's colours; otherwise as many hues evenly spaced, as a cycle
// that starts over would give two stocks one colour.
py::list distinctColours(size_t count);

void drawDonut(py::object self, py::object recommendation, const BeforeImage &beforeImage = {});

// Runs `body` inside the chart-text capture, which puts matplotlib's operations back
// however the body ends.
template <typename Body>
void withTranslatedAxes(Body &&body) {
    velmora::within(py::module_::import("risk").attr("translateAxes")(), body);
}

void drawBacktest(const py::module_ &m, py::object self, py::object returns, py::object weights,
                  const BeforeImage &beforeImage = {});

// A chart that cannot be drawn again keeps its image in the language it was drawn in.
void showInLanguage(const py::module_ &m, py::object self);

void defineCharts(py::module_ &m, py::object cls);

// The user configuration file (userconfig.cpp).

// Letter was stored in points before the paper size was kept in hundredths of an inch.
void mendPaperSize(py::handle tree);

// The window closes and an update replaces the program whatever happens here, so a save that
// fails is told to the user while there is still a window to tell it in.
void saveOnLeaving(const py::module_ &m, py::object self, py::object window);

void defineUserConfiguration(py::module_ &m, py::object cls);

// The reports (reports.cpp).

void defineReports(py::module_ &m, py::object cls);

}  // namespace velmora::recommendation
