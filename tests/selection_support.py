"""Market data, stand-ins and window helpers for the tests of the selection, the settings and the prices."""

import json
import sys
import time
import types
from datetime import date, timedelta

import pandas as pd
import PySimpleGUI as sg
import pytest
from addict import Dict

import provider
from conftest import ROOT
from marketdata_stub import real_prices

# Real closing prices of the shared file, in dollars; the euro's rate is made up.
STOCKS = {
    "AAPL.US": ("AAPL", "Apple Inc."),
    "MSFT.US": ("MA", "Mastercard"),
    "XOM.US": ("XOM", "Exxon Mobil"),
    "SAP.XETRA": ("JPM", "SAP SE"),
}
CURRENCIES = {"AAPL.US": "USD", "MSFT.US": "USD", "XOM.US": "USD", "SAP.XETRA": "EUR"}
FIRST, LAST = "2016-01-01", "2018-04-11"


def yahooPath(symbol):
    return symbol.replace(".FOREX", "=X").replace(".US", "").replace(".XETRA", ".DE")


def recentRows(column, days):
    """The last real prices of a column, moved onto the days up to today, so that a chart of the
    last `days` days has data."""
    rows = real_prices(column, "2000-01-01", LAST)[-days:]
    today = date.today()
    return [
        ((today - timedelta(days=len(rows) - 1 - i)).isoformat(), value) for i, (_, value) in enumerate(rows)
    ]


def loadMarket(stub, recent=False):
    """The stocks of STOCKS, the euro and the dollar on the Yahoo side of the stub."""
    for symbol, (column, name) in STOCKS.items():
        rows = recentRows(column, 800) if recent else real_prices(column, FIRST, LAST)
        stub.add_yahoo(yahooPath(symbol), rows, currency=CURRENCIES[symbol])
    days = [day for day, _ in (recentRows("AAPL", 800) if recent else real_prices("AAPL", FIRST, LAST))]
    stub.add_yahoo("EUR=X", [(day, 0.8 + 0.0001 * i) for i, day in enumerate(days)], currency="EUR")
    stub.add_yahoo("USD=X", [(day, 1.0) for day in days], currency="USD")
    stub.yahoo_search["apple"] = [
        {"symbol": "AAPL", "shortname": "Apple Inc.", "quoteType": "EQUITY"},
        {"symbol": "SAP.DE", "shortname": "SAP SE", "quoteType": "EQUITY"},
        {"symbol": "APLE", "shortname": "Fund", "quoteType": "MUTUALFUND"},
    ]


def stockTable(symbols, currency=True):
    rows = [[s, STOCKS[s][1], CURRENCIES[s] + ".FOREX"] for s in symbols]
    frame = pd.DataFrame(rows, columns=["Symbol", "Security Name", "Currency"])
    if not currency:
        frame = frame.drop(columns="Currency")
    return frame.set_index("Symbol", drop=False)


def defaults(**data):
    with open(ROOT / "default.json", encoding="utf-8") as file:
        config = Dict(json.load(file))
    config.data.update(
        {
            "dataProvider": "yahoods2.YahooDataSource",
            "cacheName": "data/cache/prices.cache",
            "endDate": "2018-03-31",
            "basePeriod": 365,
            "localCurrency": "USD.FOREX",
            **data,
        }
    )
    config.gui.update({"position": [30, 30], "size": [1200, 800], "maximized": False})
    config.progress.progressPeriod = 0.0
    return config


@pytest.fixture
def stub(market_server, monkeypatch):
    market_server.reset()
    monkeypatch.setenv("VELMORA_YAHOO_URL", market_server.url)
    return market_server


@pytest.fixture
def workspace(tmp_path, monkeypatch):
    """A working directory with the program's run-time folders; the value store starts empty."""
    (tmp_path / "data" / "config").mkdir(parents=True)
    (tmp_path / "data" / "cache").mkdir(parents=True)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(provider.Provider, "values", {})
    monkeypatch.setattr(provider.Provider, "origin", {})
    monkeypatch.setattr(provider.Provider, "generation", 0)
    return tmp_path


