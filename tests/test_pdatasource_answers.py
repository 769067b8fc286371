"""The cached data source at the shipped settings against the Yahoo stub: outliers clipped beside gaps,
rows outside the span asked left out."""
import json

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


def chart(rows):
    """A chart answer of (day, price) rows stamped at 14:30 UTC."""
    stamps = [int(pd.Timestamp(f"{day} 14:30", tz="UTC").timestamp()) for day, _ in rows]
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
