"""Benchmarks of the Riskfolio-Lib methods, run inside the program's interpreter:

    tools/with-display build/velmora-tests -p no:cacheprovider -q -s bench/bench_riskfolio.py

A whole run as the recommendation tab makes it: `computeRecommendation` (two passes, each with the
captured performance table), then `plotAnalysis` with both charts rendered to PNG, against the same
work written as plain Python: the pipeline of bench/plain_pipeline.py with the solves of
tests/riskfolio_support.py, and the two charts drawn with the same library calls inside a plain
`try`/`finally` that replaces the axes' text setters. Each case prints one result row for
bench/README.md."""
import builtins
import sys
import time
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas.testing as pdt  # noqa: E402
import pytest  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
sys.path.insert(0, str(Path(__file__).resolve().parent))
import gettext  # noqa: E402

gettext.NullTranslations().install()
import methods_support as support  # noqa: E402
import riskfolio_support as plain  # noqa: E402
import plain_pipeline  # noqa: E402
from riskef import RiskFolioEF  # noqa: E402
from riskhrp import RiskFolioHRP  # noqa: E402

DATASETS = {
    "10 real x 1 year": lambda: support.stockPrices(plain.TEN, years=1),
    "20 real x 2 years": lambda: support.stockPrices(years=2).dropna(axis="index"),
}
SETTINGS = {"maxWeight": 20, "minWeight": 4, "objective": "Sharpe", "linkageMethod": "ward"}
ROUNDS = 4
translations = set()


def translatedSetter(setter):
    def replacement(ax, text, *args, **kwargs):
        translations.add(text)
        return setter(ax, builtins._(text) if text else text, *args, **kwargs)

    return replacement


def translatedCharts(draw):
    names = ("set_xlabel", "set_ylabel", "set_title")
    saved = [getattr(plt.Axes, name) for name in names]
    try:
        for name, setter in zip(names, saved):
            setattr(plt.Axes, name, translatedSetter(setter))
        return draw()
    finally:
        for name, setter in zip(names, saved):
            setattr(plt.Axes, name, setter)


def plainFrontierCharts(solved):
    import riskfolio as rp

    port = solved.port
    frontier = port.efficient_frontier(model="Classic", rm=solved.rm, points=20, rf=solved.rf, hist=True)
    plt.close("all")

    def draw():
        fig, ax1 = plt.subplots(1, 1, figsize=(9, 7))
        rp.plot_frontier(w_frontier=frontier, mu=port.mu, cov=port.cov, returns=port.returns, rm=solved.rm,
                         rf=solved.rf, w=solved.w, ax=ax1, cmap="gist_ncar")
        index = list(frontier.index)
        fig, ax2 = plt.subplots(1, 1, figsize=(9, 7))
        rp.plot_frontier_area(w_frontier=frontier, nrow=10, width=6, ax=ax2)
        ax2.legend(index, loc="center right", fontsize=5, title="Legend")
        return ax2, ax1

    return translatedCharts(draw)


def plainClusteringCharts(solved, linkage):
    import riskfolio as rp
    import scipy.cluster.hierarchy as hierarchy

    port = solved.port
    plt.close("all")
    captured = []

    def draw():
        fig, ax1 = plt.subplots(1, 1, figsize=(9, 7))
        ax1 = rp.plot_risk_con(solved.w, port.returns, ax=ax1)
        holder = rp.src.PlotFunctions.hr
        saved = holder.dendrogram
        holder.dendrogram = lambda clustering, *args, **kwargs: captured.append(clustering)
        try:
            fig, ax2 = plt.subplots(1, 1, figsize=(5, 5))
            ax2 = rp.plot_dendrogram(returns=port.returns, ax=ax2, linkage=linkage)
            fig.delaxes(ax2)
        finally:
            holder.dendrogram = saved
        fig, ax2 = plt.subplots(1, 1, figsize=(9, 7))
        plt.subplots_adjust(right=0.2)
        hierarchy.dendrogram(captured[-1], orientation="left", labels=port.returns.columns,
                             truncate_mode="level", p=20, distance_sort=True, ax=ax2)
        ax2.set_xticklabels([])
        ax2.set_xticks([])
        ax2.set_title(builtins._("Dendrogram"))
        plt.tight_layout()
        return ax1, ax2

    return translatedCharts(draw)


def programRun(cls, owner):
    method = cls()
    tables = method.computeRecommendation(owner)
    images = [plain.axToPng(ax) for ax in method.plotAnalysis(figsize=None)]
    return tables, images


def plainRun(build, charts, owner):
    names = []

    def solve(tab):
        solved = plain.PlainSolve(tab, build)
        names[:] = solved.names
        return solved

    table, performance, solved = plain_pipeline.referenceRecommendation(
        owner, solve, names, performance=lambda ef, tab: ef.portfolio_performance())
    images = [plain.axToPng(ax) for ax in charts(solved)]
    return (table, performance), images


CASES = {
    "RiskFolioEF": (RiskFolioEF, plain.buildEF, plainFrontierCharts),
    "RiskFolioHRP": (RiskFolioHRP, plain.buildHRP, lambda solved: plainClusteringCharts(solved, "ward")),
}


def timed(function):
    began = time.perf_counter()
    result = function()
    return time.perf_counter() - began, result