class Popups:
    """Stands in for the modal popups; keeps (kind, message, keywords) and answers from `answers`."""

    def __init__(self, monkeypatch):
        self.shown, self.answers = [], []
        for kind in ("Popup", "PopupYesNo", "PopupError"):
            monkeypatch.setattr(sg, kind, self.recorder(kind))

    def recorder(self, kind):
        def show(*args, **kwargs):
            # The error popup is a Popup whose button is named in the user's language.
            shown = "PopupError" if "custom_text" in kwargs else kind
            self.shown.append((shown, "\n".join(str(a) for a in args), kwargs))
            return self.answers.pop(0) if self.answers else None

        return show

    def kinds(self):
        return [kind for kind, _, _ in self.shown]


@pytest.fixture
def popups(monkeypatch):
    return Popups(monkeypatch)


@pytest.fixture
def mainWindow(monkeypatch):
    """A real window standing in as the main window, where popups are placed."""
    window = sg.Window("Main", [[sg.Text("main")]], location=(40, 40), finalize=True)
    monkeypatch.setattr(provider.ProviderManager, "MainWindow", window, raising=False)
    yield window
    window.close()


class Meters:
    """Records the title of every drawn progress meter and can press its Cancel button."""

    def __init__(self, monkeypatch):
        import progress

        self.titles, self.cancelAt, self.real = [], None, progress.OneLineProgressMeter
        monkeypatch.setattr(progress, "OneLineProgressMeter", self.draw)

    def draw(self, *args, **kwargs):
        self.titles.append(kwargs.get("title"))
        if self.cancelAt is not None and len(self.titles) >= self.cancelAt:
            return False
        return self.real(*args, **kwargs)


@pytest.fixture
def meters(monkeypatch):
    yield Meters(monkeypatch)
    sg.OneLineProgressMeterCancel()


class StocksStandIn(provider.Provider):
    """Publishes `stocks` and removes stocks as the selection tab does."""

    key = "selections"

    def __init__(self, config, stocks):
        super().__init__(config)
        self.removed = []
        self["stocks"] = stocks

    def removeStocks(self, stockNames):
        self.removed.append(list(stockNames))
        self["stocks"] = self.values["stocks"].drop(index=list(stockNames))


@pytest.fixture
def fakeSelection(monkeypatch):
    """The module `selection` as the data provider reaches it, holding a stand-in."""
    module = types.ModuleType("selection")
    module.selectionProvider = None
    monkeypatch.setitem(sys.modules, "selection", module)
    return module


def waitFor(until, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not until() and time.monotonic() < deadline:
        time.sleep(0.02)
    return until()


class PricesTab(provider.TabProvider):
    """A tab that needs the prices, as the recommendation does."""

    key = "pricesTab"
    title = "Prices"
    layout = []

    def __init__(self, config, providerManager=None, userConfigParm=None):
        super().__init__(config, providerManager, userConfigParm)
        self.seen = [self["prices"]]  # read once at construction, as the recommendation does

    def createTab(self, **kwargs):
        self.layout = [[sg.Text("prices", key="pricesText")]]
        return super().createTab(**kwargs)

    def compute(self):
        self.seen.append(self["prices"])


PROVIDERS = [
    "fields.FieldProvider",
    "current.CurrentProvider",
    "selection.SelectionProvider",
    "dataprov.DataProvider",
    "config.ConfigProvider",
    "selection_support.PricesTab",
]


def startProgram(config, userConfig=None, providers=PROVIDERS):
    """The real provider manager with its main window, in the current working directory."""
    import os

    if not os.path.exists("locale"):
        os.symlink(ROOT / "locale", "locale")
    manager = provider.ProviderManager(
        providers,
        config,
        "Velmora test",
        tuple(config.gui.size),
        userConfig=userConfig if userConfig is not None else Dict(),
    )
    window = manager.createWindow()
    return manager, window


def byKey(manager, key):
    return next(p for p in manager.providerList if p.key == key)


def pump(window):
    """The values of every input, as the main loop reads them with an event."""
    event, values = window.read(timeout=10)
    return values


def runLoop(manager, window, until, seconds=5):
    """The main loop for a while: every event the window reports is dispatched, until `until()` holds."""
    deadline = time.time() + seconds
    while time.time() < deadline and not until():
        event, values = window.read(timeout=50)
        if event != sg.TIMEOUT_KEY:
            window = manager.handleEvent(window, event, values)
    return window
