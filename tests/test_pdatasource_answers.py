"""The cached data source at the shipped settings against the Yahoo stub: outliers clipped beside gaps,
spans answered without prices asked for again, rows outside the span asked left out, exchange rates
carried over no longer than a market closes."""
import json

import numpy as np
import pandas as pd
import pandas.testing as pdt
import pytest
from addict import Dict

import pdatasource
import yahoods2
from pdatasource import CachedDataSource

from conftest import ROOT
from marketdata_stub import real_prices

SHIPPED = Dict(json.loads((ROOT / "default.json").read_text()))
SPIKE = "2017-06-15"


@pytest.fixture(autouse=True)
def new_process(monkeypatch):
    monkeypatch.setattr(pdatasource, "updateNeeded", True)


@pytest.fixture
def yahoo(market_stub):
    raw = yahoods2.YahooDataSource("")
    yield raw
    raw.client.close()


def chart(rows, scale=1):
    """A chart answer of (day, price) rows stamped at 14:30 UTC, timestamps multiplied by `scale`."""
    stamps = [int(pd.Timestamp(f"{day} 14:30", tz="UTC").timestamp()) * scale for day, _ in rows]
    prices = [price for _, price in rows]
    return {"chart": {"result": [{"meta": {"currency": "USD"}, "timestamp": stamps, "indicators": {
        "quote": [{"close": prices}], "adjclose": [{"adjclose": prices}]}}], "error": None}}


@pytest.mark.parametrize("calendars", ["identity currency", "two exchanges"])
def test_a_spike_beside_gaps_is_clipped_at_the_shipped_settings_also_from_the_file(yahoo, market_stub,
                                                                                    tmp_path, calendars):
    ge = [(day, price * 100 if day == SPIKE else price)
          for day, price in real_prices("GE", "2016-12-01", "2017-12-31")]
    if calendars == "two exchanges":  # days the other market trades on and this one does not
        ge = [row for i, row in enumerate(ge) if i % 17 or row[0] == SPIKE]
    market_stub.add_yahoo("GE", ge)
    market_stub.add_yahoo("AAPL", real_prices("AAPL", "2016-12-01", "2017-12-31"))
    stocks = pd.DataFrame({"Symbol": ["AAPL.US", "GE.US"], "Currency": "USD.FOREX"}).set_index("Symbol",
                                                                                                drop=False)
    currency = SHIPPED.data.localCurrency if calendars == "identity currency" else None
    ask = lambda: CachedDataSource(str(tmp_path / "prices.cache"), yahoo, SHIPPED).get(
        stocks, "2017-01-01", "2017-12-31", currency=currency, cleaned=True)
    cleaned = ask()
    neighbours = [price for _, price in real_prices("GE", "2017-06-14", "2017-06-16")]
    assert cleaned.loc[SPIKE, "GE.US"] == pytest.approx(sum(neighbours) / 3, rel=0.05)
    assert list(cleaned.columns) == ["AAPL.US", "GE.US"] and not cleaned.isna().any().any()
    asked = len(market_stub.requests)
    pdt.assert_frame_equal(ask(), cleaned)  # a later start, from the file alone
    assert len(market_stub.requests) == asked


def test_rows_outside_the_span_asked_are_left_out_and_a_later_request_stores_the_true_ones(
        yahoo, market_stub, tmp_path):
    good = real_prices("GE", "2015-12-01", "2017-12-31")
    market_stub.fix("/v8/finance/chart/GE", 200, chart([(day, price * 3) for day, price in good]))
    source = CachedDataSource(str(tmp_path / "prices.cache"), yahoo, SHIPPED)
    source.get(["GE.US"], "2017-01-01", "2017-06-30")
    stored = CachedDataSource(str(tmp_path / "prices.cache")).cache["GE.US"].dropna()
    assert stored.index[0] >= pd.Timestamp("2017-01-01") and stored.index[-1] <= pd.Timestamp("2017-06-30")

    market_stub.fixed.clear()
    market_stub.add_yahoo("GE", good)
    year = source.get(["GE.US"], "2016-01-01", "2016-12-31")["GE.US"].dropna()
    assert year.tolist() == [price for day, price in good if "2016-01-04" < day <= "2016-12-31"]


