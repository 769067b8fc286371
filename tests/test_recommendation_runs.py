"""The recommendation tab's runs that do not finish, the edits typed while a run goes on, and Cancel between
the charts: what the tab shows and exports afterwards."""
import gettext
import json
import locale
import subprocess
import time
from pathlib import Path

import numpy as np
import pandas as pd
import PySimpleGUI as sg
import pytest
from addict import Dict
from hypothesis import HealthCheck, given, settings, strategies as st

import fields
import progress
import provider
import recommendation_support as support
from fields_support import focusOn, pump, runLoop
from recommendation_support import (SYMBOLS, Fixed, MarketData, MinVolatility, allocationConfig, dispatch,  # noqa: F401
                                    errorPopups, isolated, makeManager, readWorkbook, realPrices, stockTable,
                                    window)

Provider = provider.Provider


def clickCancel():
    progress.QuickMeter.active_meters["OK for 1 meter"].window["Cancel"].click()


class Unfinished(Fixed):
    """Buys as `Fixed` does, unless the user is to cancel or the optimiser to fail: the same method, so that
    only the inputs that are no settings of the tab change."""
    outcome = None
    started = []

    def computeRecommendation(self, owner):
        Unfinished.started.append(owner.config.allocation.capital)
        if Unfinished.outcome == "cancel":
            clickCancel()
            owner.lastProgressUpdate = 0  # the meter read at once, as at the run's next step
            assert not owner.update(3)
        if Unfinished.outcome == "fail":
            raise RuntimeError("the optimiser found no solution")
        return super().computeRecommendation(owner)


def unfinished(monkeypatch):
    import sys
    monkeypatch.setattr(sys.modules["testmethods"], "Unfinished", Unfinished, raising=False)
    monkeypatch.setattr(Unfinished, "outcome", None)
    monkeypatch.setattr(Unfinished, "started", [])


def securityNames(tab):
    return sorted(tab["Recommendation"]["Security Name"])


def workbookNames(tmp_path, monkeypatch, manager, win, name):
    """The security names of the Recommendation sheet that Save Excel writes now."""
    monkeypatch.setattr(provider, "GetFileName", lambda *args, **kwargs: str(tmp_path / name))
    dispatch(manager, win, "SaveExcel")
    return sorted(row[1] for row in readWorkbook(tmp_path / name)["Recommendation"]["rows"][1:])


WITHOUT_AMAZON = {symbol: name for symbol, name in SYMBOLS.items() if symbol != "AMZN"}
WITHOUT_APPLE = {symbol: name for symbol, name in SYMBOLS.items() if symbol != "AAPL"}


def test_an_unfinished_run_brings_back_no_result_of_other_inputs(window, errorPopups, monkeypatch, tmp_path):
    unfinished(monkeypatch)
    config = allocationConfig(method="testmethods.Unfinished", cutOffDate="")
    config.progress.progressPeriod = 0.05
    config.print.paperSize = [827, 1169]
    config.data = Dict({"basePeriod": 365, "dataProvider": "yahoods2.YahooDataSource"})
    manager, win = window(config, Dict())
    market, tab = manager.providerList[1], manager.providerList[2]
    monkeypatch.setattr(Fixed, "shares", {"Amazon.com Inc": 10, "Apple Inc": 20})

    def computed():
        Unfinished.outcome = None
        market.publish(realPrices(), stockTable())
        dispatch(manager, win, "UpdateConfig")
        assert securityNames(tab) == ["Amazon.com Inc", "Apple Inc"]

    def empty(name):
        assert tab["Recommendation"].empty and tab["Results"].empty and tab.weightGraph is None
        assert win["RecommendationData"].Values == [] and tab.methodObj is None
        assert workbookNames(tmp_path, monkeypatch, manager, win, name) == []

    # Unchanged inputs: a cancelled run gives the result back, in the tab and the workbook.
    computed()
    Unfinished.outcome = "cancel"
    dispatch(manager, win, "UpdateConfig")
    assert securityNames(tab) == ["Amazon.com Inc", "Apple Inc"]
    assert workbookNames(tmp_path, monkeypatch, manager, win, "kept.xlsx") == ["Amazon.com Inc", "Apple Inc"]

    # Amazon removed on the selection tab, then the tab selected and the run cancelled.
    market.publish(realPrices(symbols=WITHOUT_AMAZON), stockTable(WITHOUT_AMAZON))
    dispatch(manager, win, "mainTab", mainTab="recommendation")
    empty("selected.xlsx")
    # The same cancelled from the Update button.
    computed()
    market.publish(realPrices(symbols=WITHOUT_AMAZON), stockTable(WITHOUT_AMAZON))
    Unfinished.outcome = "cancel"
    dispatch(manager, win, "UpdateConfig")
    empty("updated.xlsx")

    assert errorPopups == []

    # Apple removed, then a failed run: the error is told, and neither the tab nor the workbook keeps Apple.
    computed()
    market.publish(realPrices(symbols=WITHOUT_APPLE), stockTable(WITHOUT_APPLE))
    Unfinished.outcome = "fail"
    dispatch(manager, win, "UpdateConfig")
    assert errorPopups[-1].endswith("the optimiser found no solution")
    empty("failed.xlsx")
    monkeypatch.setattr(provider, "GetFileName", lambda *args, **kwargs: str(tmp_path / "failed.pdf"))
    dispatch(manager, win, "SaveGraph")
    report = subprocess.run(["pdftotext", str(tmp_path / "failed.pdf"), "-"], capture_output=True, text=True,
                            check=True).stdout
    assert "Security Name" in report and "Apple Inc" not in report and "Amazon.com Inc" not in report

    # Prices fetched anew for the same selection (another period), or changed data settings.
    for change in (lambda: market.publish(realPrices(start="2016-01-01"), stockTable()),
                   lambda: setattr(config.data, "basePeriod", 730)):
        computed()
        change()
        Unfinished.outcome = "cancel"
        dispatch(manager, win, "UpdateConfig")
        empty("changed.xlsx")

    # A download that fails after the selection changed leaves no result of the selection before.
    computed()
    market.publish(realPrices(), stockTable(WITHOUT_AMAZON))

    def failingDownload():
        raise RuntimeError("no connection")

    monkeypatch.setattr(market, "recompute", failingDownload)
    dispatch(manager, win, "UpdateConfig")
    assert errorPopups[-1].endswith("no connection")
    empty("download.xlsx")


