// A part of the recommendation module: the result the tab holds, shows and exports, with the settings
// it stands for; the snapshot taken before a run and what a run that does not complete leaves.
#include "parts.hpp"

#include <initializer_list>

namespace velmora::recommendation {

namespace {

// The graphs and run state that a new run or a clearing replaces, in the order they are reset: what
// the tab shows and exports besides the two tables. `resultCutOffDate` is the cut-off date the shown
// result was computed with, so that the caption tells of the result and not of a later setting;
// `resultSettings` the allocation settings it was computed with.
constexpr std::initializer_list<const char *> resultState = {
    "analysisGraph", "analysisGraph2",    "weightGraph", "backtestGraph",    "drawdownGraph",
    "methodObj",     "futureValue",       "cleanedWeights", "recommendationWrk", "returns",
    "resultCutOffDate", "resultSettings"};

// The estimation inputs a run sets on the provider, which the method object of the shown result
// may read again when the report draws its analysis.
constexpr std::initializer_list<const char *> ownerState = {
    "prices",  "historicReturns", "expectedReturns", "benchmarkPerDay", "frequency",
    "maxWeight", "minWeight",     "fractional",      "optimizer"};

py::object emptyRecommendation() {
    py::list columns = velmora::list({"Symbol", "Security Name", "Weight", "Price", "Count", "Value"});
    return velmora::pandas().attr("DataFrame")("columns"_a = columns);
}

py::object emptyResults() {
    return velmora::pandas().attr("DataFrame")("columns"_a = velmora::list({"Name", "Value"}));
}

// Published again only where the run changed a table: a publication counts as a new result.
void restoreResult(py::object self, py::dict held) {
    for (const char *key : {"Recommendation", "Results"})
        if (!self.attr("__getitem__")(key).is(held[key])) self.attr("__setitem__")(key, held[key]);
    for (const char *name : resultState) self.attr(name) = held[name];
    for (const char *name : ownerState) self.attr(name) = held[name];
}

}  // namespace

py::object allocationSettings(py::object self) {
    return velmora::builtins().attr("dict")(self.attr("config").attr("allocation"));
}

void clearResult(py::object self) {
    self.attr("__setitem__")("Recommendation", emptyRecommendation());
    self.attr("__setitem__")("Results", emptyResults());
    for (const char *name : resultState) self.attr(name) = py::none();
}

void clearResultOf(py::object self, py::object settings) {
    clearResult(self);
    self.attr("resultSettings") = settings;
}

py::dict heldResult(py::object self) {
    py::dict held;
    held["Recommendation"] = self.attr("__getitem__")("Recommendation");
    held["Results"] = self.attr("__getitem__")("Results");
    for (const char *name : resultState) held[name] = py::getattr(self, name, py::none());
    for (const char *name : ownerState) held[name] = py::getattr(self, name, py::none());
    return held;
}

// A result held that was made with other settings than the form shows now describes nothing on
// screen: the tab is left empty as after a reset, standing for the settings of now. Empty tables held
// are kept as they are, so that nothing new is published.
void endUnfinishedRun(py::object self, py::dict held) {
    py::object settings = allocationSettings(self);
    if (py::object(held["resultSettings"]).equal(settings)) {
        restoreResult(self, held);
    } else if (velmora::truthy(held["Recommendation"].attr("empty"))) {
        restoreResult(self, held);
        self.attr("resultSettings") = settings;
    } else {
        clearResultOf(self, settings);
    }
}

bool sameCutOffDate(py::object self) {
    py::object settings = self.attr("resultSettings");
    if (settings.is_none()) return false;
    py::object cutOffDate = self.attr("config").attr("allocation").attr("cutOffDate");
    return settings.attr("get")("cutOffDate").equal(cutOffDate);
}

}  // namespace velmora::recommendation
