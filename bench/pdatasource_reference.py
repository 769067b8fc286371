"""The price request with conversion and cleaning written as a plain Python script with the
same pandas calls; bench_pdatasource.py runs it with build/bin/python as its reference.

Usage: build/bin/python bench/pdatasource_reference.py REPEAT RESULT_FILE -> JSON timings on stdout"""
import json
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd
import scipy.stats

sys.path.insert(0, str(Path(__file__).resolve().parent))
import pdatasource_data as data  # noqa: E402

SYMBOLS, YEARS, CURRENCY, LOW, HIGH = 50, 5, "EUR.FOREX", 4.0, 4.0


def get(cache, stocks, start, end, currency, low, high):
    currencies = sorted({currency, *stocks["Currency"].dropna().unique()})
    rates = cache.loc[start:end, [c for c in currencies if c in cache.columns]].copy()
    rates = rates.interpolate()
    to_target = rates[currency].copy()
    for column in rates.columns:
        rates[column] = to_target / rates[column]
    symbols = sorted(set(stocks["Symbol"]))
    prices = cache.loc[start:end, [s for s in symbols if s in cache.columns]].copy()
    for column in prices.columns:
        prices[column] = prices[column] * rates[stocks.loc[column, "Currency"]]
    prices = prices.clip(lower=0)
    with np.errstate(all="ignore"):
        for column in prices.columns:
            _, lower, upper = scipy.stats.sigmaclip(prices[column].to_numpy(), low, high)
            prices[column] = prices[column].mask((prices[column] < lower) | (prices[column] > upper))
    prices = prices.replace([np.inf, -np.inf, 0.0], np.nan).dropna(how="all")
    prices = prices.interpolate(limit_area="inside").ffill(limit=10).bfill(limit=10)
    return prices.dropna(axis=1, how="any")


def main(repeat, result_file):
    cache, stocks = data.market(SYMBOLS, YEARS)
    start, end = str(cache.index[0].date()), str(cache.index[-1].date())
    result = get(cache, stocks, start, end, CURRENCY, LOW, HIGH)
    times = []
    for _ in range(repeat):
        began = time.perf_counter()
        get(cache, stocks, start, end, CURRENCY, LOW, HIGH)
        times.append(time.perf_counter() - began)
    result.to_pickle(result_file)
    print(json.dumps({"best": min(times), "median": float(np.median(times))}))


if __name__ == "__main__":
    main(int(sys.argv[1]), sys.argv[2])