def test_clear_and_a_date_typed_again_compute_after_a_run_left_the_tab_empty(window, errorPopups, monkeypatch):
    unfinished(monkeypatch)
    config = allocationConfig(method="testmethods.Unfinished")
    config.progress.progressPeriod = 0.05
    manager, win = window(config, Dict())
    tab = manager.providerList[2]
    monkeypatch.setattr(Fixed, "shares", {"Apple Inc": 20})

    def clear(outcome=None):
        """The window's own Clear button, clicked, read and dispatched as the main loop does."""
        Unfinished.outcome = outcome
        runs = len(Unfinished.started)
        win["clearCutOffDate"].click()
        runLoop(manager, win, until=lambda: len(Unfinished.started) > runs)
        assert config.allocation.cutOffDate == "" and len(Unfinished.started) == runs + 1

    def computedWith(capital):
        allocation = tab["Recommendation"]
        assert Unfinished.started[-1] == capital and list(allocation["Security Name"]) == ["Apple Inc"]
        assert allocation["Weight"].sum() == pytest.approx(allocation["Value"].sum() / capital * 100)
        assert win["RecommendationData"].Values != []

    dispatch(manager, win, "UpdateConfig")
    computedWith(100000)
    # Another capital, Clear, Cancel: the tab is left empty. Clear once more computes, with that capital.
    dispatch(manager, win, "Capital", Capital="50,000")
    clear("cancel")
    assert tab["Recommendation"].empty and win["RecommendationData"].Values == []
    clear()
    computedWith(50000)
    assert win["resultType"].get() == "Current Recommendation"
    # Capital edited while the date is empty already: Clear computes with the new capital.
    dispatch(manager, win, "Capital", Capital="40,000")
    clear()
    computedWith(40000)

    # A failed run under a date typed; the same date typed again, under another capital, computes.
    Unfinished.outcome = "fail"
    dispatch(manager, win, "CutOffDate", CutOffDate="2017-06-30")
    assert errorPopups[-1].endswith("the optimiser found no solution") and tab["Recommendation"].empty
    Unfinished.outcome = None
    dispatch(manager, win, "Capital", Capital="30,000")
    dispatch(manager, win, "CutOffDate", CutOffDate="2017-06-30")
    computedWith(30000)
    assert win["resultType"].get() == "Backtest Portfolio for 2017-06-30" and tab.backtestGraph is not None
    # With that result on screen and every input unchanged, the date's edit has nothing to compute, also in
    # the window a switch to German makes anew; Clear there computes.
    runs = len(Unfinished.started)
    dispatch(manager, win, "CutOffDate", CutOffDate="2017-06-30")
    assert len(Unfinished.started) == runs and not tab["Recommendation"].empty and len(errorPopups) == 1
    savedLocale = locale.setlocale(locale.LC_ALL)
    config.gui.language = "de_DE.UTF-8"
    win.close()
    win = manager.createWindow()
    try:
        dispatch(manager, win, "CutOffDate", CutOffDate="2017-06-30")
        assert len(Unfinished.started) == runs and win["RecommendationData"].Values != []
        clear()
        computedWith(30000)
        assert win["resultType"].get() == "Aktuelle Empfehlung" and tab.backtestGraph is None
    finally:
        win.close()
        gettext.NullTranslations().install()
        locale.setlocale(locale.LC_ALL, savedLocale)


