"""Benchmark of the share-count optimiser, run inside the program's interpreter:

    tools/with-display build/velmora-tests -p no:cacheprovider -q -s bench/bench_deopt.py

The same SciPy differential-evolution call over 50 stocks, once with the module's compiled objective
(`MaxSharpe2.Objective`), capital constraint and quadratic form, once with the plain numpy versions
of tests/deopt_reference.py. Both start from the same random state and are stopped after the same
number of generations through the progress callback; their histories and tables must be equal.
Prints one result line for bench/README.md."""
import builtins
import gettext
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

# The method classes translate their names when the module loads; the program installs `_` first.
if not hasattr(builtins, "_"):
    gettext.NullTranslations().install()
import deopt  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
from deopt_reference import ReferenceOptimizer, sharpeObjective  # noqa: E402
from methods_support import PRICES_FILE  # noqa: E402

STOCKS, DAYS, GENERATIONS, ROUNDS = 50, 1000, 6, 3
CAPITAL, MIN_WEIGHT, MAX_WEIGHT = 100000, 0.01, 0.1


def fiftyStocks():
    """Real daily prices of 50 columns: the 20 stocks in several disjoint windows of DAYS days,
    each window's stocks that were listed throughout it, laid side by side."""
    prices = pd.read_csv(PRICES_FILE, parse_dates=["date"], index_col="date")
    columns = {}
    end = len(prices)
    while len(columns) < STOCKS:
        window = prices.iloc[end - DAYS:end].dropna(axis="columns", how="any")
        for symbol in window.columns:
            columns[f"{symbol} {window.index[0].year}"] = window[symbol].to_numpy()
        end -= DAYS
    table = pd.DataFrame(columns, index=pd.bdate_range("2014-01-01", periods=DAYS))
    return table[sorted(table.columns)[:STOCKS]]


class Stop:
    """Progress callback that cancels the search after GENERATIONS generations."""

    def __call__(self, curVal, maxValue=None, addValue=None):
        return curVal is None or curVal <= GENERATIONS


def run(optimizer, objective):
    np.random.seed(2024)
    began = time.perf_counter()
    try:
        result = optimizer.optimize(objective)[:2]
    except ValueError as error:  # no member within the capital yet
        result = str(error)
    return time.perf_counter() - began, result


def test_objective_and_constraint_per_generation():
    prices = fiftyStocks()
    returns = prices.pct_change().dropna()
    method = deopt.MaxSharpe2()
    method.expectedReturns = (prices.iloc[-1] / prices.iloc[0]) ** (252 / (len(prices) - 1)) - 1
    method.cov = returns.cov().values * 252
    method.riskFree = 0.01
    reference = sharpeObjective(method.expectedReturns, method.cov, method.riskFree)

    program, plain = [], []
    for _ in range(ROUNDS):
        optimizer = deopt.Optimizer(CAPITAL, prices, MIN_WEIGHT, MAX_WEIGHT, progress=Stop(), minDelta=0.1)
        seconds, result = run(optimizer, method.Objective)
        program.append(seconds / len(optimizer.history))
        referenceOptimizer = ReferenceOptimizer(CAPITAL, prices, MIN_WEIGHT, MAX_WEIGHT, progress=Stop(),
                                                minDelta=0.1)
        seconds, expected = run(referenceOptimizer, reference)
        plain.append(seconds / len(referenceOptimizer.history))

        assert len(optimizer.history) == len(referenceOptimizer.history) == GENERATIONS
        np.testing.assert_allclose(optimizer.history, referenceOptimizer.history, rtol=1e-12)
        if isinstance(result, str):
            assert result == expected
        else:
            pd.testing.assert_frame_equal(result[0], expected[0])
            np.testing.assert_array_equal(result[1], expected[1])

    best, median = min(program), float(np.median(program))
    plainBest, plainMedian = min(plain), float(np.median(plain))
    print(f"\n| {STOCKS} stocks, {2 * STOCKS * 40} members, whole shares | {best * 1e3:.0f} ms "
          f"(median {median * 1e3:.0f}) | {plainBest * 1e3:.0f} ms (median {plainMedian * 1e3:.0f}) "
          f"| {plainBest / best:.2f} (median {plainMedian / median:.2f}) | >= 1.3 |")


def test_objective_and_constraint_per_call():
    """The two operations alone, on the same 4000 members that the library would hand over one by one."""
    prices = fiftyStocks()
    returns = prices.pct_change().dropna()
    method = deopt.MaxSharpe2()
    method.expectedReturns = (prices.iloc[-1] / prices.iloc[0]) ** (252 / (len(prices) - 1)) - 1
    method.cov = returns.cov().values * 252
    method.riskFree = 0.01
    optimizer = deopt.Optimizer(CAPITAL, prices, MIN_WEIGHT, MAX_WEIGHT)
    optimizer.objectiveFunc = method.Objective
    reference = ReferenceOptimizer(CAPITAL, prices, MIN_WEIGHT, MAX_WEIGHT)
    reference.objectiveFunc = sharpeObjective(method.expectedReturns, method.cov, method.riskFree)
    rng = np.random.default_rng(7)
    upper = np.floor(CAPITAL * MAX_WEIGHT / optimizer.lastPrices)
    members = [np.concatenate([np.floor(rng.uniform(0, upper + 1)), rng.integers(0, 2, STOCKS)]).astype(float)
               for _ in range(2 * STOCKS * 40)]

    def both(side):
        for x in members:
            side.CapitalConstraint(x)
            side.Objective(x)

    program, plain = [], []
    for _ in range(ROUNDS):
        began = time.perf_counter()
        both(optimizer)
        program.append((time.perf_counter() - began) / len(members))
        began = time.perf_counter()
        both(reference)
        plain.append((time.perf_counter() - began) / len(members))
    # The sums run in another order than the BLAS dot product: equal up to the last bits.
    for x in members[:50]:
        assert optimizer.CapitalConstraint(x) == pytest.approx(reference.CapitalConstraint(x), rel=1e-14)
        assert optimizer.Objective(x) == pytest.approx(reference.Objective(x), rel=1e-13)
    best, plainBest = min(program), min(plain)
    print(f"\n| objective and constraint of one member, {STOCKS} stocks | {best * 1e6:.1f} us "
          f"(median {np.median(program) * 1e6:.1f}) | {plainBest * 1e6:.1f} us "
          f"(median {np.median(plain) * 1e6:.1f}) | {plainBest / best:.2f} | |")
