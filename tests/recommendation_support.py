"""Providers that publish real prices and a stock list, and small allocation methods, for the
recommendation tab's tests."""
import sys
import time
import types
import zipfile
from contextlib import contextmanager

import numpy as np
import pandas as pd
import pytest
from addict import Dict

import fields
import provider
import recommendation
from fields_support import pump

from conftest import DATA

SYMBOLS = {"AAPL": "Apple Inc", "AMZN": "Amazon.com Inc", "GOOG": "Alphabet Inc", "JPM": "JPMorgan Chase",
           "WMT": "Walmart Inc", "XOM": "Exxon Mobil"}


def realPrices(start="2015-01-01", end="2018-04-11", symbols=SYMBOLS):
    """The price table as the data provider publishes it: `Date` as index and first column,
    one column per symbol of the form "AAPL.US"."""
    table = pd.read_csv(DATA / "stock_prices.csv", parse_dates=["date"], index_col="date")
    table = table.loc[start:end, list(symbols)].rename(columns=lambda symbol: symbol + ".US")
    table.index.name = "Date"
    table.insert(0, "Date", table.index)
    return table


def stockTable(symbols=SYMBOLS):
    rows = [{"Symbol": symbol + ".US", "Security Name": name, "Currency": "USD.FOREX"}
            for symbol, name in symbols.items()]
    return pd.DataFrame(rows).set_index("Symbol", drop=False)


def allocationConfig(**allocation):
    values = {"capital": 100000, "method": "testmethods.MinVolatility", "objective": "MinRisk",
              "riskMethod": "sample_cov", "returnMethod": "mean_historical_return", "linkageMethod": "single",
              "minWeight": 0.0, "maxWeight": 100.0, "benchmark": 2.0, "beta": 95, "gamma": 1.0,
              "cutOffDate": "2017-06-30", "tradingDaysPerYear": 252, "fractional": "NO"}
    values.update(allocation)
    # No progress meter unless a test asks for one: it needs a main window to stand beside.
    return Dict({"allocation": values, "progress": {"progressPeriod": 1e10},
                 "gui": {"language": "en_US.UTF-8", "size": [1300, 900], "position": [10, 10]}})


class MarketData(provider.Provider):
    """Publishes `prices` and `stocks` as the data and selection providers do."""
    key = "marketData"
    prices = None
    stocks = None

    def __init__(self, config, providerManager=None, userConfigParm=None):
        super().__init__(config, providerManager, userConfigParm)
        self.publish(self.prices if self.prices is not None else realPrices(),
                     self.stocks if self.stocks is not None else stockTable())

    def publish(self, prices, stocks):
        self["prices"] = prices
        self["stocks"] = stocks


# --- allocation methods of the tests' own ------------------------------------------------------

def allocationOf(owner, shares, prices):
    """The allocation table a method returns: labels, shares, last estimation price, value, weight."""
    capital = owner.config.allocation.capital
    rows = []
    for label, count in shares.items():
        if count:
            price = float(prices[label])
            rows.append({"Symbol": label, "Shares": count, "Price": price, "Value": count * price,
                         "Weight": count * price / capital * 100})
    return pd.DataFrame(rows, columns=["Symbol", "Shares", "Price", "Value", "Weight"])


class MinVolatility:
    """Minimum volatility with PyPortfolioOpt, whole shares; a heat map as its first chart."""

    def computeRecommendation(self, owner):
        from pypfopt import DiscreteAllocation, risk_models

        covariance = risk_models.sample_cov(owner.prices, frequency=owner.frequency)
        frontier = owner.optimizer(owner.expectedReturns, covariance,
                                   weight_bounds=(owner.minWeight, owner.maxWeight))
        frontier.min_volatility()
        weights = frontier.clean_weights()
        latest = owner.prices.iloc[-1]
        shares, _ = DiscreteAllocation(weights, latest, total_portfolio_value=owner.config.allocation.capital
                                       ).greedy_portfolio()
        self.covariance = covariance
        performance = frontier.portfolio_performance(risk_free_rate=owner.benchmarkPerDay * owner.frequency)
        table = pd.DataFrame({"Name": ["Expected return", "Volatility", "Sharpe"],
                              "Value": [figure * 100 for figure in performance]})
        return allocationOf(owner, shares, latest), table

    def plotAnalysis(self, figsize=None, pdf=None):
        import matplotlib.pyplot as plt

        ax = plt.gca()
        ax.imshow(self.covariance.to_numpy())
        return ax, None