JANUARY, QUARTER = ("2017-01-01", "2017-01-31"), ("2017-01-01", "2017-03-31")


def asked(stub, since, service_symbol):
    return [r for r in stub.requests[since:] if r.path == f"/v8/finance/chart/{service_symbol}"]


def broken(rows, how):
    """The days after January as an answer breaks them."""
    later = lambda price: {"null": None, "negative": -price, "zero": 0.0}[how]
    return [(day, price if day < "2017-02-01" else later(price)) for day, price in rows]


def answer_badly(stub, symbol, good, how):
    path = f"/v8/finance/chart/{symbol}"
    if how in ("null", "negative", "zero"):
        stub.add_yahoo(symbol, broken(good, how))
    elif how == "January only":
        stub.fix(path, 200, chart([row for row in good if row[0] < "2017-02"]))
    elif how == "milliseconds":
        stub.fix(path, 200, chart(good, scale=1000))
    else:
        stub.fix(path, 200, chart([("2031-01-02", 1.0), ("2031-01-03", 2.0)]))


@pytest.mark.parametrize("how", ["null", "negative", "zero", "January only", "milliseconds", "far off"])
def test_a_span_answered_without_prices_is_named_asked_again_and_heals(yahoo, market_stub, tmp_path, how):
    good = real_prices("GE", "2016-12-01", "2017-03-31")
    market_stub.add_yahoo("GE", good)
    market_stub.add_yahoo("AAPL", real_prices("AAPL", "2016-12-01", "2017-03-31"))
    cache_file = str(tmp_path / "prices.cache")
    source = CachedDataSource(cache_file, yahoo, SHIPPED)
    source.get(["AAPL.US", "GE.US"], *JANUARY)
    answer_badly(market_stub, "GE", good, how)
    for again in (0, 1):
        since = len(market_stub.requests)
        prices = source.get(["AAPL.US", "GE.US"], *QUARTER)
        assert list(source.downloadFailures) == ["GE.US"]
        assert len(asked(market_stub, since, "GE")) == 1
        assert len(asked(market_stub, since, "AAPL")) == 1 - again
        assert source.cacheRanges["GE.US"][1] < "2017-02-01"
        assert prices["GE.US"].loc["2017-02-01":].notna().sum() == 0

    market_stub.fixed.clear()
    market_stub.add_yahoo("GE", good)
    healed = source.get(["AAPL.US", "GE.US"], *QUARTER)["GE.US"].dropna()
    assert source.downloadFailures == {} and source.cacheRanges["GE.US"] == QUARTER
    # the answer's first and last days left out, as of every answer
    assert healed.tolist() == [price for day, price in good if "2017-01-03" < day < "2017-03-31"]
    pdatasource.updateNeeded = True
    since = len(market_stub.requests)
    CachedDataSource(cache_file, yahoo, SHIPPED).get(["AAPL.US", "GE.US"], *QUARTER)
    assert len(market_stub.requests) == since


