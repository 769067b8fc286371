"""Owner for method tests: makeOwner(prices, **allocation) gives the attributes the recommendation tab prepares."""
import math
from pathlib import Path

import pandas as pd
import pandas.testing as pdt
import pytest
from addict import Dict

PRICES_FILE = Path(__file__).resolve().parent.parent.parent / "shared" / "data" / "stock_prices.csv"

ALLOCATION = {
    "capital": 10000,
    "fractional": "NO",
    "benchmark": 1.0,
    "tradingDaysPerYear": 252,
    "riskMethod": "sample_cov",
    "returnMethod": "mean_historical_return",
    "linkageMethod": "single",
    "gamma": 10,
    "minWeight": 5,
    "maxWeight": 30,
    "solver": "ECOS_BB",
}


def stockPrices(symbols=None, years=5, end="2018-04-11"):
    """Real daily prices of the last `years` years before `end`, one column per symbol in label order."""
    prices = pd.read_csv(PRICES_FILE, parse_dates=["date"], index_col="date")
    prices.index.name = "Date"
    prices = prices.loc[pd.Timestamp(end) - pd.DateOffset(years=years) : end]
    if symbols is not None:
        prices = prices[list(symbols)]
    return prices.dropna(axis="columns", how="any").sort_index(axis="columns")


class Owner:
    """Stands in for the recommendation tab: its estimation inputs and its progress callback."""

    def __init__(self, prices, config):
        from pypfopt import efficient_frontier, expected_returns

        allocation = config.allocation
        self.config = config
        self.prices = prices
        self.historicReturns = expected_returns.returns_from_prices(prices).dropna()
        self.expectedReturns = expected_returns.return_model(prices, method=allocation.returnMethod)
        self.benchmarkPerDay = allocation.benchmark / 100.0 / allocation.tradingDaysPerYear
        self.frequency = allocation.tradingDaysPerYear
        self.solver = allocation.solver
        self.maxWeight = allocation.maxWeight / 100.0
        self.minWeight = allocation.minWeight / 100.0
        self.fractional = allocation.fractional
        self.optimizer = efficient_frontier.EfficientFrontier
        self.progress = []

    def update(self, curVal, maxValue=None, addValue=None):
        self.progress.append((curVal, maxValue, addValue))
        return True


def makeOwner(prices=None, **allocation):
    """An owner for `prices` (default: ten real stocks over five years) with allocation settings over the defaults."""
    config = Dict({"allocation": {**ALLOCATION, **allocation}})
    return Owner(stockPrices(["AAPL", "AMZN", "BAC", "GE", "JPM", "MA", "PFE", "SBUX", "WMT", "XOM"])
                 if prices is None else prices, config)


def syntheticPrices(labels, days=300, seed=7):
    """Seeded random walks, one column per label, for cases the real histories cannot show."""
    import numpy as np

    rng = np.random.default_rng(seed)
    steps = rng.normal(0.0004, 0.015, size=(days, len(labels)))
    index = pd.bdate_range("2017-01-02", periods=days, name="Date")
    return pd.DataFrame(50.0 * np.exp(np.cumsum(steps, axis=0)), index=index, columns=list(labels))


def minimumWeightLink(ef, owner):
    """The boolean link of the mixed-integer methods, as plain cvxpy; at a minimum of 0 it constrains nothing and
    is left out."""
    import cvxpy

    if owner.minWeight <= 0:
        return

    z = cvxpy.Variable(ef.n_assets, boolean=True)
    ef.add_constraint(lambda w: owner.minWeight * z <= w)


def uncut(ef):
    """The weights of a solved optimiser before any cutoff."""
    return dict(ef.clean_weights(cutoff=0.0, rounding=None))


def recordingSolves(cls):
    """The method class with the weights of every solve, before the cutoff, kept in `uncut`."""

    class Recording(cls):
        def computeRecommendation2(self, owner):
            ef = super().computeRecommendation2(owner)
            self.__dict__.setdefault("uncut", []).append(uncut(ef))
            return ef

    return Recording


