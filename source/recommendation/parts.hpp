// The recommendation module in parts: what the module file and its parts call of one another. The module
// file, source/recommendation.cpp, makes the tab's class; each part binds its own methods onto it.
#pragma once

#include "../pyclass.hpp"

namespace velmora::recommendation {

// The tab (recommendation.cpp): its result state, and the failure told from any part.

// Fractional share counts are shown, printed and exported with this many decimals.
inline constexpr int shareDecimals = 4;

bool runCancelled(py::object self);

bool runFailed(py::object self);

// A run from the tab's events counts as the framework's own: a later look at the tab, or another
// provider's reconfiguration, finds nothing to compute until an input changes.
void markComputed(py::object self);

// Logs the failure being handled and tells the user; called inside a catch block.
void tellFailure(const py::module_ &m, const char *logged, const char *message);

// The result held (result.cpp).

// The allocation settings of now, as a plain copy a result keeps.
py::object allocationSettings(py::object self);

// Publishes the empty tables and forgets every chart and the run's state.
void clearResult(py::object self);

// The empty tables as what a run under `settings` left.
void clearResultOf(py::object self, py::object settings);

// What the tab shows and exports, so that a run that does not complete can give it back.
py::dict heldResult(py::object self);

// After a run that failed or was cancelled: the result held comes back when the settings are still
// those it was made with; under changed settings the tab is left empty.
void endUnfinishedRun(py::object self, py::dict held);

// Whether the cut-off date is still the one the tab's result stands for.
bool sameCutOffDate(py::object self);

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

// A method that draws on the current figure (a heat map) gets one of its own.
void drawAnalysis(py::object self, py::object method);

// The twenty largest weights by security name, the rest as "Other" and what is left of the capital.
py::dict donutWeights(py::object recommendation);

void drawDonut(py::object self, py::object recommendation);

// Runs `body` inside the chart-text capture, which puts matplotlib's operations back
// however the body ends.
template <typename Body>
void withTranslatedAxes(Body &&body) {
    velmora::within(py::module_::import("risk").attr("translateAxes")(), body);
}

void drawBacktest(const py::module_ &m, py::object self, py::object returns, py::object weights);

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
