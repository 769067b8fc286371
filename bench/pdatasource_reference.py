"""The price request with conversion and cleaning from a warm cache, transcribed step by step
into a plain Python script: the same pandas, numpy and SciPy calls in the same order as
CachedDataSource.get and doGet make them, so that the ratio measures what driving
them from the program costs. bench_pdatasource.py runs it with build/bin/python.

Usage: build/bin/python bench/pdatasource_reference.py REPEAT RESULT_FILE -> the times as JSON on stdout"""
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


class Source:
    """What a request reads of the cached data source."""

    def __init__(self, cache, start, end, low, high):
        self.cache, self.cacheStartDate, self.cacheEndDate = cache, start, end
        self.cacheRanges = {symbol: (start, end) for symbol in cache.columns}
        self.config = {"data": {"sigmaClipLow": low, "sigmaClipHigh": high}}


def given(value):
    return value is not None and bool(value)


def starts_before(a, b):
    return given(b) and (not given(a) or a < b)


def ends_after(a, b):
    return given(b) and (not given(a) or a > b)


def fetch_missing(source, requested, start, end):
    if given(start) and given(end) and end < start:
        return
    cached = set(source.cache.columns)
    missing = []
    for symbol in requested:
        if symbol in cached:
            first, last = source.cacheRanges.get(symbol, (source.cacheStartDate, source.cacheEndDate))
            if not starts_before(start, first) and not ends_after(end, last):
                continue
        missing.append(symbol)
    if missing:
        raise AssertionError("the cache is warm: nothing may be fetched")


def do_get(source, stocks, start, end):
    requested = sorted(set(stocks))
    fetch_missing(source, requested, start, end)
    cache = source.cache
    cached = set(cache.columns)
    available = [symbol for symbol in requested if symbol in cached]
    return cache.loc[slice(start if given(start) else None, end if given(end) else None), available].copy()


def currencies_of(stocks):
    currency_of = {}
    if "Currency" not in stocks.columns:
        return currency_of
    for symbol, currency in zip(stocks.index, stocks["Currency"]):
        if isinstance(currency, str) and len(currency) > 0 and symbol not in currency_of:
            currency_of[symbol] = currency
    return currency_of


def currency_factors(source, currency_of, stock_count, currency, start, end):
    currencies = set(currency_of.values())
    currencies.add(currency)
    rates = do_get(source, currencies, start, end)
    rates = rates.interpolate()
    if currency not in rates.columns:
        raise KeyError(f"no exchange rates for {currency}")
    to_target = rates[currency].copy()
    return rates.rtruediv(to_target, axis=0)


def convert_prices(prices, currency_of, factors):
    kept, factor_columns = [], []
    for symbol in prices.columns:
        if symbol not in currency_of:
            continue
        stock_currency = currency_of[symbol]
        if stock_currency not in factors.columns:
            continue
        kept.append(symbol)
        factor_columns.append(stock_currency)
    selected = prices[kept]
    if len(kept) == 0:
        return selected
    factor_block = factors[factor_columns].reindex(prices.index).to_numpy()
    return selected * factor_block


def stock_table_prices(source, stocks, start, end, currency):
    convert = given(currency)
    currency_of, factors = {}, None
    if convert:
        currency_of = currencies_of(stocks)
        factors = currency_factors(source, currency_of, len(stocks), currency, start, end)
    symbols = [symbol for symbol in stocks["Symbol"] if isinstance(symbol, str) and len(symbol) > 0]
    prices = do_get(source, symbols, start, end)
    return convert_prices(prices, currency_of, factors) if convert else prices


# A larger price would make the sigma clip's sum of squares infinite: it counts as an infinite one.
LARGEST_PRICE = 2.0**480


def clip_values(prices, low, high):
    values = np.array(prices.to_numpy(dtype="float64"), order="F")
    rows = values.shape[0]
    for column in values.T:
        np.maximum(column, 0.0, out=column)
        column[column > LARGEST_PRICE] = np.inf
        if rows > 0 and np.isfinite(column).all():
            _, lower, upper = scipy.stats.sigmaclip(column, low, high)
            column[(column < lower) | (column > upper)] = np.nan
        column[np.isinf(column) | (column == 0.0)] = np.nan
    return pd.DataFrame(values, index=prices.index, columns=prices.columns, copy=False)


def clean(source, prices, partial):
    settings = source.config["data"]
    prices = clip_values(prices, float(settings["sigmaClipLow"]), float(settings["sigmaClipHigh"]))
    prices = prices.dropna(how="all")
    prices = prices.interpolate(limit_area="inside")
    prices = prices.ffill(limit=10)
    prices = prices.bfill(limit=10)
    if not partial:
        prices = prices.dropna(axis=1, how="any")
    return prices


def get(source, stocks, start=None, end=None, currency=None, cleaned=False, partial=False):
    if isinstance(stocks, str):
        raise AssertionError("the benchmark asks for a stock table")
    if isinstance(stocks, pd.DataFrame):
        prices = stock_table_prices(source, stocks, start, end, currency)
    else:
        prices = do_get(source, stocks, start, end)
    if cleaned:
        prices = clean(source, prices, partial)
    return prices


def main(repeat, result_file):
    cache, stocks = data.market(SYMBOLS, YEARS)
    start, end = str(cache.index[0].date()), str(cache.index[-1].date())
    source = Source(cache, start, end, LOW, HIGH)

    def request():
        return get(source, stocks, start, end, currency=CURRENCY, cleaned=True)

    result = request()
    times = []
    for _ in range(repeat):
        began = time.perf_counter()
        request()
        times.append(time.perf_counter() - began)
    result.to_pickle(result_file)
    print(json.dumps({"times": times}))


if __name__ == "__main__":
    main(int(sys.argv[1]), sys.argv[2])
