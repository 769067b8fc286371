"""The data provider against the loopback market-data stub: period, conversion, missing stocks, failures."""

import logging
from datetime import date, timedelta

import numpy as np
import pandas as pd
import pytest

import dataprov
import pdatasource
import provider
import yahoods2
from marketdata_stub import real_prices
from selection_support import FIRST, LAST
from selection_support import (
    StocksStandIn,
    defaults,
    fakeSelection,
    loadMarket,
    mainWindow,
    meters,  # noqa: F401
    popups,
    stockTable,
    stub,
    workspace,
)


def raw(column, first="2017-04-01", last="2018-03-31"):
    return pd.Series(dict((pd.Timestamp(day), value) for day, value in real_prices(column, first, last)))


def euroRate():
    days = [day for day, _ in real_prices("AAPL", FIRST, LAST)]
    return pd.Series([0.8 + 0.0001 * i for i in range(len(days))], index=pd.to_datetime(days))


def test_normalize_date():
    assert dataprov.normalizeDate("2024-03-31") == date(2024, 3, 31)
    with pytest.raises(ValueError):
        dataprov.normalizeDate("31.03.2024")


def makeProvider(config, stocks, selection):
    standIn = StocksStandIn(config, stocks)
    selection.selectionProvider = standIn
    data = dataprov.DataProvider(config, providerManager=None, userConfigParm={})
    source = pdatasource.CachedDataSource(
        config=config, fileName=config.data.cacheName, rawProvider=yahoods2.YahooDataSource("")
    )
    data.reconfigure(config, dataSource=source)
    data.handleEvent(None, "mainTab", {})  # the first event after start
    return data, standIn


def test_download_converts_cleans_and_publishes(
    workspace, stub, popups, mainWindow, meters, fakeSelection, caplog
):
    loadMarket(stub)
    config = defaults(localCurrency="EUR.FOREX", basePeriod="365")
    data, standIn = makeProvider(config, stockTable(["SAP.XETRA", "AAPL.US"]), fakeSelection)
    empty = provider.Provider.values["prices"]
    assert list(empty.columns) == ["Symbol"] and empty.empty
    assert data.key == "data" and dataprov.DataProvider.working == "Downloading"

    data.recompute()
    prices = provider.Provider.values["prices"]
    assert list(prices.columns) == ["Date", "AAPL.US", "SAP.XETRA"] and prices.index.name == "Date"
    assert (prices["Date"] == prices.index).all()
    assert prices.index[0] >= pd.Timestamp("2017-03-31") and prices.index[-1] <= pd.Timestamp("2018-03-31")
    assert not prices.isna().any().any()
    aapl, sap = raw("AAPL"), raw("JPM")
    assert np.allclose(prices["AAPL.US"], (aapl * euroRate().reindex(aapl.index)).values, rtol=1e-3)
    assert np.allclose(prices["SAP.XETRA"], sap.values, rtol=1e-3)
    assert set(meters.titles) == {"Downloading"}
    assert popups.shown == [] and standIn.removed == []

    # Nothing changed: no new download.
    before = len(stub.requests)
    data.recompute()
    assert len(stub.requests) == before and provider.Provider.values["prices"] is prices


def test_period_from_end_date_and_base_period(workspace, stub, popups, mainWindow, meters, fakeSelection):
    config = defaults(endDate="2024-03-31", basePeriod="90", startDate="2000-01-01")
    data, _ = makeProvider(config, stockTable(["AAPL.US", "XOM.US"]), fakeSelection)
    asked = []
    data.dataSource.get = lambda *args, **kwargs: (
        asked.append((args[1:], kwargs))
        or pd.DataFrame(
            {"AAPL.US": [1.0], "XOM.US": [2.0]}, index=pd.DatetimeIndex(["2024-03-28"], name="Date")
        )
    )
    data.recompute()
    assert asked[0][0] == ("2024-01-01", "2024-03-31")
    assert asked[0][1]["currency"] == "USD.FOREX" and asked[0][1]["cleaned"] is True

    config.data.endDate, config.data.basePeriod = "", 30
    data.lastGeneration = -1
    data.recompute()
    today = date.today()
    assert asked[1][0] == ((today - timedelta(days=30)).isoformat(), today.isoformat())
    assert popups.shown == []

    # Settings that give no period are told as a failed download: no request, no prices.
    config.data.endDate = "2020-02-30"
    data.lastGeneration = -1
    data.recompute()
    [(kind, message, _)] = popups.shown
    assert kind == "PopupError" and message.startswith("The prices could not be downloaded:")
    assert "day is out of range" in message and len(asked) == 2
    assertNoPrices()