def row(name, program, reference, goal="<= 1.05"):
    best, median = min(program), float(np.median(program))
    referenceBest, referenceMedian = min(reference), float(np.median(reference))
    return (f"| {name} | {best:.3f} s (median {median:.3f}) "
            f"| {referenceBest:.3f} s (median {referenceMedian:.3f}) "
            f"| {best / referenceBest:.2f} (median {median / referenceMedian:.2f}) | {goal} |")


def checkSamePerformance(performance, expected):
    """The same table; the relativistic figures where CLARABEL gives up come from the program's bounded
    SCS solve, the reference's from the library's unbounded one."""
    relativistic = performance["Name"].str.contains("Relativistic")
    pdt.assert_frame_equal(performance[~relativistic], expected[~relativistic])
    assert list(performance.loc[relativistic, "Value"]) == pytest.approx(
        list(expected.loc[relativistic, "Value"]), rel=5e-3)


@pytest.mark.parametrize("dataset", list(DATASETS))
@pytest.mark.parametrize("case", list(CASES))
def test_method_against_plain_python(case, dataset):
    cls, build, charts = CASES[case]
    prices = DATASETS[dataset]()
    # The first run of each side compiles the library's numba functions and fills caches: not timed.
    programRun(cls, support.makeOwner(prices, **SETTINGS))
    plainRun(build, charts, support.makeOwner(prices, **SETTINGS))
    program, reference = [], []
    for index in range(ROUNDS):
        programOwner = support.makeOwner(prices, **SETTINGS)
        referenceOwner = support.makeOwner(prices, **SETTINGS)
        runs = [(program, lambda: programRun(cls, programOwner)),
                (reference, lambda: plainRun(build, charts, referenceOwner))]
        results = {}
        for times, run in runs if index % 2 == 0 else runs[::-1]:
            seconds, results[id(times)] = timed(run)
            times.append(seconds)
        ((table, performance), images), ((expected, expectedPerformance), expectedImages) = (
            results[id(program)], results[id(reference)])
        pdt.assert_frame_equal(table, expected)
        checkSamePerformance(performance, expectedPerformance)
        assert [len(image) > 0 for image in images] == [True, True] and len(expectedImages) == 2
    print("\n" + row(f"{case}, {dataset}, {len(table)} kept", program, reference))


# ---- Ten years of daily prices -------------------------------------------------------------------------

def tenYears():
    """The ten stocks from 2007-06-01 to 2017-05-31: 2518 days of prices."""
    return support.stockPrices(plain.TEN, years=11, end="2017-05-31").loc["2007-06-01":]


TEN_YEAR_LIMITS = {"minWeight": 0, "maxWeight": 100}
RISK_METHODS = ["sample_cov", "semicovariance", "exp_cov", "ledoit_wolf", "oracle_approximating"]
OBJECTIVES = ["MinRisk", "Sharpe", "Utility", "MaxRet", "ERC"]


def relativistic(method):
    """The table's relativistic rows, as the library's table writes them."""
    return {name: value for name, value in zip(method.results, method.values) if "Relativistic" in name}


def test_ten_years_semideviation_minimum_risk():
    """The run of four minutes: the mean-risk method, MinRisk, semideviation, ten stocks over ten years."""
    prices = tenYears()
    # The library's numba functions are compiled on a short history first: not timed.
    programRun(RiskFolioEF, support.makeOwner(prices.iloc[-300:], objective="MinRisk", riskMethod="semicovariance",
                                              **TEN_YEAR_LIMITS))
    times = []
    for index in range(ROUNDS):
        owner = support.makeOwner(prices, objective="MinRisk", riskMethod="semicovariance", **TEN_YEAR_LIMITS)
        seconds, run = timed(lambda: programRun(RiskFolioEF, owner))
        times.append(seconds)
    method = RiskFolioEF()
    method.computeRecommendation(support.makeOwner(prices, objective="MinRisk", riskMethod="semicovariance",
                                                   **TEN_YEAR_LIMITS))
    print(f"\n| RiskFolioEF, MinRisk, semicovariance, 10 real x {len(prices) - 1} daily returns "
          f"| {min(times):.2f} s (median {float(np.median(times)):.2f}) | {relativistic(method)} | < 10 s |")


@pytest.mark.parametrize("cls", [RiskFolioEF, RiskFolioHRP])
def test_ten_years_every_setting(cls):
    """Every risk model of its own estimator code and every objective, once each: the slowest run counts."""
    prices = tenYears()
    rows = []
    for riskMethod in RISK_METHODS:
        for objective in OBJECTIVES:
            owner = support.makeOwner(prices, objective=objective, riskMethod=riskMethod, **TEN_YEAR_LIMITS)
            try:
                seconds, run = timed(lambda: programRun(cls, owner))
            except ValueError as refusal:  # a limit the objective cannot keep, told in the user's terms
                seconds, run = 0.0, refusal
            rows.append((seconds, riskMethod, objective))
    for seconds, riskMethod, objective in sorted(rows, reverse=True)[:5]:
        print(f"\n| {cls.__name__}, {objective}, {riskMethod}, 10 real x 10 years | {seconds:.2f} s | < 10 s |")
    print(f"\n{cls.__name__}: {len(rows)} settings, median {float(np.median([r[0] for r in rows])):.2f} s, "
          f"slowest {max(rows)[0]:.2f} s")