@pytest.mark.parametrize("how", ["null", "zero", "January only"])
def test_a_rate_series_answered_without_rates_fails_and_is_asked_again(yahoo, market_stub, tmp_path, how):
    days = [day for day, _ in real_prices("AAPL", "2016-12-01", "2017-03-31")]
    rates = [(day, 0.9 if day < "2017-02-01" else 0.8) for day in days]
    market_stub.add_yahoo("SAP.DE", real_prices("GE", "2016-12-01", "2017-03-31"))
    market_stub.add_yahoo("EUR=X", rates)
    stocks = pd.DataFrame({"Symbol": ["SAP.XETRA"], "Currency": "EUR.FOREX"}).set_index("Symbol", drop=False)
    source = CachedDataSource(str(tmp_path / "prices.cache"), yahoo, SHIPPED)
    source.get(stocks, *JANUARY, currency="USD.FOREX")
    answer_badly(market_stub, "EUR=X", rates, how)
    for _ in range(2):
        since = len(market_stub.requests)
        source.get(stocks, *QUARTER, currency="USD.FOREX", cleaned=True)
        failure = source.downloadFailures.get("EUR.FOREX")
        assert failure is not None and not getattr(failure, "noPrices", False)
        assert len(asked(market_stub, since, "EUR=X")) == 1

    market_stub.fixed.clear()
    market_stub.add_yahoo("EUR=X", rates)
    dollars = source.get(stocks, *QUARTER, currency="USD.FOREX")["SAP.XETRA"].loc["2017-02-01":]
    assert source.downloadFailures == {}
    euros = source.get(["SAP.XETRA"], *QUARTER)["SAP.XETRA"].loc["2017-02-01":]
    pdt.assert_series_equal(dollars, euros / 0.8)


def test_days_the_answer_does_not_list_after_its_last_price_ask_nothing_more(yahoo, market_stub, tmp_path):
    market_stub.add_yahoo("GE", real_prices("GE", "2016-12-01", "2017-03-31"))
    source = CachedDataSource(str(tmp_path / "prices.cache"), yahoo, SHIPPED)
    source.get(["GE.US", "USD.FOREX"], "2017-01-01", "2017-01-27")  # a Friday
    since = len(market_stub.requests)
    for _ in range(2):  # its weekend, asked once
        source.get(["GE.US", "USD.FOREX"], "2017-01-01", "2017-01-29")
    assert source.downloadFailures == {} and len(asked(market_stub, since, "GE")) == 1
    assert source.cacheRanges["GE.US"] == ("2017-01-01", "2017-01-29")


def euro_market(stub):
    days = [day for day, _ in real_prices("AAPL", "2016-12-01", "2017-03-31")]
    rates = [(day, 0.9 if day < "2017-02-01" else 0.8) for day in days]
    stub.add_yahoo("SAP.DE", real_prices("GE", "2016-12-01", "2017-03-31"))
    stub.add_yahoo("EUR=X", rates)
    return rates, pd.DataFrame({"Symbol": ["SAP.XETRA"], "Currency": "EUR.FOREX"}).set_index("Symbol", drop=False)


def test_a_rate_carried_past_the_longest_closure_converts_nothing_there(yahoo, market_stub, tmp_path):
    """The selection tab's chart asks get(..., currency=...) and never looks at downloadFailures."""
    rates, stocks = euro_market(market_stub)
    source = CachedDataSource(str(tmp_path / "prices.cache"), yahoo, SHIPPED)
    source.get(stocks, *JANUARY, currency="USD.FOREX")
    market_stub.add_yahoo("EUR=X", [(day, rate if day < "2017-02-01" else None) for day, rate in rates])
    dollars = source.get(stocks, *QUARTER, currency="USD.FOREX", partial=True)["SAP.XETRA"]
    euros = source.get(["SAP.XETRA"], *QUARTER)["SAP.XETRA"]
    pdt.assert_series_equal(dollars.loc["2017-01-04":"2017-02-10"], euros.loc["2017-01-04":"2017-02-10"] / 0.9)
    assert dollars.loc["2017-02-11":].isna().all()


def test_a_short_gap_in_a_rate_series_is_carried_over_and_fails_no_download(yahoo, market_stub, tmp_path):
    rates, stocks = euro_market(market_stub)
    market_stub.add_yahoo("EUR=X", [(day, None if day == "2017-02-15" else rate) for day, rate in rates])
    source = CachedDataSource(str(tmp_path / "prices.cache"), yahoo, SHIPPED)
    for _ in range(2):
        dollars = source.get(stocks, *QUARTER, currency="USD.FOREX", cleaned=True)["SAP.XETRA"]
        failure = source.downloadFailures.get("EUR.FOREX")
        assert failure is None or failure.noPrices
    assert dollars.notna().all() and len(dollars) == len(source.get(["SAP.XETRA"], *QUARTER, cleaned=True))