def assertNoPrices():
    """What readers find when the selection's prices could not be had: a table of no stock."""
    prices = provider.Provider.values["prices"]
    assert list(prices.columns) == ["Date"] and prices.index.name == "Date" and prices.empty


@pytest.mark.parametrize("symbols", [[], ["AAPL.US"]])
def test_fewer_than_two_stocks(workspace, stub, popups, mainWindow, meters, fakeSelection, symbols):
    loadMarket(stub)
    data, standIn = makeProvider(defaults(), stockTable(["AAPL.US", "XOM.US"]), fakeSelection)
    data.recompute()
    assert popups.shown == [] and len(provider.Provider.values["prices"].columns) == 3
    requests, drawn = len(stub.requests), len(meters.titles)

    # The prices of the earlier selection do not outlive it.
    standIn["stocks"] = stockTable(symbols)
    data.recompute()
    assert popups.kinds() == ["Popup"] and "at least 2 stocks" in popups.shown[0][1]
    assert popups.shown[0][2]["title"] == "Error"
    assert len(stub.requests) == requests and len(meters.titles) == drawn
    assertNoPrices()
    data.recompute()  # asked once per selection
    assert len(popups.shown) == 1


def test_missing_stocks_are_offered_for_removal(
    workspace, stub, popups, mainWindow, meters, fakeSelection, caplog
):
    loadMarket(stub)
    stocks = stockTable(["AAPL.US", "XOM.US", "MSFT.US"])
    stocks.loc["ZZZ.US"] = ["ZZZ.US", "Unknown", "USD.FOREX"]
    stocks.loc["AAA.US"] = ["AAA.US", "Unknown too", "USD.FOREX"]
    data, standIn = makeProvider(defaults(), stocks, fakeSelection)

    popups.answers = ["No"]
    data.recompute()
    [(kind, message, options)] = popups.shown
    assert kind == "PopupYesNo" and options["title"] == "Error"
    assert message.startswith("Missing price data for:\n\n\tAAA.US,\n\tZZZ.US\n\nPossible reason")
    assert standIn.removed == [] and len(provider.Provider.values["stocks"]) == 5
    assert list(provider.Provider.values["prices"].columns) == ["Date", "AAPL.US", "MSFT.US", "XOM.US"]
    assert "Missing stocks: AAA.US, ZZZ.US" in [r.getMessage() for r in caplog.records]

    popups.answers = ["Yes"]
    standIn["stocks"] = provider.Provider.values["stocks"]  # the selection changed: asked again
    data.recompute()
    assert standIn.removed == [["AAA.US", "ZZZ.US"]]
    assert list(provider.Provider.values["stocks"].index) == ["AAPL.US", "XOM.US", "MSFT.US"]
    assert list(provider.Provider.values["prices"].columns) == ["Date", "AAPL.US", "MSFT.US", "XOM.US"]

    # Removed down to one stock: told so, and no prices, neither of the removed stocks nor of the one.
    popups.shown.clear()
    popups.answers = ["Yes"]
    standIn["stocks"] = stocks.loc[["AAPL.US", "AAA.US", "ZZZ.US"]]
    data.recompute()
    assert popups.kinds() == ["PopupYesNo", "Popup"] and "at least 2 stocks" in popups.shown[1][1]
    assert list(provider.Provider.values["stocks"].index) == ["AAPL.US"]
    assertNoPrices()


def test_cancel_publishes_no_prices_and_the_next_download_works(
    workspace, stub, popups, mainWindow, meters, fakeSelection
):
    loadMarket(stub)
    stub.delay_ms = 200
    data, standIn = makeProvider(defaults(), stockTable(["AAPL.US", "XOM.US", "MSFT.US"]), fakeSelection)
    meters.cancelAt = 2
    data.recompute()
    assertNoPrices()
    assert popups.shown == [] and standIn.removed == []

    meters.cancelAt, stub.delay_ms = None, 0
    data.recompute()
    assert list(provider.Provider.values["prices"].columns) == ["Date", "AAPL.US", "MSFT.US", "XOM.US"]


