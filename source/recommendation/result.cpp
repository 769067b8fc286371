// A part of the recommendation module: the result the tab holds, shows and exports, and the run's state:
// the inputs the shown result was computed from, the snapshot taken before a run and what a run that does
// not complete leaves.
#include "parts.hpp"

#include <initializer_list>

namespace velmora::recommendation {

namespace {

// The graphs and attributes that a new run or a clearing replaces, in the order they are reset: what the
// tab shows and exports besides the two tables.
constexpr std::initializer_list<const char *> resultState = {
    "analysisGraph", "analysisGraph2", "weightGraph",    "backtestGraph",     "drawdownGraph",
    "methodObj",     "futureValue",    "cleanedWeights", "recommendationWrk", "returns"};

// The estimation inputs a run sets on the provider, which the method object of the shown result
// may read again when the report draws its analysis.
constexpr std::initializer_list<const char *> ownerState = {
    "prices",  "historicReturns", "expectedReturns", "benchmarkPerDay", "frequency",
    "maxWeight", "minWeight",     "fractional",      "optimizer"};

// What the state holds of the shown result: the inputs it was computed from (those of now for the empty
// tables of a clearing), the cut-off date of a computed result, which its caption tells, and whether the
// tab shows one at all: empty tables left by a cancel, a failure or a clearing are none.
constexpr std::initializer_list<const char *> resultInputs = {"inputs", "cutOffDate", "computed"};

py::object stateOf(py::object self) { return self.attr("runState"); }

// The run's state, made with the tab: how the last run ended, whether a cancelled one is to be repeated
// at the next look, whether a load applies its settings, whether a run was asked for while the edits of
// a run are taken and whether it is only to be noted then, whether the cut-off date's text changed since
// the field's last event or the last run, the step the meter shows, the language the charts were drawn in,
// the shown result's inputs, and the snapshot of a run in progress.
void defineRunState(py::module_ &m) {
    py::object cls = velmora::makeClass(m, "RunState");
    velmora::constructor(cls, [](py::object self) {
        for (const char *flag :
             {"cancelled", "failed", "pending", "loading", "asked", "deferring", "dateEdited"})
            py::setattr(self, flag, py::bool_(false));
        self.attr("step") = 0;
        for (const char *name : {"chartLanguage", "inputs", "cutOffDate", "computed", "held"})
            py::setattr(self, name, py::none());
    });
}

py::object emptyRecommendation() {
    py::list columns = velmora::list({"Symbol", "Security Name", "Weight", "Price", "Count", "Value"});
    return velmora::pandas().attr("DataFrame")("columns"_a = columns);
}

py::object emptyResults() {
    return velmora::pandas().attr("DataFrame")("columns"_a = velmora::list({"Name", "Value"}));
}

// A table republished with the same rows is the same input.
bool sameTable(py::handle held, py::handle now) {
    return held.is(now) || velmora::truthy(held.attr("equals")(now));
}

bool sameInputs(py::object held, py::object now) {
    if (held.is_none() || now.is_none()) return false;
    for (const char *settings : {"allocation", "data"})
        if (!py::object(held[settings]).equal(now[settings])) return false;
    for (const char *table : {"stocks", "prices"})
        if (!sameTable(held[table], now[table])) return false;
    return true;
}

// Published again only where the run changed a table: a publication counts as a new result.
void restoreResult(py::object self, py::dict held) {
    for (const char *key : {"Recommendation", "Results"})
        if (!self.attr("__getitem__")(key).is(held[key])) self.attr("__setitem__")(key, held[key]);
    for (const char *name : resultState) self.attr(name) = held[name];
    for (const char *name : ownerState) self.attr(name) = held[name];
    for (const char *name : resultInputs) stateOf(self).attr(name) = held[name];
}

py::dict heldResult(py::object self) {
    py::dict held;
    held["Recommendation"] = self.attr("__getitem__")("Recommendation");
    held["Results"] = self.attr("__getitem__")("Results");
    for (const char *name : resultState) held[name] = self.attr(name);
    for (const char *name : ownerState) held[name] = py::getattr(self, name, py::none());
    for (const char *name : resultInputs) held[name] = stateOf(self).attr(name);
    return held;
}

// A result held that was made from other inputs than those of now (other settings, another selection,
// prices fetched anew) describes nothing on screen: the tab is left empty as after a reset, standing for
// the inputs of now. Empty tables held are kept as they are, so that nothing new is published.
void endUnfinishedRun(py::object self, py::dict held) {
    py::object inputs = inputsOfNow(self);
    if (sameInputs(held["inputs"], inputs)) {
        restoreResult(self, held);
    } else if (velmora::truthy(held["Recommendation"].attr("empty"))) {
        restoreResult(self, held);
        stateOf(self).attr("inputs") = inputs;
    } else {
        clearResultFor(self, inputs);
    }
}

}  // namespace

void makeRunState(const py::module_ &m, py::object self) { self.attr("runState") = m.attr("RunState")(); }

py::object inputsOfNow(py::object self) {
    py::object dict = velmora::builtins().attr("dict");
    py::dict inputs;
    inputs["allocation"] = dict(self.attr("config").attr("allocation"));
    inputs["data"] = dict(self.attr("config").attr("data"));
    inputs["stocks"] = self.attr("__getitem__")("stocks");
    inputs["prices"] = self.attr("__getitem__")("prices");
    return inputs;
}

void clearResult(py::object self) {
    self.attr("__setitem__")("Recommendation", emptyRecommendation());
    self.attr("__setitem__")("Results", emptyResults());
    for (const char *name : resultState) self.attr(name) = py::none();
    for (const char *name : resultInputs) stateOf(self).attr(name) = py::none();
}

void clearResultFor(py::object self, py::object inputs) {
    clearResult(self);
    stateOf(self).attr("inputs") = inputs;
}

void resultComputed(py::object self, py::object inputs) {
    stateOf(self).attr("inputs") = inputs;
    stateOf(self).attr("cutOffDate") = py::object(inputs["allocation"]).attr("get")("cutOffDate");
    stateOf(self).attr("computed") = true;
}

py::object resultCutOffDate(py::object self) { return stateOf(self).attr("cutOffDate"); }

bool showsResultOfNow(py::object self) {
    py::object state = stateOf(self);
    return velmora::truthy(state.attr("computed")) && sameInputs(state.attr("inputs"), inputsOfNow(self));
}

bool showsResultOfOtherInputs(py::object self) {
    py::object state = stateOf(self);
    return velmora::truthy(state.attr("computed")) && !sameInputs(state.attr("inputs"), inputsOfNow(self));
}

bool openRun(py::object self) {
    py::object state = stateOf(self);
    if (!state.attr("held").is_none()) return false;
    state.attr("cancelled") = false;
    state.attr("failed") = false;
    state.attr("held") = heldResult(self);
    return true;
}

bool runInProgress(py::object self) { return !stateOf(self).attr("held").is_none(); }

void closeRun(py::object self) {
    py::object state = stateOf(self);
    py::dict held = state.attr("held");
    state.attr("held") = py::none();
    if (runCancelled(self) || runFailed(self)) endUnfinishedRun(self, held);
}

void dropRun(py::object self) { stateOf(self).attr("held") = py::none(); }

void markCancelled(py::object self) { stateOf(self).attr("cancelled") = true; }

void markFailed(py::object self) { stateOf(self).attr("failed") = true; }

bool runCancelled(py::object self) { return velmora::truthy(stateOf(self).attr("cancelled")); }

bool runFailed(py::object self) { return velmora::truthy(stateOf(self).attr("failed")); }

void markComputed(py::object self) {
    self.attr("lastGeneration") = velmora::classOf("provider", "Provider").attr("generation");
    stateOf(self).attr("pending") = false;
}

void keepForNextLook(py::object self) {
    markComputed(self);
    stateOf(self).attr("pending") = true;
}

bool runPending(py::object self) { return velmora::truthy(stateOf(self).attr("pending")); }

void deferRuns(py::object self, bool deferring) { stateOf(self).attr("deferring") = deferring; }

bool runsDeferred(py::object self) { return velmora::truthy(stateOf(self).attr("deferring")); }

void askRun(py::object self) { stateOf(self).attr("asked") = true; }

bool takeRunAsked(py::object self) {
    bool asked = velmora::truthy(stateOf(self).attr("asked"));
    stateOf(self).attr("asked") = false;
    return asked;
}

void watchDateEdits(py::object self, py::object input) {
    py::object state = stateOf(self);
    input.attr("TKStringVar").attr("trace_add")(
        "write", py::cpp_function([state](py::args) { state.attr("dateEdited") = true; }));
}

void forgetDateEdits(py::object self) { stateOf(self).attr("dateEdited") = false; }

bool dateEdited(py::object self) { return velmora::truthy(stateOf(self).attr("dateEdited")); }

void setLoading(py::object self, bool loading) { stateOf(self).attr("loading") = loading; }

bool loading(py::object self) { return velmora::truthy(stateOf(self).attr("loading")); }

void setRunStep(py::object self, int step) { stateOf(self).attr("step") = step; }

py::object runStep(py::object self) { return stateOf(self).attr("step"); }

void setChartLanguage(py::object self, py::object language) { stateOf(self).attr("chartLanguage") = language; }

py::object chartLanguage(py::object self) { return stateOf(self).attr("chartLanguage"); }

void defineResult(py::module_ &m) { defineRunState(m); }

}  // namespace velmora::recommendation