def checkPruning(owner, firstWeights):
    """The stocks kept for the second solve: the largest first weights, enough to take the capital within the
    maximum weight, and every stock that reached the minimum; in label order."""
    kept = list(owner.prices.columns)
    assert kept == sorted(kept) == list(owner.expectedReturns.index) == list(owner.historicReturns.columns)
    ranked = sorted(firstWeights, key=firstWeights.get, reverse=True)
    assert set(ranked[:int(1 / owner.maxWeight) + 1]) <= set(kept)
    assert {label for label, weight in firstWeights.items() if weight >= owner.minWeight} <= set(kept)


SOLVER_ACCURACY = 1e-6
# Below this weight a stock counts as left out by the optimiser, whatever the minimum.
LEFT_OUT = 1e-4


def spreadWithinWholeShares(weights, latest, capital, maxWeight):
    """The weights with what a stock's most whole shares within the maximum take off its weight spread over the
    stocks still below theirs, in proportion to their weights, their total kept; as they are where none crosses."""
    held = {label: weight for label, weight in weights.items() if weight > 0 and label in latest.index}
    most = {label: math.floor(capital * maxWeight / latest[label] + 1e-9) * latest[label] / capital for label in held}
    if not any(held[label] > most[label] for label in held):
        return dict(weights)
    total, capped, spread = sum(held.values()), set(), {}
    while True:
        room = sum(weight for label, weight in held.items() if label not in capped)
        if room <= 0:
            break
        left = total - sum(most[label] for label in capped)
        spread = {label: weight / room * left for label, weight in held.items() if label not in capped}
        crossing = {label for label, weight in spread.items() if weight > most[label]}
        if not crossing:
            break
        capped |= crossing
    return {**weights, **spread, **{label: most[label] for label in capped}}


def checkAllocation(owner, weights, table, performance, results):
    """What every allocation holds, for `weights`, the last solve's weights before the cutoff: no shares for a
    stock below the minimum weight, nor for one the optimiser left out (a weight below the solvers' accuracy),
    whatever the minimum; no stock above the maximum weight, nor above its weight (with what the maximum takes off
    dear stocks spread over the others) rounded up to a share; spent within the capital, the money of the weights
    spent (whole shares: but for less than a share of each).
    Returns the weights of the stocks that may be held, in label order, the others at 0."""
    allocation = owner.config.allocation
    capital = allocation.capital
    least = max(owner.minWeight - SOLVER_ACCURACY, LEFT_OUT)
    cleaned = {label: weight if weight >= least else 0.0 for label, weight in sorted(weights.items())}
    held = {label for label, weight in cleaned.items() if weight > 0}
    latest = owner.prices.iloc[-1]
    assert set(table["Symbol"]) <= held and list(table["Symbol"]) == sorted(table["Symbol"])
    assert list(table["Price"]) == list(latest[table["Symbol"]])
    pdt.assert_series_equal(table["Value"], table["Shares"] * table["Price"], check_names=False)
    pdt.assert_series_equal(table["Weight"], table["Value"] / capital * 100, check_names=False)
    spent = table["Value"].sum()
    assert spent <= capital * (1 + 1e-9) and (table["Value"] <= capital * owner.maxWeight * (1 + 1e-9)).all()
    money = capital * min(1.0, sum(cleaned.values()))
    if allocation.fractional == "NO":
        assert table["Shares"].dtype.kind == "i"
        spread = spreadWithinWholeShares(cleaned, latest, capital, owner.maxWeight)
        roundedUp = [math.ceil(capital * spread[label] / latest[label] - 1e-9) for label in table["Symbol"]]
        assert (table["Shares"] <= roundedUp).all()
        assert spent >= money - sum(latest[label] for label in held) - 1e-6
    else:
        assert set(table["Symbol"]) == held
        assert spent >= money * (1 - 1e-6)
    assert list(performance["Name"]) == list(results) + ["Sum"]
    assert performance["Value"].iloc[-1] == pytest.approx(spent, abs=0.005)
    return cleaned


def libraryPerformance(ef, owner):
    """The figures of the library's optimiser for the configured rates, as the pipeline asks for them."""
    allocation = owner.config.allocation
    try:
        return ef.portfolio_performance(risk_free_rate=allocation.benchmark / 100.0,
                                        frequency=allocation.tradingDaysPerYear)
    except TypeError:
        return ef.portfolio_performance(risk_free_rate=allocation.benchmark / 100.0)


def solveMinVolatility(owner):
    from pypfopt import risk_models

    s = risk_models.risk_matrix(owner.prices, method=owner.config.allocation.riskMethod)
    ef = owner.optimizer(owner.expectedReturns, s, weight_bounds=(0, owner.maxWeight), solver="ECOS_BB")
    minimumWeightLink(ef, owner)
    ef.min_volatility()
    return ef


