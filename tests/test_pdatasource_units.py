"""The currency conversion of prices quoted in a hundredth of a currency (London's pence, Johannesburg's
cents, Tel Aviv's agorot): kept in the unit quoted, converted at a hundredth of the main currency's rate,
alike for both services and for prices cached long ago."""
import json

import numpy as np
import pandas as pd
import pytest
from addict import Dict
from hypothesis import given, settings, strategies as st

import eodds
import pdatasource
import utils
import yahoods2
from pdatasource import CachedDataSource

from conftest import ROOT

SHIPPED = Dict(json.loads((ROOT / "default.json").read_text()))
DAYS = pd.bdate_range("2024-01-02", "2024-03-28").strftime("%Y-%m-%d").tolist()


@pytest.fixture(autouse=True)
def new_process(monkeypatch):
    monkeypatch.setattr(pdatasource, "updateNeeded", True)


class Table:
    """A raw source answering from a fixed table, recording the symbols asked for."""

    def __init__(self, prices):
        self.prices, self.asked = prices, []

    def get(self, stocks, startDate=None, endDate=None, removeAdjusted=False, progress=None):
        self.asked += list(stocks)
        known = [symbol for symbol in stocks if symbol in self.prices.columns]
        return self.prices.loc[startDate:endDate, known] if known else pd.DataFrame()


def stock_table(currencies):
    rows = [[f"S{i}", f"S{i}", currency] for i, currency in enumerate(currencies)]
    return pd.DataFrame(rows, columns=["Symbol", "Security Name", "Currency"]).set_index("Symbol", drop=False)


def converted(rates, prices, currencies, target):
    """The converted prices of one stock per currency, one price each, on the first day."""
    frame = pd.DataFrame([prices], index=pd.DatetimeIndex(["2024-01-02"], name="Date"),
                         columns=[f"S{i}" for i in range(len(prices))])
    for symbol, rate in rates.items():
        frame[symbol] = rate
    raw = Table(frame)
    answer = CachedDataSource(rawProvider=raw, config=SHIPPED).get(stock_table(currencies), "2024-01-02",
                                                                   "2024-01-02", currency=target)
    return [answer.iloc[0][f"S{i}"] for i in range(len(prices))], raw.asked


def test_a_hundredth_converts_at_its_main_currencys_rate_and_is_never_fetched_itself():
    rates = {"GBP.FOREX": 0.8, "ZAR.FOREX": 18.0, "ILS.FOREX": 3.6, "EUR.FOREX": 0.9, "USD.FOREX": 1.0}
    currencies = ["GBp.FOREX", "GBX.FOREX", "GBP.FOREX", "ZAc.FOREX", "ILA.FOREX"]
    values, asked = converted(rates, [7000.0, 7000.0, 70.0, 1800.0, 360.0], currencies, "EUR.FOREX")
    assert values == pytest.approx([70 * 0.9 / 0.8] * 3 + [0.9, 0.9])
    assert not set(asked) & {"GBp.FOREX", "GBX.FOREX", "ZAc.FOREX", "ILA.FOREX"}
    values, _ = converted(rates, [7000.0, 7000.0, 70.0], currencies[:3], "GBP.FOREX")
    assert values == pytest.approx([70.0, 70.0, 70.0])


@pytest.mark.parametrize("start, end", [("1600-01-01", "2024-01-02"), ("0999-01-01", "9999-12-31")])
def test_a_converted_request_beyond_the_tables_days_is_cut_to_them(start, end):
    frame = pd.DataFrame({"S0": [7000.0], "GBP.FOREX": [0.8], "EUR.FOREX": [0.9]},
                         index=pd.DatetimeIndex(["2024-01-02"], name="Date"))
    answer = CachedDataSource(rawProvider=Table(frame), config=SHIPPED).get(stock_table(["GBp.FOREX"]), start,
                                                                            end, currency="EUR.FOREX")
    assert answer["S0"].tolist() == pytest.approx([70 * 0.9 / 0.8])


