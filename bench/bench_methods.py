"""Benchmarks of the PyPortfolioOpt methods, run inside the program's interpreter:

    tools/with-display build/velmora-tests -p no:cacheprovider -q -s bench/bench_methods.py

Every method's `computeRecommendation` on 10 and 20 real stocks and on 50 synthetic stocks, against
the plain-Python pipeline of bench/plain_pipeline.py making the same library calls in the same
order; then the cost of the minimum-weight link (one solve with and without it). Each case prints
one result row for bench/README.md."""
import sys
import time
from pathlib import Path

import numpy as np
import pandas.testing as pdt
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
sys.path.insert(0, str(Path(__file__).resolve().parent))
import gettext  # noqa: E402

gettext.NullTranslations().install()
import methods_support as support  # noqa: E402
import plain_pipeline  # noqa: E402
from fields import resolve  # noqa: E402

TEN = ["AAPL", "AMZN", "BAC", "GE", "JPM", "MA", "PFE", "SBUX", "WMT", "XOM"]
# All 20 stocks are listed together only since BABA's listing in September 2014.
DATASETS = {
    "10 real x 5 years": lambda: support.stockPrices(TEN, years=5),
    "20 real x 3.6 years": lambda: support.stockPrices(years=5).dropna(axis="index"),
    "50 synthetic x 5 years": lambda: support.syntheticPrices([f"S{i:02d}" for i in range(50)], days=1260),
}
METHODS = list(support.REFERENCES)
SETTINGS = {"maxWeight": 20, "minWeight": 4}
# Rounds alternate program and reference, each going first in every other round, so that the load
# of the machine and warm caches weigh on both alike; slow cases get fewer rounds.
ROUNDS = {1.0: 10, 20.0: 4, float("inf"): 2}


def stockPricesOf(dataset):
    frame = DATASETS[dataset]()
    if dataset.startswith("20"):
        frame = frame.reindex(sorted(frame.columns), axis="columns")
    return frame


def timed(function):
    began = time.perf_counter()
    result = function()
    return time.perf_counter() - began, result


def row(name, program, reference, goal="<= 1.05"):
    best, median = min(program), float(np.median(program))
    referenceBest, referenceMedian = min(reference), float(np.median(reference))
    return (f"| {name} | {best:.3f} s (median {median:.3f}) | {referenceBest:.3f} s (median {referenceMedian:.3f}) "
            f"| {best / referenceBest:.2f} (median {median / referenceMedian:.2f}) | {goal} |")


@pytest.mark.parametrize("dataset", list(DATASETS))
@pytest.mark.parametrize("dottedName", METHODS)
def test_method_against_plain_pipeline(dottedName, dataset):
    prices = stockPricesOf(dataset)
    cls = resolve(dottedName)
    program, reference = [], []
    rounds, index = 2, 0
    while index < rounds:
        programOwner = support.makeOwner(prices, **SETTINGS)
        referenceOwner = support.makeOwner(prices, **SETTINGS)
        runs = [(program, lambda: cls().computeRecommendation(programOwner)),
                (reference, lambda: plain_pipeline.reference(dottedName, referenceOwner)[:2])]
        results = {}
        for times, run in runs if index % 2 == 0 else runs[::-1]:
            seconds, results[id(times)] = timed(run)
            times.append(seconds)
        (table, performance), (expected, expectedPerformance) = results[id(program)], results[id(reference)]
        pdt.assert_frame_equal(table, expected)
        pdt.assert_frame_equal(performance, expectedPerformance)
        if index == 0:
            rounds = next(count for limit, count in ROUNDS.items() if max(program) < limit)
        index += 1
    print("\n" + row(f"{dottedName}, {dataset}, {len(table)} kept", program, reference))


LINKED = {"minvol.MinVolatility": "min_volatility", "minsemi.MinSemi": "min_semivariance", "cvar.CVaR": "min_cvar"}


@pytest.mark.parametrize("dataset", list(DATASETS))
@pytest.mark.parametrize("dottedName", list(LINKED))
def test_cost_of_the_minimum_weight_link(dottedName, dataset, monkeypatch):
    """One first-pass solve with ECOS_BB and the boolean link, against the same solve without the link
    (then a continuous problem for the same solver)."""
    prices = stockPricesOf(dataset)
    solve = support.REFERENCES[dottedName][0]
    withLink, withoutLink = [], []
    for _ in range(2):
        seconds, _ef = timed(lambda: solve(support.makeOwner(prices, **SETTINGS)))
        withLink.append(seconds)
        with monkeypatch.context() as patch:
            patch.setattr(support, "minimumWeightLink", lambda ef, owner: None)
            seconds, _ef = timed(lambda: solve(support.makeOwner(prices, **SETTINGS)))
        withoutLink.append(seconds)
    print("\n" + row(f"{LINKED[dottedName]} with link / without, {dataset}", withLink, withoutLink, goal="-"))