def solveMaxSharpe(owner):
    from pypfopt import objective_functions, risk_models

    s = risk_models.risk_matrix(owner.prices, method=owner.config.allocation.riskMethod)
    ef = owner.optimizer(owner.expectedReturns, s, weight_bounds=(0, owner.maxWeight), solver="ECOS_BB")
    ef.add_objective(objective_functions.L2_reg, gamma=owner.config.allocation.gamma / 100.0)
    ef.max_sharpe(risk_free_rate=owner.config.allocation.benchmark / 100.0)
    return ef


def solveMinSemi(owner):
    from pypfopt.efficient_frontier import EfficientSemivariance

    ef = EfficientSemivariance(owner.expectedReturns, owner.historicReturns, weight_bounds=(0, owner.maxWeight),
                               frequency=owner.frequency, benchmark=owner.benchmarkPerDay, solver="ECOS_BB")
    minimumWeightLink(ef, owner)
    ef.min_semivariance()
    return ef


def solveCVaR(owner):
    from pypfopt import risk_models
    from pypfopt.efficient_frontier import EfficientCVaR

    risk_models.risk_matrix(owner.prices, method=owner.config.allocation.riskMethod)  # drawn by the heat map
    ef = EfficientCVaR(owner.expectedReturns, owner.historicReturns, weight_bounds=(0, owner.maxWeight),
                       solver="ECOS_BB")
    minimumWeightLink(ef, owner)
    ef.min_cvar()
    return ef


def solveHRP(owner):
    from pypfopt import risk_models
    from pypfopt.hierarchical_portfolio import HRPOpt

    s = risk_models.risk_matrix(owner.prices, method=owner.config.allocation.riskMethod)
    ef = HRPOpt(cov_matrix=s)
    ef.optimize(linkage_method=owner.config.allocation.linkageMethod)
    ef.returns = owner.historicReturns
    return ef


# Dotted class name -> (plain solve, figure names, performance call in place of the configured one).
REFERENCES = {
    "minvol.MinVolatility": (solveMinVolatility, ["Return", "Volatility", "Sharpe"], None),
    "maxsharpe.MaxSharpe": (solveMaxSharpe, ["Return", "Volatility", "Sharpe"], None),
    "minsemi.MinSemi": (solveMinSemi, ["Return", "Volatility", "Sortino"], None),
    "cvar.CVaR": (solveCVaR, ["Return", "CVaR"], lambda ef, owner: ef.portfolio_performance()),
    "hrp.HRP": (solveHRP, ["Return", "Volatility", "Sharpe"], None),
}


def checkAgainstPlainSolves(cls, solve, results, prices=None, performance=libraryPerformance, **allocation):
    """Runs the method: each solve gives the weights of `solve`, the plain library calls, on the tables it saw;
    the pruning, the allocation and its figures (those of the library for the cleaned weights) hold.
    Returns (method, owner, allocation table, performance table)."""
    owner = makeOwner(prices, **allocation)
    first = solve(makeOwner(owner.prices, **allocation))
    method = recordingSolves(cls)()
    table, figures = method.computeRecommendation(owner)
    assert method.uncut[0] == pytest.approx(uncut(first), abs=1e-9)
    checkPruning(owner, method.uncut[0])
    second = solve(owner)
    assert method.uncut[1] == pytest.approx(uncut(second), abs=1e-9)
    cleaned = checkAllocation(owner, method.uncut[1], table, figures, results)
    try:
        second.set_weights(cleaned)
    except NotImplementedError:
        pass  # the CVaR optimiser reports the figures of its own solution
    expected = [round(figure * 100, 2) for figure in performance(second, owner)]
    assert list(figures["Value"].iloc[:-1]) == pytest.approx(expected, abs=0.011)
    return method, owner, table, figures


def checkAgainstReference(dottedName, prices=None, **allocation):
    """checkAgainstPlainSolves for the method of that dotted name and its plain counterpart."""
    from fields import resolve

    solve, results, performance = REFERENCES[dottedName]
    return checkAgainstPlainSolves(resolve(dottedName), solve, results, prices,
                                   performance=performance or libraryPerformance, **allocation)