class Typing(MinVolatility):
    """Leaves `texts` in the form's inputs while it computes, as keys typed during a run whose events were
    lost; records the capital, benchmark and cut-off date of every run."""
    window, texts, runs = None, {}, []

    def computeRecommendation(self, owner):
        allocation = owner.config.allocation
        Typing.runs.append((allocation.capital, allocation.benchmark, allocation.cutOffDate))
        for key, text in Typing.texts.items():
            Typing.window[key].update(text)
        Typing.texts = {}
        return super().computeRecommendation(owner)


def test_numbers_typed_during_a_run_are_the_numbers_used(window, errorPopups, monkeypatch, tmp_path):
    import json
    import sys

    monkeypatch.setattr(sys.modules["testmethods"], "Typing", Typing, raising=False)
    monkeypatch.setattr(Typing, "runs", [])
    config = allocationConfig(method="testmethods.Typing", cutOffDate="")
    config.configFile = str(tmp_path / "velmora.json")
    user = Dict()
    manager, win = window(config, user)
    tab = manager.providerList[2]
    Typing.window = win

    def invested():
        return tab["Recommendation"]["Value"].sum()

    # 25000 typed during the run that opening the tab starts: taken after it, as after any other run.
    Typing.texts = {"Capital": "25000"}
    dispatch(manager, win, "mainTab", mainTab="recommendation")
    assert Typing.runs == [(100000, 2.0, "")] and invested() > 25000
    assert config.allocation.capital == user.allocation.capital == 25000 and win["Capital"].get() == "25,000"

    # 20000 typed into Capital and a text that is no weight into Max Weight while the run computes: after the
    # run the capital is stored and shown in its format, the weight shown refused, its setting kept.
    Typing.texts = {"Capital": "20000", "MaxWeight": "abc"}
    dispatch(manager, win, "UpdateConfig")
    assert Typing.runs[-1] == (25000, 2.0, "") and invested() > 20000
    assert config.allocation.capital == user.allocation.capital == 20000 and win["Capital"].get() == "20,000"
    assert win["MaxWeight"].get() == "abc" and config.allocation.maxWeight == 100.0
    assert win["MaxWeight"].Widget.cget("foreground") == "red"
    dispatch(manager, win, "UpdateConfig")
    assert Typing.runs[-1] == (20000, 2.0, "") and invested() <= 20000

    # A benchmark and a cut-off date typed during a run: the date's edit runs again, with the benchmark.
    win["MaxWeight"].update("100.00")
    Typing.texts = {"Benchmark": "3", "CutOffDate": "2016-06-30"}
    dispatch(manager, win, "UpdateConfig")
    assert Typing.runs[-2:] == [(20000, 2.0, ""), (20000, 3.0, "2016-06-30")]
    assert win["resultType"].get() == "Backtest Portfolio for 2016-06-30" and win["Benchmark"].get() == "3.00"

    # A text whose keystrokes were lost outside a run is taken by Update, and by a real Enter in a field.
    win["Capital"].update("30000")
    dispatch(manager, win, "UpdateConfig")
    assert Typing.runs[-1][0] == 30000 and invested() <= 30000 and win["Capital"].get() == "30,000"
    win["Capital"].update("40000")
    focusOn(win, "Capital")
    runs = len(Typing.runs)
    subprocess.run(["xdotool", "key", "Return"], check=True)
    runLoop(manager, win, until=lambda: len(Typing.runs) > runs, seconds=10)
    assert Typing.runs[-1][0] == 40000 and invested() <= 40000

    # The close writes what was used.
    dispatch(manager, win, sg.WIN_CLOSE_ATTEMPTED_EVENT)
    saved = json.loads((tmp_path / "velmora.json").read_text())["allocation"]
    assert saved["capital"] == 40000 and saved["benchmark"] == 3.0 and "maxWeight" not in saved
    assert errorPopups == []


class TwoCharts(Fixed):
    """Draws two analysis charts, as the efficient frontier and its area chart are; Cancel is pressed while
    they are drawn when `cancelWhileDrawing` is set."""
    cancelWhileDrawing = False

    def plotAnalysis(self, figsize=None, pdf=None):
        import matplotlib.pyplot as plt

        first = plt.figure().subplots()
        first.plot([1, 2, 3])
        if TwoCharts.cancelWhileDrawing:
            clickCancel()
        second = plt.figure().subplots()
        second.plot([3, 2, 1])
        return first, second


