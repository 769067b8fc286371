"""Reproducible price tables for the price cache benchmarks: random walks with late listings,
missing days, a few bad ticks and three currencies."""
import numpy as np
import pandas as pd

RATES = {"USD.FOREX": 1.0, "EUR.FOREX": 0.9, "GBP.FOREX": 0.8}


def prices(symbols, years, seed=1):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range(end="2024-12-31", periods=years * 252, name="Date")
    walk = 50.0 * np.exp(np.cumsum(rng.normal(0.0, 0.015, (len(dates), symbols)), axis=0))
    frame = pd.DataFrame(walk, index=dates, columns=[f"S{i:03d}.US" for i in range(symbols)])
    for column in range(0, symbols, 7):  # listed later than the first date
        frame.iloc[: rng.integers(1, len(dates) // 3), column] = np.nan
    for column in range(3, symbols, 5):  # a few missing days and a bad tick
        frame.iloc[rng.integers(0, len(dates), 3), column] = np.nan
        frame.iloc[rng.integers(0, len(dates)), column] *= 30.0
    return frame


def market(symbols, years):
    """The cache as the program holds it (stocks and currency rates) and the stock table."""
    frame = prices(symbols, years)
    rng = np.random.default_rng(2)
    for name, level in RATES.items():
        if name == "USD.FOREX":
            frame[name] = 1.0
        else:
            frame[name] = level * np.exp(np.cumsum(rng.normal(0.0, 0.004, len(frame))))
            frame.iloc[rng.integers(0, len(frame), 5), frame.columns.get_loc(name)] = np.nan
    symbols = [column for column in frame.columns if not column.endswith(".FOREX")]
    currencies = list(RATES)
    stocks = pd.DataFrame({
        "Symbol": symbols,
        "Security Name": symbols,
        "Currency": [currencies[i % len(currencies)] for i in range(len(symbols))],
    }).set_index("Symbol", drop=False)
    return frame.copy(), stocks