class Fixed:
    """Buys `shares` of each stock (by security name) at the last estimation price."""
    shares = {}
    owners = []

    def computeRecommendation(self, owner):
        Fixed.owners.append({name: getattr(owner, name) for name in
                             ("prices", "historicReturns", "expectedReturns", "benchmarkPerDay", "frequency",
                              "maxWeight", "minWeight", "fractional", "optimizer")})
        latest = owner.prices.iloc[-1]
        table = pd.DataFrame({"Name": ["Sum"], "Value": [100.0]})
        return allocationOf(owner, self.shares, latest), table

    def plotAnalysis(self, figsize=None, pdf=None):
        return None, None


class Failing(Fixed):
    def computeRecommendation(self, owner):
        raise RuntimeError("the optimiser found no solution")


class Cancelling(Fixed):
    """Presses Cancel in the progress meter while it computes, as a user would."""

    def computeRecommendation(self, owner):
        import progress

        time.sleep(owner.config.progress.progressPeriod * 2)
        owner.update(3)
        meter = progress.QuickMeter.active_meters.get("OK for 1 meter")
        meter.window["Cancel"].click()
        time.sleep(owner.config.progress.progressPeriod * 2)
        owner.update(3)
        return super().computeRecommendation(owner)


class Slow(Fixed):
    """Takes two seconds, reporting its progress as it goes, so that the user can type meanwhile."""

    def computeRecommendation(self, owner):
        for step in range(20):
            time.sleep(0.1)
            owner.update(3)
        return super().computeRecommendation(owner)


class ManySolves(Fixed):
    """Solves twenty small programs, as a frontier does, catching what a solve raises as the libraries do;
    Cancel is pressed once `cancelAfter` of them were solved."""
    cancelAfter = 3
    solved = []

    def computeRecommendation(self, owner):
        import cvxpy as cp
        import progress

        weights = cp.Variable(2)
        for point in range(20):
            try:
                cp.Problem(cp.Minimize(cp.sum_squares(weights - point))).solve()
                ManySolves.solved.append(point)
            except Exception:
                pass
            if len(ManySolves.solved) == self.cancelAfter:
                progress.QuickMeter.active_meters["OK for 1 meter"].window["Cancel"].click()
        return super().computeRecommendation(owner)


def methodModule():
    module = types.ModuleType("testmethods")
    for each in (MinVolatility, Fixed, Failing, Cancelling, Slow, ManySolves):
        setattr(module, each.__name__, each)
    return module


def riskModule():
    """The chart-text capture of the Riskfolio adapter, for a build that lacks it."""
    module = types.ModuleType("risk")
    module.translations = set()

    @contextmanager
    def translateAxes():
        yield

    module.translateAxes = translateAxes
    return module


def curvePrices(curve, before=300, start="2020-01-01", symbols=SYMBOLS):
    """Prices that wander before the cut-off and then all follow `curve` (relative to its first value)."""
    rng = np.random.default_rng(7)
    days = pd.bdate_range(start, periods=before + len(curve), name="Date")
    table = pd.DataFrame(index=days)
    for number, symbol in enumerate(symbols):
        walk = 50 * (number + 1) * np.exp(np.cumsum(rng.normal(0, 0.01, before)))
        table[symbol + ".US"] = np.concatenate([walk, walk[-1] * np.asarray(curve) / curve[0]])
    table.insert(0, "Date", table.index)
    return table, days[before]


def makeManager(config, user):
    """A provider manager built without its constructor: the field provider, prices of the test's own and
    the recommendation tab; the configurations it was reconfigured with are kept in `reconfigured`."""
    manager = provider.ProviderManager.__new__(provider.ProviderManager)
    manager.title, manager.size, manager.icon = "Velmora test", tuple(config.gui.size), None
    manager.config, manager.userConfig, manager.window = config, user, None
    manager.reconfigured = []
    manager.reconfigure = manager.reconfigured.append
    manager.providerList = [fields.FieldProvider(config, providerManager=manager, userConfigParm=user),
                            MarketData(config),
                            recommendation.RecommendationProvider(config, providerManager=manager,
                                                                  userConfigParm=user)]
    return manager


@pytest.fixture
def window():
    """Opens the main window of `makeManager`; closed after the test."""
    opened = []

    def make(config, user):
        manager = makeManager(config, user)
        opened.append(manager.createWindow())
        return manager, opened[-1]

    yield make
    for each in opened:
        each.close()