def test_a_cancel_during_the_charts_ends_the_run_before_the_next_chart(window, errorPopups, monkeypatch):
    import sys

    monkeypatch.setattr(sys.modules["testmethods"], "TwoCharts", TwoCharts, raising=False)
    monkeypatch.setattr(Fixed, "shares", {"Apple Inc": 20, "Walmart Inc": 30})
    config = allocationConfig(method="testmethods.TwoCharts")
    config.progress.progressPeriod = 0.05
    manager, win = window(config, Dict())
    tab = manager.providerList[2]
    rendered, cancelAt = [], []
    axToPng = tab.axToPng

    def rendering(ax):
        rendered.append(ax)
        if len(rendered) in cancelAt:
            clickCancel()
        return axToPng(ax)

    monkeypatch.setattr(tab, "axToPng", rendering)
    dispatch(manager, win, "UpdateConfig")
    # Both analysis charts, the donut, the backtest and the drawdown chart.
    assert len(rendered) == 5 and tab.drawdownGraph is not None
    images = [tab.analysisGraph, tab.analysisGraph2, tab.weightGraph, tab.backtestGraph, tab.drawdownGraph]
    allocation = tab["Recommendation"]

    def resultKept():
        assert tab["Recommendation"] is allocation and len(win["RecommendationData"].Values) == 2
        assert [tab.analysisGraph, tab.analysisGraph2, tab.weightGraph, tab.backtestGraph,
                tab.drawdownGraph] == images

    # Cancel pressed while the method draws its charts: no image is made of them.
    monkeypatch.setattr(TwoCharts, "cancelWhileDrawing", True)
    rendered.clear()
    dispatch(manager, win, "UpdateConfig")
    assert rendered == [] and not progress.QuickMeter.active_meters
    resultKept()
    monkeypatch.setattr(TwoCharts, "cancelWhileDrawing", False)

    # Cancel pressed while an image is made: the run ends before the next one.
    for image in range(1, 5):
        rendered.clear()
        cancelAt[:] = [image]
        dispatch(manager, win, "UpdateConfig")
        assert len(rendered) == image
        resultKept()
    assert errorPopups == []


# ---------------------------------------------------------------------------------------------------------------
# The frontier chart of every run: a sequence of runs with other settings, loaded or set in the form, in English
# and German, some refused, and last the user's case.

NINE = {symbol: name for symbol, name in
        [("AAPL", "Apple Inc"), ("AMZN", "Amazon.com Inc"), ("BAC", "Bank of America"), ("JPM", "JPMorgan Chase"),
         ("MA", "Mastercard"), ("PFE", "Pfizer"), ("SBUX", "Starbucks"), ("WMT", "Walmart Inc"),
         ("XOM", "Exxon Mobil")]}
USERS_CASE = dict(method="riskef.RiskFolioEF", objective="MinRisk", riskMethod="semicovariance",
                  returnMethod="mean_historical_return", minWeight=0.0, maxWeight=30.0, capital=10000,
                  cutOffDate="2017-06-30")


def frontierAndStar(named):
    """The frontier's points and the star as the chart shows them, (risk, return) each."""
    chart = named["ax"].figure.axes[1]  # beside the colour bar, in the axes handed over
    frontier, star = [points.get_offsets() for points in chart.collections]
    return np.asarray(frontier), np.asarray(star[0])


def starOnItsFrontier(objective, frontier, star, tolerance=1e-4):
    """Where the portfolio shown stands against the frontier shown: none of the frontier's points lies left of
    a minimum-risk portfolio, the maximum-return one is its last point, a portfolio of another mean-risk
    objective lies on the curve between two points (not below the line joining them, not above the point
    after it), and the equal-risk-contribution one, which no mean-risk objective chooses, lies on or below it."""
    risks, returns = frontier[:, 0], frontier[:, 1]
    if objective == "MinRisk":
        return star == pytest.approx(frontier[0], abs=1e-6) and risks.min() >= star[0] - 1e-6
    if objective == "MaxRet":
        return star == pytest.approx(frontier[-1], abs=tolerance)
    after = np.searchsorted(risks, star[0] - tolerance)
    if star[0] < risks[0] - tolerance or after == len(risks):
        return False
    notAbove = star[1] <= returns[after] + tolerance
    onCurve = star[1] >= np.interp(star[0], risks, returns) - tolerance
    return notAbove and (onCurve or objective == "ERC")


OTHER_SETTINGS = st.fixed_dictionaries({
    "method": st.sampled_from(["riskef.RiskFolioEF", "riskef.RiskFolioEF", "minsemi.MinSemi", "riskhrp.RiskFolioHRP"]),
    "objective": st.sampled_from(["MinRisk", "Utility", "Sharpe", "ERC", "MaxRet"]),
    "riskMethod": st.sampled_from(["semicovariance", "sample_cov", "ledoit_wolf", "exp_cov"]),
    "returnMethod": st.sampled_from(["mean_historical_return", "ema_historical_return", "capm_return"]),
    "minWeight": st.sampled_from([0.0, 5.0, 20.0]),
    "maxWeight": st.sampled_from([20.0, 30.0, 45.0, 100.0]),
    "cutOffDate": st.sampled_from(["2016-12-30", "2017-06-30", "2017-12-29"]),
})
# How the settings reach the tab: loaded in English or German, or loaded and then a maximum weight typed and
# Update pressed.
HOW = st.sampled_from([None, "de_DE.UTF-8", "45", "25"])


