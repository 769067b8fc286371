"""Owner for method tests: makeOwner(prices, **allocation) gives the attributes the recommendation tab prepares."""
from pathlib import Path

import pandas as pd
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
    """The boolean link of the mixed-integer methods, as plain cvxpy."""
    import cvxpy

    z = cvxpy.Variable(ef.n_assets, boolean=True)
    ef.add_constraint(lambda w: owner.minWeight * z <= w)


def referenceRecommendation(owner, solve, results, twoPhase=True, performance=None):
    """The allocation pipeline in plain Python: `solve(owner)` returns the solved optimiser;
    `performance(ef)` stands in for the library's performance call with the configured rates."""
    from pypfopt.discrete_allocation import DiscreteAllocation

    allocation = owner.config.allocation
    ef = solve(owner)
    weights = ef.clean_weights(cutoff=owner.minWeight, rounding=None)
    kept = []
    for label, weight in sorted(weights.items(), key=lambda entry: entry[1], reverse=True):
        if len(kept) <= 1 / owner.maxWeight or weight >= owner.minWeight:
            kept.append(label)
    kept = sorted(kept)
    owner.prices = owner.prices[kept]
    owner.expectedReturns = owner.expectedReturns.loc[kept]
    owner.historicReturns = owner.historicReturns[kept]
    if twoPhase:
        ef = solve(owner)
        weights = ef.clean_weights(cutoff=owner.minWeight, rounding=None)
    latest = owner.prices.iloc[-1]
    weights = dict(sorted(weights.items()))
    capital = allocation.capital
    if allocation.fractional == "NO":
        priced = {label: weight for label, weight in weights.items() if label in latest.index}
        facility = DiscreteAllocation(priced, latest.loc[list(priced)], total_portfolio_value=capital)
        try:
            shares = facility.lp_portfolio()[0]
        except Exception:
            shares = facility.greedy_portfolio()[0]
    else:
        total = sum(weights.values())
        shares = {label: capital * weight / latest[label] / total for label, weight in weights.items() if weight > 0}
    table = pd.DataFrame(list(shares.items()), columns=["Symbol", "Shares"])
    if allocation.fractional == "NO":
        table["Shares"] = table["Shares"].astype(int)
    table = table.merge(pd.DataFrame(list(latest.items()), columns=["Symbol", "Price"]), on="Symbol", sort=True)
    table["Value"] = table["Shares"] * table["Price"]
    table["Weight"] = table["Value"] / capital * 100
    try:
        ef.set_weights(weights)
    except Exception:
        pass
    if performance is None:
        try:
            figures = ef.portfolio_performance(risk_free_rate=allocation.benchmark / 100.0,
                                               frequency=allocation.tradingDaysPerYear)
        except TypeError:
            figures = ef.portfolio_performance(risk_free_rate=allocation.benchmark / 100.0)
    else:
        figures = performance(ef)
    values = [figure * 100 for figure in figures] + [table["Value"].sum()]
    return table, pd.DataFrame({"Name": list(results) + ["Sum"], "Value": values}).round(2), ef


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
    "cvar.CVaR": (solveCVaR, ["Return", "CVaR"], lambda ef: ef.portfolio_performance()),
    "hrp.HRP": (solveHRP, ["Return", "Volatility", "Sharpe"], None),
}


def reference(dottedName, owner):
    """(Allocation table, Performance table, optimiser) of the plain-Python counterpart of a method."""
    solve, results, performance = REFERENCES[dottedName]
    return referenceRecommendation(owner, solve, results, performance=performance)


def checkAgainstReference(dottedName, prices=None, **allocation):
    """Runs the method and its plain-Python counterpart on equal owners, asserts equal weights, tables
    and narrowed owner tables, and the allocation rules; returns (method, owner, allocation, performance)."""
    import pandas.testing as pdt

    from fields import resolve

    owner = makeOwner(prices, **allocation)
    expectedOwner = makeOwner(prices, **allocation)
    method = resolve(dottedName)()
    table, performance = method.computeRecommendation(owner)
    expectedTable, expectedPerformance, expectedEf = reference(dottedName, expectedOwner)
    pdt.assert_frame_equal(table, expectedTable)
    pdt.assert_frame_equal(performance, expectedPerformance)
    for name in ("prices", "historicReturns"):
        pdt.assert_frame_equal(getattr(owner, name), getattr(expectedOwner, name))
    pdt.assert_series_equal(owner.expectedReturns, expectedOwner.expectedReturns)
    capital = owner.config.allocation.capital
    assert list(owner.prices.columns) == sorted(owner.prices.columns)
    assert set(table["Symbol"]) <= set(owner.prices.columns)
    if owner.config.allocation.fractional == "NO":
        assert table["Shares"].dtype.kind == "i"
    assert table["Value"].sum() <= capital * (1 + 1e-9)
    pdt.assert_series_equal(table["Value"], table["Shares"] * table["Price"], check_names=False)
    pdt.assert_series_equal(table["Weight"], table["Value"] / capital * 100, check_names=False)
    assert performance["Value"].iloc[-1] == round(table["Value"].sum(), 2)
    return method, owner, table, performance