def dispatch(manager, window, event, **changed):
    """The event as the window reports it, its inputs showing the texts `changed` as typed."""
    import PySimpleGUI as sg

    for key, text in changed.items():
        if isinstance(window.AllKeysDict.get(key), sg.Input):
            window[key].update(text)
    values = pump(window)
    values.update(changed)
    return manager.handleEvent(window, event, values)


@pytest.fixture
def errorPopups(monkeypatch):
    """The messages of the error popups shown, in turn; none is opened."""
    import PySimpleGUI as sg

    shown = []
    monkeypatch.setattr(sg, "Popup", errorPopupsInto(shown, sg.Popup))
    return shown


def errorPopupsInto(shown, popup):
    """Stands in for `popup` for the error popups (a Popup whose button is named in the user's
    language): their messages go to `shown`; other popups are shown."""

    def show(*texts, **options):
        if "custom_text" not in options:
            return popup(*texts, **options)
        shown.append(texts[0])

    return show


@pytest.fixture(autouse=True)
def isolated(monkeypatch, errorPopups):
    """A fresh value store and field registry, the tests' own methods, a blank chart state, and error
    popups recorded in `errorPopups`."""
    monkeypatch.setattr(provider.Provider, "values", {})
    monkeypatch.setattr(provider.Provider, "origin", {})
    monkeypatch.setattr(provider.Provider, "generation", 0)
    monkeypatch.setattr(fields, "handlers", {})
    monkeypatch.setitem(sys.modules, "testmethods", methodModule())
    try:
        import risk  # noqa: F401
    except ImportError:
        monkeypatch.setitem(sys.modules, "risk", riskModule())
    monkeypatch.setattr(MarketData, "prices", None)
    monkeypatch.setattr(MarketData, "stocks", None)
    monkeypatch.setattr(Fixed, "owners", [])
    toolkit = sys.modules["PySimpleGUI.PySimpleGUI"]
    monkeypatch.setattr(toolkit, "SUPPRESS_ERROR_POPUPS", True)
    monkeypatch.setattr(toolkit, "SUPPRESS_RAISE_KEY_ERRORS", False)
    yield
    import matplotlib.pyplot as plt
    plt.close("all")


def readWorkbook(path):
    """Sheets in order, each as rows of cell texts, with its column layout and frozen pane."""
    ns = {"m": "http://schemas.openxmlformats.org/spreadsheetml/2006/main",
          "r": "http://schemas.openxmlformats.org/officeDocument/2006/relationships"}
    from xml.etree import ElementTree

    with zipfile.ZipFile(path) as book:
        def xml(name):
            return ElementTree.fromstring(book.read(name))

        strings = ["".join(t.text or "" for t in si.iter("{%s}t" % ns["m"]))
                   for si in xml("xl/sharedStrings.xml").findall("m:si", ns)]
        styles = xml("xl/styles.xml")
        numberFormats = {f.get("numFmtId"): f.get("formatCode") for f in styles.iter("{%s}numFmt" % ns["m"])}
        cellStyles = []
        for xf in styles.find("m:cellXfs", ns).findall("m:xf", ns):
            alignment = xf.find("m:alignment", ns)
            cellStyles.append((numberFormats.get(xf.get("numFmtId")),
                               None if alignment is None else alignment.get("horizontal")))
        sheets = {}
        for number, sheet in enumerate(xml("xl/workbook.xml").find("m:sheets", ns), 1):
            root = xml("xl/worksheets/sheet%d.xml" % number)
            rows = []
            for row in root.iter("{%s}row" % ns["m"]):
                cells = []
                for cell in row.findall("m:c", ns):
                    value = cell.find("m:v", ns)
                    text = None if value is None else value.text
                    cells.append(strings[int(text)] if cell.get("t") == "s" else text)
                rows.append(cells)
            columns = [(int(c.get("min")), int(c.get("max")), c.get("width") and int(float(c.get("width"))),
                        cellStyles[int(c.get("style", 0))]) for c in root.iter("{%s}col" % ns["m"])]
            pane = root.find(".//m:pane", ns)
            sheets[sheet.get("name")] = {"rows": rows, "columns": columns,
                                         "pane": (pane.get("xSplit"), pane.get("ySplit"), pane.get("state"))}
        return sheets