def test_failed_download_is_shown_with_its_cause(
    workspace, stub, popups, mainWindow, meters, fakeSelection, caplog
):
    loadMarket(stub)
    data, standIn = makeProvider(
        defaults(localCurrency="EUR.FOREX"), stockTable(["AAPL.US", "XOM.US"]), fakeSelection
    )
    data.recompute()
    good = provider.Provider.values["prices"]

    def failing(*args, **kwargs):
        raise LookupError("no exchange rates for EUR.FOREX")

    data.dataSource.get = failing
    standIn["stocks"] = provider.Provider.values["stocks"]
    data.recompute()
    [(kind, message, options)] = popups.shown
    assert kind == "PopupError" and "EUR.FOREX" in message and options["title"] == "Error"
    assert standIn.removed == [] and provider.Provider.values["prices"] is not good
    assertNoPrices()
    assert len(provider.Provider.values["stocks"]) == 2


def test_changed_settings_fetch_anew_when_the_prices_are_next_read(
    workspace, stub, popups, mainWindow, meters, fakeSelection
):
    loadMarket(stub)
    config = defaults()
    data, standIn = makeProvider(config, stockTable(["AAPL.US", "SAP.XETRA"]), fakeSelection)
    data.recompute()
    dollars = provider.Provider.values["prices"]

    # The settings tab reconfigures, and every provider is recomputed at once: no download yet.
    config.data.localCurrency = "EUR.FOREX"
    data.reconfigure(config, dataSource=data.dataSource)
    requests = len(stub.requests)
    data.recompute()
    assert len(stub.requests) == requests and provider.Provider.values["prices"] is dollars
    # Not even a new selection downloads while the settings are being changed.
    standIn["stocks"] = provider.Provider.values["stocks"]
    data.recompute()
    assert len(stub.requests) == requests and popups.shown == []

    # The next event that reads the prices gets them in the new currency.
    data.handleEvent(None, "mainTab", {})
    data.recompute()
    euros = provider.Provider.values["prices"]
    assert euros is not dollars
    assert np.allclose(euros["SAP.XETRA"], raw("JPM").values, rtol=1e-3)
    assert np.allclose(
        dollars["SAP.XETRA"], (raw("JPM") / euroRate().reindex(raw("JPM").index)).values, rtol=1e-3
    )

    # A longer period, which reconfigures nothing, also counts.
    config.data.basePeriod = 730
    data.recompute()
    assert provider.Provider.values["prices"].index[0] < euros.index[0]


def test_new_clip_bounds_clean_the_next_prices_with_them(
    workspace, stub, popups, mainWindow, meters, fakeSelection
):
    loadMarket(stub)
    spike = "2017-10-02"
    days = [day for day, _ in real_prices("AAPL", FIRST, LAST)]
    stub.yahoo_charts["AAPL"]["adjclose"][days.index(spike)] *= 1.4  # within four sigma, beyond two
    config = defaults(localCurrency="", basePeriod=730)
    data, _ = makeProvider(config, stockTable(["AAPL.US", "XOM.US"]), fakeSelection)
    data.recompute()
    kept = provider.Provider.values["prices"]
    config.data.update(sigmaClipLow=2.0, sigmaClipHigh=2.0)
    data.recompute()
    clipped = provider.Provider.values["prices"]
    assert clipped.loc[spike, "AAPL.US"] < 0.8 * kept.loc[spike, "AAPL.US"]
    assert np.allclose(clipped.loc["2018-01":, "AAPL.US"], kept.loc["2018-01":, "AAPL.US"])