@settings(max_examples=25, deadline=None)
@given(price=st.floats(0.01, 1e6), main=st.floats(1e-3, 1e4), target=st.floats(1e-3, 1e4),
       unit=st.sampled_from([("GBp", "GBP"), ("GBX", "GBP"), ("ZAc", "ZAR"), ("ILA", "ILS")]))
def test_a_price_in_a_hundredth_is_worth_a_hundredth_of_that_price_in_the_main_currency(price, main, target,
                                                                                         unit):
    minor, major = (code + ".FOREX" for code in unit)
    rates = {major: main, "CHF.FOREX": target}
    values, _ = converted(rates, [price, price / 100], [minor, major], "CHF.FOREX")
    assert values[0] == pytest.approx(values[1]) == pytest.approx(price / 100 * target / main)


@pytest.fixture(params=["yahoods2", "eodds"])
def london(request, market_stub):
    """A raw source of each kind on the stub that knows one London stock quoted in pence, found by the
    search "vodafone"; `add(rows)` teaches the stub its prices, `rates(symbol, value)` a currency's."""
    if request.param == "yahoods2":
        raw = yahoods2.YahooDataSource("")
        market_stub.yahoo_search["vodafone"] = [{"symbol": "VOD.L", "shortname": "Vodafone", "quoteType": "EQUITY"}]
        add = lambda rows: market_stub.add_yahoo("VOD.L", rows, currency="GBp", timezone_name="Europe/London",
                                                 gmtoffset=0, exchange="LSE")
        rates = lambda symbol, value: market_stub.add_yahoo(symbol.replace(".FOREX", "=X"),
                                                            [(day, value) for day in DAYS])
    else:
        raw = eodds.EodDataSource("key")
        market_stub.eod_search["vodafone"] = [{"Code": "VOD", "Exchange": "LSE", "Name": "Vodafone",
                                               "Currency": "GBX"}]
        add = lambda rows: market_stub.add_eod("VOD.LSE", rows)
        rates = lambda symbol, value: market_stub.add_eod(symbol, [(day, value) for day in DAYS])
    yield raw, add, rates
    raw.client.close()


def test_a_london_stock_from_either_service_is_valued_in_pounds_after_a_save(london, tmp_path):
    raw, add, rates = london
    add([(day, 7000.0) for day in DAYS])
    rates("GBP.FOREX", 0.8), rates("EUR.FOREX", 0.9), rates("USD.FOREX", 1.0)
    found = raw.queryStocks("vodafone")
    stocks = utils.selectionStocks(found.to_dict(orient="records"))  # as a saved selection is read
    euros = CachedDataSource(str(tmp_path / "prices.cache"), raw, SHIPPED).get(
        stocks, "2024-01-01", "2024-03-28", currency="EUR.FOREX", cleaned=True)
    assert list(euros.columns) == list(found["Symbol"]) and len(euros) > len(DAYS) - 3
    assert np.allclose(euros.iloc[:, 0], 70 * 0.9 / 0.8)


def test_pence_cached_long_ago_and_pence_downloaded_now_are_one_series(london, tmp_path):
    raw, add, rates = london
    cache = str(tmp_path / "prices.cache")
    rows = [(day, 7000.0 + i) for i, day in enumerate(DAYS)]
    add([row for row in rows if row[0] <= "2024-02-15"])
    symbol = raw.queryStocks("vodafone")["Symbol"].iloc[0]
    CachedDataSource(cache, raw, SHIPPED).get([symbol], "2024-01-01", "2024-02-15")
    add(rows)
    later = CachedDataSource(cache, raw, SHIPPED).get([symbol], "2024-01-01", "2024-03-28", cleaned=True)[symbol]
    quoted = pd.Series(dict(rows)).set_axis(pd.DatetimeIndex(DAYS))
    assert later.index[0] < pd.Timestamp("2024-02-01") and later.index[-1] > pd.Timestamp("2024-03-01")
    assert later.tolist() == pytest.approx(quoted.loc[later.index].tolist())
