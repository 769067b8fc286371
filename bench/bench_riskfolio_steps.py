"""Where a Riskfolio method's run spends its time, step by step, on ten real stocks over ten years at the shipped
defaults, run inside the program's interpreter:

    tools/with-display build/velmora-tests -p no:cacheprovider -q -s bench/bench_riskfolio_steps.py

A run is what bench_every_method.py times (`computeRecommendation`, `plotAnalysis`, every figure drawn into a PNG);
here the library's functions and cvxpy's solve are timed as they are called, and each case prints the median of
three runs (after one that loads the libraries) of: the method's solves, the performance table and in it the two
relativistic figures with what each solver spent on them, the frontier and in it its solves (the rest of it is the
library making each program), the charts drawn and their rendering, and the processor time of the run's thread and
of the thread that computes the table (the same thread in the program; a trial that computed the table on a thread
of its own beside the frontier read the two apart)."""
import collections
import io
import json
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import gettext  # noqa: E402

gettext.NullTranslations().install()
import matplotlib.pyplot as plt  # noqa: E402

import methods_support as support  # noqa: E402
from fields import resolve  # noqa: E402

TEN = ["AAPL", "AMZN", "BAC", "GE", "JPM", "MA", "PFE", "SBUX", "WMT", "XOM"]
SHIPPED = json.loads((Path(__file__).resolve().parent.parent / "default.json").read_text())["allocation"]
CASES = [("riskef.RiskFolioEF", {}), ("riskef.RiskFolioEF", {"riskMethod": "semicovariance"}),
         ("riskhrp.RiskFolioHRP", {})]


class Steps:
    """Seconds per step of the current run; a step inside another is counted in both."""

    def __init__(self):
        self.seconds = collections.defaultdict(float)
        self.insideOf = collections.defaultdict(set)  # the steps each thread is in

    def timed(self, step, function, processorTime=None):
        def call(*args, **named):
            began, processor = time.perf_counter(), time.thread_time()
            inside = self.insideOf[threading.get_ident()]
            inside.add(step)
            try:
                return function(*args, **named)
            finally:
                inside.discard(step)
                self.seconds[step] += time.perf_counter() - began
                if processorTime:
                    self.seconds[processorTime] += time.thread_time() - processor

        return call

    def solve(self, function):
        def call(problem, *args, **named):
            began = time.perf_counter()
            outcome = "failed"
            try:
                answer = function(problem, *args, **named)
                outcome = "solved"
                return answer
            finally:
                spent = time.perf_counter() - began
                solver = named.get("solver", "default")
                inside = self.insideOf[threading.get_ident()]
                if "relativistic figures" in inside:
                    self.seconds[f"relativistic: {solver} {outcome}"] += spent
                elif "frontier" in inside:
                    self.seconds["frontier: solves"] += spent

        return call


def runOnce(cls, prices, settings, steps):
    shipped = {key: value for key, value in SHIPPED.items() if key in support.ALLOCATION or key == "objective"}
    owner = support.makeOwner(prices, **{**shipped, **settings})
    steps.seconds.clear()
    began, processor = time.perf_counter(), time.thread_time()
    method = cls()
    method.computeRecommendation2 = steps.timed("method's solves", method.computeRecommendation2)
    method.computeRecommendation(owner)
    computed = time.perf_counter()
    plt.close("all")
    method.plotAnalysis(figsize=(9, 7))
    drawn = time.perf_counter()
    for number in plt.get_fignums():
        plt.figure(number).savefig(io.BytesIO(), format="png")
    plt.close("all")
    ended = time.perf_counter()
    seconds = dict(steps.seconds)
    seconds.update({"compute": computed - began, "charts": ended - computed, "total": ended - began,
                    "rendering": ended - drawn, "processor time: the run's thread": time.thread_time() - processor})
    seconds["drawing"] = drawn - computed
    return seconds


@pytest.mark.parametrize("name, settings", CASES, ids=[f"{name}-{index}" for index, (name, _) in enumerate(CASES)])
def test_steps(name, settings, monkeypatch):
    import cvxpy
    import riskfolio
    import riskfolio.src.RiskFunctions as functions

    steps = Steps()
    monkeypatch.setattr(riskfolio, "plot_table",
                        steps.timed("table", riskfolio.plot_table, "processor time: the table's thread"))
    monkeypatch.setattr(functions, "RLVaR_Hist", steps.timed("relativistic figures", functions.RLVaR_Hist))
    monkeypatch.setattr(riskfolio.Portfolio, "efficient_frontier",
                        steps.timed("frontier", riskfolio.Portfolio.efficient_frontier))
    monkeypatch.setattr(cvxpy.Problem, "solve", steps.solve(cvxpy.Problem.solve))
    prices = support.stockPrices(TEN, years=10)
    cls = resolve(name)
    runOnce(cls, prices, settings, steps)
    runs = [runOnce(cls, prices, settings, steps) for _ in range(3)]
    names = sorted({step for run in runs for step in run})
    median = {step: float(np.median([run.get(step, 0.0) for run in runs])) for step in names}
    if "frontier" in median:
        median["frontier: making the programs"] = median["frontier"] - median.get("frontier: solves", 0.0)
    label = name + "".join(f", {key} {value}" for key, value in settings.items())
    print(f"\n{label}: " + ", ".join(f"{step} {seconds:.2f} s" for step, seconds in sorted(median.items())))