def test_a_rate_series_extended_before_its_range_without_rates_fails_until_answered(yahoo, market_stub, tmp_path):
    rates, stocks = euro_market(market_stub)
    cache_file = str(tmp_path / "prices.cache")
    CachedDataSource(cache_file, yahoo, SHIPPED).get(stocks, "2017-02-01", "2017-03-31", currency="USD.FOREX")
    market_stub.add_yahoo("EUR=X", [(day, rate) for day, rate in rates if day >= "2017-02-01"])
    for _ in range(2):  # also after a start on the cache file
        pdatasource.updateNeeded = True
        source = CachedDataSource(cache_file, yahoo, SHIPPED)
        since = len(market_stub.requests)
        source.get(stocks, *QUARTER, currency="USD.FOREX", cleaned=True)
        failure = source.downloadFailures.get("EUR.FOREX")
        assert failure is not None and not getattr(failure, "noPrices", False)
        assert len(asked(market_stub, since, "EUR=X")) == 1 and source.cacheRanges["EUR.FOREX"][0] >= "2017-02"

    market_stub.add_yahoo("EUR=X", rates)
    dollars = source.get(stocks, *QUARTER, currency="USD.FOREX", partial=True)["SAP.XETRA"]
    assert source.downloadFailures == {} and dollars.loc[:"2017-01-31"].notna().sum() > 10

    # A file whose range holds a long gap (one written before such gaps were left uncovered) heals too.
    source.cache.loc["2017-02-01":, "EUR.FOREX"] = np.nan
    source.save(cache_file)
    pdatasource.updateNeeded = True
    source = CachedDataSource(cache_file, yahoo, SHIPPED)
    since = len(market_stub.requests)
    dollars = source.get(stocks, *QUARTER, currency="USD.FOREX", cleaned=True)["SAP.XETRA"]
    assert len(asked(market_stub, since, "EUR=X")) == 1 and source.downloadFailures == {}
    euros = source.get(["SAP.XETRA"], *QUARTER, cleaned=True)["SAP.XETRA"]
    pdt.assert_series_equal(dollars.loc["2017-02-06":], euros.loc["2017-02-06":] / 0.8)
    since = len(market_stub.requests)
    source.get(stocks, *QUARTER, currency="USD.FOREX")
    assert asked(market_stub, since, "EUR=X") == []


@pytest.mark.parametrize("failing", [1, 2])
def test_stocks_and_a_rate_series_failing_together_are_named_and_heal(yahoo, market_stub, tmp_path, failing):
    rates, _ = euro_market(market_stub)
    names = ["AAPL", "GE", "WMT"]
    goods = {name: real_prices(name, "2016-12-01", "2017-03-31") for name in names}
    for name in names:
        market_stub.add_yahoo(name, goods[name], currency="EUR")
    stocks = pd.DataFrame({"Symbol": [f"{name}.US" for name in names], "Currency": "EUR.FOREX"}).set_index(
        "Symbol", drop=False)
    source = CachedDataSource(str(tmp_path / "prices.cache"), yahoo, SHIPPED)
    source.get(stocks, *JANUARY, currency="USD.FOREX")
    for name, rows in [("EUR=X", rates)] + [(name, goods[name]) for name in names[:failing]]:
        market_stub.add_yahoo(name, broken(rows, "null"), currency="EUR")
    source.get(stocks, *QUARTER, currency="USD.FOREX", cleaned=True)
    assert set(source.downloadFailures) == {"EUR.FOREX", *[f"{name}.US" for name in names[:failing]]}
    for name in names:
        market_stub.add_yahoo(name, goods[name], currency="EUR")
    market_stub.add_yahoo("EUR=X", rates)
    healed = source.get(stocks, *QUARTER, currency="USD.FOREX", cleaned=True)
    assert source.downloadFailures == {} and list(healed.columns) == list(stocks.Symbol)