def test_missing_exchange_rates_and_failed_downloads_are_told_in_words(
    workspace, stub, popups, mainWindow, meters, fakeSelection, monkeypatch
):
    loadMarket(stub)
    euro = stub.yahoo_charts.pop("EUR=X")  # the service knows no euro
    data, standIn = makeProvider(
        defaults(localCurrency="EUR.FOREX"), stockTable(["AAPL.US", "XOM.US", "SAP.XETRA"]), fakeSelection
    )
    data.recompute()
    [(kind, message, _)] = popups.shown
    assert kind == "PopupError" and message.startswith("The exchange rates of the local currency EUR ")
    assert "\n" not in message and "numpy" not in message and "isnan" not in message
    assertNoPrices()

    # A download that failed is told with the words of a failed search, offers no removal, and
    # is tried again at the next look at the prices.
    data.config.data.localCurrency = "USD.FOREX"
    stub.yahoo_charts["EUR=X"] = euro

    def attempt(reason, detail):
        popups.shown.clear()
        data.recompute()
        [(kind, message, _)] = popups.shown
        assert kind == "PopupError"
        assert message.startswith(f"The prices could not be downloaded: {reason}.\n\n{detail}")
        assertNoPrices()

    monkeypatch.setenv("VELMORA_YAHOO_URL", "http://127.0.0.1:9")  # the service is down
    attempt("the market data service could not be reached", "ConnectError: ")
    monkeypatch.setenv("VELMORA_YAHOO_URL", stub.url)
    stub.fix("/v8/finance/chart/XOM", 503, "busy")
    attempt("the market data service answered with an error", "HTTPStatusError: HTTP 503")
    stub.fix("/v8/finance/chart/XOM", 200, "<html>a login page</html>")
    attempt("the answer of the market data service could not be read", "JSONDecodeError: ")
    assert standIn.removed == [] and len(provider.Provider.values["stocks"]) == 3

    del stub.fixed["/v8/finance/chart/XOM"]
    popups.shown.clear()
    data.recompute()
    assert popups.shown == []
    assert list(provider.Provider.values["prices"].columns) == ["Date", "AAPL.US", "SAP.XETRA", "XOM.US"]


def test_an_extension_answered_without_prices_offers_removal_a_rate_series_fails_and_both_heal(
    workspace, stub, popups, mainWindow, meters, fakeSelection
):
    loadMarket(stub)
    stocks = stockTable(["AAPL.US", "XOM.US", "SAP.XETRA"])
    data, _ = makeProvider(defaults(endDate="2018-01-31"), stocks, fakeSelection)
    data.recompute()
    assert popups.shown == []

    def answer_after_january(series, value, rows, currency="USD"):
        stub.add_yahoo(series, [(day, price if day <= "2018-01-31" else value) for day, price in rows],
                       currency=currency)

    answer_after_january("XOM", None, real_prices("XOM", FIRST, LAST))
    data.config.data.endDate = "2018-02-28"
    popups.answers = ["No"]
    data.recompute()
    [(kind, message, _)] = popups.shown
    assert kind == "PopupYesNo" and "\tXOM.US\n" in message

    loadMarket(stub)
    days = [day for day, _ in real_prices("AAPL", FIRST, LAST)]
    answer_after_january("EUR=X", 0.0, [(day, 0.8 + 0.0001 * i) for i, day in enumerate(days)], "EUR")
    popups.shown.clear()
    data.config.data.endDate = "2018-03-31"
    data.recompute()
    [(kind, message, _)] = popups.shown
    assert kind == "PopupError" and "could not be read" in message
    assertNoPrices()

    loadMarket(stub)
    popups.shown.clear()
    data.recompute()
    assert popups.shown == []
    assert list(provider.Provider.values["prices"].columns) == ["Date", "AAPL.US", "SAP.XETRA", "XOM.US"]

    # A longer period whose earlier rates the service does not answer fails the download, with no removal
    # offered for the euro stock, and heals after a start on the cache file.
    stub.add_yahoo("EUR=X", [(day, 0.8 + 0.0001 * i) for i, day in enumerate(days) if day >= "2017-01-01"],
                   currency="EUR")
    data.config.data.basePeriod = "730"
    data.recompute()
    [(kind, message, _)] = popups.shown
    assert kind == "PopupError" and "EUR" in message
    loadMarket(stub)
    popups.shown.clear()
    data, _ = makeProvider(data.config, stocks, fakeSelection)
    data.recompute()
    assert popups.shown == []
    assert list(provider.Provider.values["prices"].columns) == ["Date", "AAPL.US", "SAP.XETRA", "XOM.US"]
