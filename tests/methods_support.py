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