@settings(max_examples=2, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(runs=st.lists(st.tuples(OTHER_SETTINGS, HOW), min_size=1, max_size=1))
def test_every_frontier_chart_shows_the_portfolio_of_its_own_run(runs, errorPopups, monkeypatch, tmp_path):
    import riskfolio

    # A folder of its own for each example: the examples share the test's one temporary folder.
    workspace = tmp_path / str(len(list(tmp_path.iterdir())))
    workspace.mkdir()
    monkeypatch.chdir(workspace)
    (workspace / "locale").symlink_to(Path(__file__).resolve().parents[1] / "locale")
    config = allocationConfig(**USERS_CASE)
    config.print.paperSize = [827, 1169]
    (workspace / "default.json").write_text(json.dumps(config))
    monkeypatch.setattr(Provider, "values", {})
    monkeypatch.setattr(fields, "handlers", {})
    monkeypatch.setattr(MarketData, "prices", realPrices("2016-06-01", "2018-04-11", NINE))
    monkeypatch.setattr(MarketData, "stocks", stockTable(NINE))
    library, drawn, objective = riskfolio.plot_frontier, [], {}
    monkeypatch.setattr(riskfolio, "plot_frontier",
                        lambda **named: drawn.append((objective["now"], named)) or library(**named))
    savedLocale = locale.setlocale(locale.LC_ALL)
    manager = makeManager(config, Dict())
    win = manager.createWindow()
    tab = manager.providerList[2]
    try:
        for number, (chosen, how) in enumerate(runs + [(USERS_CASE, None)]):
            objective["now"] = chosen["objective"]
            loaded = {"allocation": {**config.allocation, **chosen}}
            if how == "de_DE.UTF-8":
                loaded["gui"] = {"language": how}
            (workspace / f"{number}.json").write_text(json.dumps(loaded))
            monkeypatch.setattr(provider, "GetFileName", lambda *args, **kwargs: str(workspace / f"{number}.json"))
            win = dispatch(manager, win, "LoadConfig", mainTab="recommendation")
            if how in ("45", "25"):
                win = dispatch(manager, win, "UpdateConfig", MaxWeight=how)
                assert config.allocation.maxWeight == float(how)
        monkeypatch.setattr(provider, "GetFileName", lambda *args, **kwargs: str(workspace / "report.pdf"))
        dispatch(manager, win, "SaveGraph")
        for shownWith, named in drawn:
            assert starOnItsFrontier(shownWith, *frontierAndStar(named)), (shownWith, frontierAndStar(named))
        # The user's case: shown in the window and in the report, each at the start of the frontier.
        assert tab.analysisGraph2 and drawn[-1][1]["w"] is tab.methodObj.w and len(drawn) >= 2
        assert [shownWith for shownWith, named in drawn[-2:]] == ["MinRisk", "MinRisk"]
    finally:
        win.close()
        gettext.NullTranslations().install()
        locale.setlocale(locale.LC_ALL, savedLocale)


class BrokenChart(Fixed):
    """Computes as `Fixed` does; its analysis chart cannot be drawn."""

    def plotAnalysis(self, figsize=None, pdf=None):
        raise ValueError("Encountered all NA values")


def test_a_chart_that_cannot_be_drawn_costs_no_result(window, errorPopups, monkeypatch, caplog, tmp_path):
    import sys

    # Two stocks with the Risk Folio clustering at the shipped limits (its dendrogram chart failed on two
    # stocks, and the tables were lost with it), then a method whose chart fails: the tables stand, the
    # chart's place shows an empty chart and the log tells why.
    two = {"GE": "General Electric", "PFE": "Pfizer"}
    monkeypatch.setattr(MarketData, "prices", realPrices("2014-04-11", "2018-04-11", two))
    monkeypatch.setattr(MarketData, "stocks", stockTable(two))
    monkeypatch.setattr(sys.modules["testmethods"], "BrokenChart", BrokenChart, raising=False)
    monkeypatch.setattr(Fixed, "shares", {"General Electric": 100, "Pfizer": 30})
    config = allocationConfig(method="riskhrp.RiskFolioHRP", objective="Sharpe", riskMethod="ledoit_wolf")
    config.print.paperSize = [827, 1169]
    manager, win = window(config, Dict())
    tab = manager.providerList[2]
    dispatch(manager, win, "UpdateConfig")
    assert sorted(tab["Recommendation"]["Symbol"]) == ["GE.US", "PFE.US"] and len(win["ResultsData"].Values) > 4
    assert tab.analysisGraph and tab.analysisGraph2 and tab.weightGraph and tab.drawdownGraph
    # The report draws the clustering's charts anew.
    report = tmp_path / "two.pdf"
    monkeypatch.setattr(provider, "GetFileName", lambda *args, **kwargs: str(report))
    dispatch(manager, win, "SaveGraph")
    assert report.stat().st_size > 10000 and errorPopups == []

    config.allocation.method = "testmethods.BrokenChart"
    with caplog.at_level("ERROR"):
        dispatch(manager, win, "UpdateConfig")
    assert securityNames(tab) == ["General Electric", "Pfizer"] and len(win["RecommendationData"].Values) == 2
    assert tab.analysisGraph and tab.analysisGraph2 == tab.analysisGraph and tab.weightGraph
    assert "The chart could not be drawn" in caplog.text and "Encountered all NA values" in caplog.text

    # A backtest chart that fails leaves its place empty, not showing the last run's.
    def noDrawdown(*args, **kwargs):
        raise ValueError("no drawdown")

    monkeypatch.setattr(sys.modules["riskfolio"], "plot_drawdown", noDrawdown)
    dispatch(manager, win, "UpdateConfig")
    assert securityNames(tab) == ["General Electric", "Pfizer"] and len(win["ResultsData"].Values) > 4
    assert tab.backtestGraph is None and tab.drawdownGraph is None and "no drawdown" in caplog.text
    assert errorPopups == []


# ---------------------------------------------------------------------------------------------------------------
# A result shown only with the settings it was computed from; runs asked for during a run; keys after a failed run.

class Reading(Fixed):
    """Buys as `Fixed` does, half a share more of each stock when fractional shares are asked for, and tells the
    trading days per year it estimated with; records the allocation settings of every run."""
    runs = []
    during = None

    def computeRecommendation(self, owner):
        Reading.runs.append(dict(owner.config.allocation))
        if Reading.during:
            during, Reading.during = Reading.during, None
            during()
            for _ in range(6):  # the meter read on, as the run's next steps read it
                time.sleep(0.05)
                owner.lastProgressUpdate = 0
                owner.update(3)
        half = 0.5 if owner.fractional == "YES" else 0
        latest = owner.prices.iloc[-1]
        shares = {name: count + half for name, count in self.shares.items()}
        table = pd.DataFrame({"Name": ["Trading days"], "Value": [float(owner.frequency)]})
        return support.allocationOf(owner, shares, latest), table


def reading(monkeypatch, **allocation):
    import sys
    monkeypatch.setattr(sys.modules["testmethods"], "Reading", Reading, raising=False)
    monkeypatch.setattr(Reading, "runs", [])
    monkeypatch.setattr(Reading, "during", None)
    monkeypatch.setattr(Fixed, "shares", {"Apple Inc": 20, "Walmart Inc": 30})
    config = allocationConfig(method="testmethods.Reading", **{"cutOffDate": "", **allocation})
    config.progress.progressPeriod = 0.05
    config.print.paperSize = [827, 1169]
    config.data = Dict({"basePeriod": 365, "sigmaClipLow": 4.0})
    return config


def showsTheSettingsOfNow(tab, win, config):
    """The tab shows the result of a run from the settings of now, as the settings make it."""
    assert Reading.runs[-1] == dict(config.allocation)
    half = 0.5 if config.allocation.fractional == "YES" else 0
    assert sorted(tab["Recommendation"]["Shares"]) == [20 + half, 30 + half]
    assert tab["Results"]["Value"].iloc[0] == config.allocation.tradingDaysPerYear
    assert win["RecommendationData"].Values != []


READ = {("allocation", "fractional"): ["YES", "NO"], ("allocation", "tradingDaysPerYear"): [252, 250, 365],
        ("allocation", "capital"): [100000, 50000], ("allocation", "benchmark"): [2.0, 3.5],
        ("allocation", "maxWeight"): [100.0, 40.0], ("allocation", "minWeight"): [0.0, 5.0],
        ("allocation", "riskMethod"): ["sample_cov", "ledoit_wolf"], ("allocation", "gamma"): [1.0, 2.0],
        ("allocation", "cutOffDate"): ["", "2017-06-30"], ("data", "basePeriod"): [365, 730],
        ("data", "sigmaClipLow"): [4.0, 3.0]}
CHANGES = st.lists(st.sampled_from(sorted(READ)).flatmap(lambda path: st.tuples(st.just(path),
                                                                                st.sampled_from(READ[path]))),
                   min_size=1, max_size=3)


@settings(max_examples=2, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_a_result_shown_is_one_of_the_settings_of_now_wherever_they_were_set(data, window, errorPopups,
                                                                            monkeypatch):
    config = reading(monkeypatch)
    manager, win = window(config, Dict())
    tab = manager.providerList[2]
    dispatch(manager, win, "UpdateConfig")
    for _ in range(3):
        # Set as any tab sets them (the settings tab, Load Config), then the tab shown: selected, or in a
        # window made anew.
        before = (dict(config.allocation), dict(config.data))
        for (section, key), value in data.draw(CHANGES):
            config[section][key] = value
        runs = len(Reading.runs)
        if data.draw(st.booleans()):
            win.close()
            win = manager.createWindow()
        dispatch(manager, win, "mainTab", mainTab="recommendation")
        assert len(Reading.runs) == runs + (before != (dict(config.allocation), dict(config.data)))
        showsTheSettingsOfNow(tab, win, config)
    win.close()
    assert errorPopups == []


def workbook(tmp_path, monkeypatch, manager, win, name):
    monkeypatch.setattr(provider, "GetFileName", lambda *args, **kwargs: str(tmp_path / name))
    dispatch(manager, win, "SaveExcel")
    return readWorkbook(tmp_path / name)


def test_an_export_pairs_its_settings_with_a_result_computed_from_them(window, errorPopups, monkeypatch, tmp_path):
    config = reading(monkeypatch)
    manager, win = window(config, Dict())
    tab = manager.providerList[2]
    dispatch(manager, win, "UpdateConfig")
    # Fractional shares and other trading days set on the settings tab, the tab not shown: the workbook's
    # result is computed from them first.
    config.allocation.fractional, config.allocation.tradingDaysPerYear = "YES", 250
    sheets = workbook(tmp_path, monkeypatch, manager, win, "fractional.xlsx")
    settingsWritten = {row[0]: row[-1] for row in sheets["Configuration"]["rows"][1:]}
    assert settingsWritten["allocation.fractional"] == "YES"
    assert settingsWritten["allocation.tradingDaysPerYear"] == "250"
    assert sorted(float(row[4]) for row in sheets["Recommendation"]["rows"][1:]) == [20.5, 30.5]
    assert sheets["Results"]["rows"][1] == ["Trading days", "250"]
    showsTheSettingsOfNow(tab, win, config)
    runs = len(Reading.runs)
    dispatch(manager, win, "mainTab", mainTab="recommendation")
    workbook(tmp_path, monkeypatch, manager, win, "again.xlsx")
    assert len(Reading.runs) == runs

    # A capital typed without Update is written keystroke by keystroke: the report is of a result computed
    # with it.
    dispatch(manager, win, "Capital", Capital="50,000")
    assert config.allocation.capital == 50000 and len(Reading.runs) == runs
    monkeypatch.setattr(provider, "GetFileName", lambda *args, **kwargs: str(tmp_path / "typed.pdf"))
    dispatch(manager, win, "SaveGraph")
    assert Reading.runs[-1]["capital"] == 50000 and (tmp_path / "typed.pdf").exists()
    allocation = tab["Recommendation"]
    assert allocation["Weight"].sum() == pytest.approx(allocation["Value"].sum() / 50000 * 100)

    # A run that leaves no result of the settings of now exports nothing; its popup says why.
    config.allocation.cutOffDate = "2014-06-03"
    monkeypatch.setattr(provider, "GetFileName", lambda *args, **kwargs: str(tmp_path / "outside.xlsx"))
    dispatch(manager, win, "SaveExcel")
    assert not (tmp_path / "outside.xlsx").exists() and "2014-06-03 lies outside" in errorPopups[-1]
    assert len(errorPopups) == 1


def test_an_enter_pressed_during_a_run_runs_once_it_ends_with_every_edit(window, errorPopups, monkeypatch):
    config = reading(monkeypatch)
    manager, win = window(config, Dict())
    tab = manager.providerList[2]

    def typeInto(key, text):
        focusOn(win, key)
        win[key].update("")
        subprocess.run(["xdotool", "type", "--delay", "20", text], check=True)
        deadline = time.time() + 3  # the keys reach the field before the focus moves on
        while win[key].get() != text and time.time() < deadline:
            win.refresh()

    def enterOnCapital(presses):
        typeInto("Capital", "30000")
        subprocess.run(["xdotool", "key", "--delay", "30", *["Return"] * presses], check=True)

    # A risk method chosen, and while it runs 30000 typed into Capital and Enter pressed, three times: one run more,
    # with 30000, and none after it.
    Reading.during = lambda: enterOnCapital(3)
    dispatch(manager, win, "RiskMethod", RiskMethod="Ledoit Wolf")
    runLoop(manager, win, until=lambda: False, seconds=0.5)
    assert [run["capital"] for run in Reading.runs] == [100000, 30000]
    assert win["Capital"].get() == "30,000" and tab["Recommendation"]["Weight"].sum() == pytest.approx(
        tab["Recommendation"]["Value"].sum() / 30000 * 100)

    # A capital and a date typed during a run and Enter pressed: one run more, with both.
    def capitalAndDate():
        typeInto("Capital", "20000")
        typeInto("CutOffDate", "2017-06-30")
        subprocess.run(["xdotool", "key", "Return"], check=True)

    Reading.during = capitalAndDate
    dispatch(manager, win, "UpdateConfig")
    runLoop(manager, win, until=lambda: False, seconds=0.5)
    assert [(run["capital"], run["cutOffDate"]) for run in Reading.runs[2:]] == [(30000, ""), (20000, "2017-06-30")]
    assert win["resultType"].get() == "Backtest Portfolio for 2017-06-30" and errorPopups == []

    # A risk method chosen and Enter pressed on a capital during a run: the choice's event is lost behind the
    # keys, and one run more takes both. A choice alone runs once more, not again at its own event.
    def choose(text):
        win["RiskMethod"].Widget.set(text)
        win["RiskMethod"].Widget.event_generate("<<ComboboxSelected>>")

    for during, runs in [(lambda: (choose("Semi Covariance"), enterOnCapital(1)), ("semicovariance", 30000)),
                         (lambda: choose("Oracle Approximation"), ("oracle_approximating", 30000))]:
        Reading.during, before = during, len(Reading.runs)
        dispatch(manager, win, "UpdateConfig")
        runLoop(manager, win, until=lambda: False, seconds=1)
        assert [(run["riskMethod"], run["capital"]) for run in Reading.runs[before + 1:]] == [runs]
        assert (config.allocation.riskMethod, config.allocation.capital) == runs


def keysInto(manager, win, key, xdotool):
    focusOn(win, key)
    subprocess.run(["xdotool", *xdotool], check=True)
    return runLoop(manager, win, until=lambda: False, seconds=0.7)


def test_keys_that_leave_the_date_as_it_is_start_no_run(window, errorPopups, monkeypatch):
    config = reading(monkeypatch)
    manager, win = window(config, Dict())
    dispatch(manager, win, "UpdateConfig")
    try:
        # A capital typed waits for Enter or Update, also while keys that change no date go to the date's field.
        runs = len(Reading.runs)
        win["Capital"].update("")
        win = keysInto(manager, win, "Capital", ["type", "--delay", "30", "5000"])
        win = keysInto(manager, win, "CutOffDate", ["key", "--delay", "60", "End", "Tab"])
        assert len(Reading.runs) == runs and config.allocation.capital == 5000
    finally:
        win.close()


def test_a_key_that_leaves_the_date_of_a_failed_run_incomplete_shows_no_popup_again(window, errorPopups,
                                                                                   monkeypatch, tmp_path):
    config = reading(monkeypatch)
    manager, win = window(config, Dict())
    dispatch(manager, win, "UpdateConfig")
    monkeypatch.chdir(tmp_path)
    (tmp_path / "default.json").write_text(json.dumps(config))
    (tmp_path / "early.json").write_text(json.dumps({"allocation": {"cutOffDate": "2014-06-03"}}))
    monkeypatch.setattr(provider, "GetFileName", lambda *args, **kwargs: str(tmp_path / "early.json"))
    win = dispatch(manager, win, "LoadConfig", mainTab="recommendation")
    assert len(errorPopups) == 1 and "2014-06-03 lies outside the prices" in errorPopups[0]
    try:
        # The real main loop: a capital typed without Enter, then keys that leave the date's text as it is, start
        # no run; End and BackSpace in the date neither, the date completed again runs.
        win = runLoop(manager, win, until=lambda: False, seconds=0.5)
        win["Capital"].update("")
        win = keysInto(manager, win, "Capital", ["type", "--delay", "30", "5000"])
        win = keysInto(manager, win, "CutOffDate", ["key", "--delay", "60", "End", "Left", "Right", "Tab"])
        assert win["CutOffDate"].get() == "2014-06-03" and len(errorPopups) == 1
        focusOn(win, "CutOffDate")
        subprocess.run(["xdotool", "key", "--delay", "60", "End", "BackSpace"], check=True)
        win = runLoop(manager, win, until=lambda: False, seconds=1)
        assert win["CutOffDate"].get() == "2014-06-0" and len(errorPopups) == 1
        subprocess.run(["xdotool", "type", "3"], check=True)
        win = runLoop(manager, win, until=lambda: len(errorPopups) > 1, seconds=3)
        win = runLoop(manager, win, until=lambda: False, seconds=0.5)
        assert errorPopups[1:] == errorPopups[:1]
    finally:
        win.close()
