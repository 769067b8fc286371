"""The recommendation tab: the form and its rules, the run with its backtest, the result display."""
import gettext
import io
import locale
import logging
import math
from contextlib import contextmanager
from pathlib import Path

import matplotlib
import numpy as np
import pandas as pd
import pytest
from addict import Dict
from PIL import Image

import fields
import provider
import recommendation
import recommendation_support as support
from fields_support import focusOn, press, processLocale, pump
from recommendation_support import (Fixed, ManySolves, MarketData, Slow, allocationConfig,  # noqa: F401
                                    curvePrices, dispatch, errorPopups, isolated, makeManager, readWorkbook,
                                    realPrices, stockTable, window)

Provider = provider.Provider
RecommendationProvider = recommendation.RecommendationProvider


def pngSize(data):
    image = Image.open(io.BytesIO(data))
    assert image.format == "PNG"
    return image.size


def makeTab(config, user=None):
    """The market data and the recommendation tab, constructed as the provider manager does."""
    user = Dict() if user is None else user
    data = MarketData(config)
    tab = RecommendationProvider(config, providerManager=None, userConfigParm=user)
    return data, tab


def shown(table):
    return [list(row) for row in table.Values]


# --- construction ---------------------------------------------------------------------------

def test_construction_publishes_empty_results_and_depends_on_the_data():
    config = allocationConfig()
    with pytest.raises(KeyError, match="prices"):
        RecommendationProvider(config)
    assert "Recommendation" not in Provider.values

    data, tab = makeTab(config)
    empty = ["Symbol", "Security Name", "Weight", "Price", "Count", "Value"]
    assert list(tab["Recommendation"].columns) == empty
    assert list(tab["Results"].columns) == ["Name", "Value"]
    assert tab["Recommendation"].empty and tab["Results"].empty
    assert data in tab.dependingOn and tab.lastGeneration == -1 and tab.key == "recommendation"
    for name in ("analysisGraph", "analysisGraph2", "weightGraph", "backtestGraph", "drawdownGraph",
                 "methodObj", "futureValue"):
        assert getattr(tab, name) is None


# --- the run ----------------------------------------------------------------------------------

def test_run_with_backtest_on_real_prices():
    config = allocationConfig(tradingDaysPerYear=250, benchmark=2.5, maxWeight=40, minWeight=1)
    data, tab = makeTab(config)
    tab.recompute()

    # The estimation inputs the method reads from its owner.
    assert list(tab.prices.columns) == sorted(support.SYMBOLS.values())
    assert tab.prices.index.max() < pd.Timestamp("2017-06-30")
    assert tab.benchmarkPerDay == pytest.approx(0.0001) and tab.frequency == 250
    assert (tab.maxWeight, tab.minWeight, tab.fractional) == (0.4, 0.01, "NO")
    from pypfopt import expected_returns
    expected = expected_returns.mean_historical_return(tab.prices, frequency=250)
    pd.testing.assert_series_equal(tab.expectedReturns, expected)
    assert not tab.historicReturns.isna().any().any()

    allocation, results = tab["Recommendation"], tab["Results"]
    assert list(allocation.columns) == ["Symbol", "Security Name", "Weight", "Price", "Shares", "Value"]
    assert not allocation.empty and list(allocation["Security Name"]) == sorted(allocation["Security Name"])
    assert all(allocation["Symbol"] == allocation["Security Name"].map(
        {name: symbol + ".US" for symbol, name in support.SYMBOLS.items()}))
    np.testing.assert_allclose(allocation["Value"], allocation["Shares"] * allocation["Price"])
    assert allocation["Weight"].sum() <= 100 and allocation["Weight"].max() <= 40 + 1
    assert list(results["Name"])[:3] == ["Expected return", "Volatility", "Sharpe"]
    assert list(results["Name"])[3:] == ["", "Backtest Profit", "Backtest Volatility", "Backtest Sharpe"]
    assert results["Value"].iloc[3] == ""

    # The backtest values the bought shares from the cut-off day on.
    future = realPrices().loc["2017-06-30":]
    value = future[list(allocation["Symbol"])].to_numpy() @ allocation["Shares"].to_numpy()
    np.testing.assert_allclose(tab.futureValue["PortfolioValue"], value)
    assert tab.futureValue["Date"].iloc[0] == pd.Timestamp("2017-06-30")
    years = len(value) / 250
    assert results["Value"].iloc[4] == pytest.approx(((value[-1] / value[0]) ** (1 / years) - 1) * 100)

    for name in ("analysisGraph", "weightGraph", "backtestGraph", "drawdownGraph"):
        width, height = pngSize(getattr(tab, name))
        assert width > 300 and height > 300
    assert tab.analysisGraph2 is None
    assert sum(tab.cleanedWeights.values()) == pytest.approx(100, abs=1.01)
    import matplotlib.pyplot as plt
    assert plt.get_fignums() == []


def test_backtest_figures_follow_the_curve_every_stock_follows():
    curve = [100.0, 110.0, 99.0, 121.0, 115.0, 126.5]
    prices, cutOff = curvePrices(curve)
    MarketData.prices = prices
    Fixed.shares = {"Apple Inc": 10, "Walmart Inc": 4, "Exxon Mobil": 2}
    config = allocationConfig(method="testmethods.Fixed", cutOffDate=cutOff.strftime("%Y-%m-%d"),
                              tradingDaysPerYear=4, benchmark=3.0)
    data, tab = makeTab(config)
    tab.recompute()

    start = sum(prices[symbol].iloc[299] * count for symbol, count in
                [("AAPL.US", 10), ("WMT.US", 4), ("XOM.US", 2)])
    np.testing.assert_allclose(tab.futureValue["PortfolioValue"], np.array(curve) / 100 * start)
    years = 6 / 4
    profit = (1.265 ** (1 / years) - 1) * 100
    daily = [110 / 100 - 1, 99 / 110 - 1, 121 / 99 - 1, 115 / 121 - 1, 126.5 / 115 - 1]
    volatility = np.std(daily, ddof=1) * math.sqrt(4) * 100
    figures = tab["Results"]["Value"].iloc[-3:].tolist()
    assert figures == pytest.approx([profit, volatility, (profit - 3.0) / volatility * 100])
    # The cut-off day belongs to the backtest, not to the estimation.
    owner = Fixed.owners[-1]
    assert owner["prices"].index.max() < cutOff and tab.futureValue["Date"].iloc[0] == cutOff


def test_steady_rise_has_no_volatility_and_one_stock_gets_a_placeholder():
    prices, cutOff = curvePrices([100.0, 110.0, 121.0])
    MarketData.prices = prices
    Fixed.shares = {"Alphabet Inc": 3}
    config = allocationConfig(method="testmethods.Fixed", cutOffDate=cutOff.strftime("%Y-%m-%d"),
                              tradingDaysPerYear=3, benchmark=2)
    data, tab = makeTab(config)
    tab.recompute()
    profit, volatility, sharpe = tab["Results"]["Value"].iloc[-3:]
    assert profit == pytest.approx(21.0) and volatility == pytest.approx(0, abs=1e-9) and math.isnan(sharpe)
    assert list(tab.returns.columns) == ["GOOG.US", "@@@"] and (tab.returns["@@@"] == 0).all()
    assert list(tab.recommendationWrk.index) == ["GOOG.US", "@@@"]
    assert "@@@" not in tab["Recommendation"]["Symbol"].tolist()
    assert tab.backtestGraph is not None and tab.drawdownGraph is not None


def test_run_without_cut_off_date_and_donut_of_many_stocks(tmp_path, monkeypatch):
    symbols = {f"S{number:02d}": f"Stock {number:02d}" for number in range(25)}
    prices, cutOff = curvePrices([1.0, 1.0], symbols=symbols)
    MarketData.prices, MarketData.stocks = prices, stockTable(symbols)
    # 3 percent each for the largest twenty, 0.5 percent each for five more: 62.5 percent invested.
    capital = 100000
    last = prices.iloc[299]
    Fixed.shares = {f"Stock {n:02d}": (3000 if n < 20 else 500) / last[f"S{n:02d}.US"] for n in range(25)}
    config = allocationConfig(method="testmethods.Fixed", cutOffDate="", capital=capital,
                              returnMethod="capm_return")
    data, tab = makeTab(config)
    drawn = drawnFigures(tab)
    tab.recompute()
    assert tab.backtestGraph is None and tab.drawdownGraph is None and tab.futureValue is None
    assert tab["Results"].equals(pd.DataFrame({"Name": ["Sum"], "Value": [100.0]}))
    assert len(Fixed.owners[-1]["prices"]) == len(prices)
    labels = list(tab.cleanedWeights)
    assert labels[:20] == [f"Stock {n:02d}" for n in range(20)] or len(set(labels[:20])) == 20
    assert labels[20:] == ["Other", "Unallocated"]
    assert tab.cleanedWeights["Other"] == pytest.approx(2.5)
    assert tab.cleanedWeights["Unallocated"] == pytest.approx(37.5)
    assert len(tab["Recommendation"]) == 25
    # Every slice in a colour of its own, and each bar of the report's weights in the colour of its slice.
    colour = lambda patch: matplotlib.colors.to_hex(patch.get_facecolor())  # noqa: E731
    donut = next(f.axes[0] for f in drawn if f.axes[0].get_title() == "Portfolio Allocation")
    slices = dict(zip(tab.cleanedWeights, map(colour, donut.patches)))
    assert len(set(slices.values())) == len(slices) == 22
    charts, barh = [], matplotlib.axes.Axes.barh
    monkeypatch.setattr(matplotlib.axes.Axes, "barh", lambda ax, *args: charts.append(ax) or barh(ax, *args))
    monkeypatch.setattr(provider, "GetFileName", lambda *args, **kwargs: str(tmp_path / "report.pdf"))
    config.print.paperSize = [827, 1169]
    tab.saveGraph()
    assert {label.get_text(): colour(bar) for label, bar in
            zip(charts[0].get_yticklabels(), charts[0].patches)} == slices


def test_stocks_of_one_name_keep_a_column_a_slice_and_a_bar_each(tmp_path, monkeypatch, errorPopups):
    symbols = {"GOOG": "Alphabet Inc", "GOOGL": "Alphabet Inc", "AAPL": "Apple Inc"}
    MarketData.prices, MarketData.stocks = curvePrices([1.0, 1.0], symbols=symbols)[0], stockTable(symbols)
    Fixed.shares = {"Alphabet Inc (GOOG.US)": 10, "Alphabet Inc (GOOGL.US)": 20, "Apple Inc": 5}
    config = allocationConfig(method="testmethods.Fixed", cutOffDate="")
    config.print.paperSize = [827, 1169]
    data, tab = makeTab(config)
    tab.recompute()
    allocation = tab["Recommendation"].set_index("Symbol")
    assert allocation["Security Name"].to_dict() == {f"{s}.US": name for s, name in symbols.items()}
    weights = {label: allocation["Weight"][symbol] for label, symbol in
               [("Alphabet Inc (GOOG.US)", "GOOG.US"), ("Alphabet Inc (GOOGL.US)", "GOOGL.US"),
                ("Apple Inc", "AAPL.US")]}
    assert {label: tab.cleanedWeights[label] for label in weights} == weights
    charts, barh = [], matplotlib.axes.Axes.barh
    monkeypatch.setattr(matplotlib.axes.Axes, "barh", lambda ax, *args: charts.append(ax) or barh(ax, *args))
    monkeypatch.setattr(provider, "GetFileName", lambda *args, **kwargs: str(tmp_path / "report.pdf"))
    tab.saveGraph()
    bars = {label.get_text(): bar.get_facecolor() for label, bar in
            zip(charts[0].get_yticklabels(), charts[0].patches)}
    assert set(weights) <= set(bars) and len(set(bars.values())) == len(bars)
    # A name that reads as another stock's label still leaves each stock a column of its own.
    symbols["ALPH"] = "Alphabet Inc (GOOG.US)"
    Fixed.shares = {"Alphabet Inc (GOOG.US) (GOOG.US)": 10, "Alphabet Inc (GOOG.US) (ALPH.US)": 1,
                    "Alphabet Inc (GOOGL.US)": 20, "Apple Inc": 5}
    MarketData.prices, MarketData.stocks = curvePrices([1.0, 1.0], symbols=symbols)[0], stockTable(symbols)
    data, tab = makeTab(config)
    tab.recompute()
    assert errorPopups == []
    assert len(set(tab.prices.columns)) == 4 and len(tab["Recommendation"]) == 4


def test_failing_run_is_logged_shown_and_publishes_nothing(caplog, errorPopups):
    config = allocationConfig(method="testmethods.Failing")
    data, tab = makeTab(config)
    before = tab["Recommendation"]
    with caplog.at_level(logging.ERROR):
        tab.recompute()
    errors = [record.getMessage() for record in caplog.records if record.levelno == logging.ERROR]
    assert errors == ["Recommendation"]
    assert tab["Recommendation"] is before
    assert errorPopups == ["The recommendation could not be computed:\n\nthe optimiser found no solution"]
    config.allocation.method = "nomodule.Method"
    caplog.clear()
    tab.compute()
    assert "Recommendation" in [record.getMessage() for record in caplog.records]
    assert len(errorPopups) == 2 and "'nomodule.Method' names no module" in errorPopups[1]


# --- module functions and chart images --------------------------------------------------------

def boxes(artists, renderer):
    return [artist.get_window_extent(renderer) for artist in artists if artist.get_text()]


def test_separate_axes_copies_lines_with_percent_ticks():
    import matplotlib.pyplot as plt
    figure, ax = plt.subplots()
    ax.plot([0, 1, 2], [0.0, 0.1, 0.2], label="Portfolio")
    ax.plot([0, 1, 2], [0.2, 0.1, 0.0], label="Benchmark")
    ax.set_title("Value")
    ax.set_yticks([0, 0.1, 0.2])
    with processLocale("en_US.UTF-8"):
        newFigure, newAx = recommendation.separateAxes(ax)
    assert plt.gcf() is newFigure and newFigure is not figure
    assert [line.get_label() for line in newAx.lines] == ["Portfolio", "Benchmark"]
    np.testing.assert_array_equal(newAx.lines[1].get_ydata(), [0.2, 0.1, 0.0])
    assert [label.get_text() for label in newAx.get_yticklabels()] == ["0.00%", "10.00%", "20.00%"]
    assert [text.get_text() for text in newAx.get_legend().get_texts()] == ["Portfolio", "Benchmark"]
    assert newAx.get_title() == "Value" and newAx.get_ylim() == ax.get_ylim()

    # A drawdown chart over a year of days, its measures as lines across it, drawn in German: dates that
    # don't overlap, the measures at their heights, the legend in German and below the curve, its numbers
    # and the ticks' written as the tables write them; a chart without labelled lines gets no legend.
    days = pd.bdate_range("2017-06-30", periods=200)
    ax.clear()
    ax.plot(days, -np.linspace(0, 0.1, 200))
    ax.axhline(-0.05, label="95.00% Confidence DaR: -5.00%", color="r")
    ax.axhline(-0.03, label="Average Drawdown: -3.00%")
    ax.axhline(-0.04, label="95.00% Confidence RLDaR (0.3): -4.00%")
    ax.set_yticks([-0.1, -0.05, 0])
    with inGerman():
        newFigure, newAx = recommendation.separateAxes(ax)
    assert [line.get_ydata()[0] for line in newAx.lines[1:]] == [-0.05, -0.03, -0.04]
    assert newAx.get_xlim() == ax.get_xlim() and newAx.lines[1].get_color() == "r"
    assert [text.get_text() for text in newAx.get_legend().get_texts()] == [
        "DaR bei 95,00 % Konfidenz: -5,00 %", "Durchschnittlicher Drawdown: -3,00 %",
        "RLDaR (0,3) bei 95,00 % Konfidenz: -4,00 %"]
    assert [label.get_text() for label in newAx.get_yticklabels()] == ["-10,00 %", "-5,00 %", "0,00 %"]
    renderer = newFigure.canvas.get_renderer()
    dates = boxes(newAx.get_xticklabels(), renderer)
    assert len(dates) > 3 and all(a.x1 < b.x0 for a, b in zip(dates, dates[1:]))
    assert newAx.get_legend().get_window_extent(renderer).y1 < min(box.y0 for box in dates)
    ax.clear()
    ax.plot(days, np.linspace(1, 1.2, 200))
    assert recommendation.separateAxes(ax)[1].get_legend() is None


@contextmanager
def inGerman():
    """The language and the number format of a window made in German."""
    gettext.translation("velmora", "locale", languages=["de_DE.UTF-8"]).install()
    try:
        with processLocale("de_DE.UTF-8"):
            yield
    finally:
        gettext.NullTranslations().install()


def layoutOf(figure):
    """How the drawdown chart's parts lie in its image: the plot's share of the width, dates apart, the
    legend and each of its colour swatches inside."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    renderer = FigureCanvasAgg(figure).get_renderer()  # the figure is closed once rendered
    ax = figure.axes[0]
    legend = ax.get_legend()
    dates = boxes(ax.get_xticklabels(), renderer)
    image = figure.bbox
    boxesOfLegend = [part.get_window_extent(renderer) for part in [legend, *legend.legend_handles]]
    return {"plot": ax.get_window_extent(renderer).width / image.width,
            "datesApart": len(dates) > 3 and all(a.x1 < b.x0 for a, b in zip(dates, dates[1:])),
            "legendInside": all(image.x0 <= box.x0 and box.x1 <= image.x1 and image.y0 <= box.y0
                                for box in boxesOfLegend),
            "swatches": len(legend.legend_handles) == len(legend.get_texts()) == 7,
            "legendAsLargeAsLabels": min(text.get_fontsize() for text in legend.get_texts())
            >= ax.xaxis.label.get_fontsize()}


def test_drawdown_chart_at_the_tabs_size_in_english_and_german():
    # The selection tab's correlation chart drawn at the size of its place in the tab, as it is whenever
    # the user correlates the stocks, used to leave that size as every later chart's: the drawdown
    # chart's legend then no longer fitted, and its plot shrank to a strip.
    import selection
    selection.SelectionProvider.genCorrelation(object(), realPrices().iloc[:, 1:].corr(), size=(350, 300))
    data, tab = makeTab(allocationConfig())
    drawn = []

    def render(ax):
        image = RecommendationProvider.axToPng(tab, ax)
        drawn.append(ax.get_figure())
        return image
    tab.axToPng = render

    with processLocale("en_US.UTF-8"):
        tab.recompute()
    english = drawn[-1]  # the drawdown chart is a run's last
    with inGerman():
        tab.compute()
    german = drawn[-1]
    for figure in (english, german):
        layout = layoutOf(figure)
        assert layout.pop("plot") >= 0.6
        assert layout == {"datesApart": True, "legendInside": True, "swatches": True, "legendAsLargeAsLabels": True}
    ticks = [label.get_text() for label in german.axes[0].get_yticklabels()]
    assert ticks[-1] == "0,00 %" and all(tick.endswith(",00 %") for tick in ticks)
    legend = [text.get_text() for text in german.axes[0].get_legend().get_texts()]
    assert legend[2].startswith("DaR bei 95,00 % Konfidenz: -") and legend[2].endswith(" %")


def test_safe_round():
    assert recommendation.safe_round(3.14159) == 3.14
    assert recommendation.safe_round(2.675) == 2.67
    assert recommendation.safe_round("2.5") == 2.5
    assert recommendation.safe_round("Sum") == "Sum" and recommendation.safe_round(None) is None


def test_chart_images_and_number_format(tmp_path):
    import matplotlib.pyplot as plt
    data, tab = makeTab(allocationConfig())
    first = plt.figure(figsize=(8, 6)).subplots()
    first.plot([1, 2])
    second = plt.figure(figsize=(4, 3)).subplots()
    assert pngSize(tab.axToPng(first)) == (1200, 900)
    assert pngSize(tab.axToPng(second)) == (600, 450)
    assert plt.get_fignums() == []
    plt.figure().subplots().plot([1, 3])
    tab.axToPdf(None, tmp_path / "chart.pdf")
    assert (tmp_path / "chart.pdf").read_bytes().startswith(b"%PDF")
    with processLocale("en_US.UTF-8"):
        assert tab.formatValue(1234567.891) == "1,234,567.89"
        assert tab.formatValue(0.005) == "0.01"
    with processLocale("de_DE.UTF-8"):
        assert tab.formatValue(1234567.891) == "1.234.567,89"


# --- the tab in a real window -----------------------------------------------------------------

def test_form_rules_follow_the_method(window):
    config = allocationConfig(method="deopt.MaxSharpe2", objective="MinRisk", linkageMethod="ward", beta=90,
                              gamma=5.0, cutOffDate="2021-06-30")
    user = Dict()
    manager, win = window(config, user)
    tab = manager.providerList[2]
    # Filling the new window applies the method's rules to both configuration trees.
    for tree in (config, user):
        assert (tree.allocation.objective, tree.allocation.linkageMethod, tree.allocation.beta,
                tree.allocation.gamma) == ("Sharpe", "single", 95, 100.0)
    assert win["resultType"].get() == "Backtest from 2021-06-30"
    assert win["Objective"].Values == ["MinRisk", "Utility", "Sharpe", "ERC", "MaxRet"]
    assert win["Method"].get() == "Maximum Sharpe Differential Evolution"

    dispatch(manager, win, "Method", Method="Minimum Semivariance")
    assert config.allocation.method == "minsemi.MinSemi"
    assert (config.allocation.objective, config.allocation.riskMethod) == ("MinRisk", "semicovariance")
    disabled = {key: bool(win[key].Disabled)
                for key in ("Objective", "RiskMethod", "ReturnMethod", "LinkageMethod", "Beta", "Gamma")}
    assert disabled == {"Objective": True, "RiskMethod": True, "ReturnMethod": False, "LinkageMethod": True,
                        "Beta": True, "Gamma": False}
    dispatch(manager, win, "Method", Method="Hierarchical Risk Parity")
    assert (config.allocation.objective, config.allocation.returnMethod, config.allocation.gamma) == (
        "Utility", "mean_historical_return", 100.0)
    assert not win["RiskMethod"].Disabled and win["ReturnMethod"].Disabled
    dispatch(manager, win, "Method", Method="Risk Folio Efficient Frontier")
    assert not any(win[key].Disabled
               for key in ("Objective", "RiskMethod", "ReturnMethod", "LinkageMethod", "Beta", "Gamma"))
    assert config.allocation.returnMethod == "mean_historical_return"
    assert tab.title == "Recommendation"


def test_runs_from_the_tab_events(window, caplog, errorPopups):
    config = allocationConfig(cutOffDate="")
    user = Dict()
    manager, win = window(config, user)
    tab = manager.providerList[2]

    dispatch(manager, win, "UpdateConfig")
    allocation = tab["Recommendation"]
    assert not allocation.empty and win["resultType"].get() == "Current Recommendation"
    assert len(win["RecommendationData"].Values) == len(allocation)
    assert shown(win["ResultsData"])[0][0] == "Expected return"
    assert tab.backtestGraph is None and tab.weightGraph is not None

    # A new cut-off date runs again with a backtest; the caption follows the date.
    dispatch(manager, win, "CutOffDate", CutOffDate="2017-06-30")
    assert config.allocation.cutOffDate == "2017-06-30" and user.allocation.cutOffDate == "2017-06-30"
    assert win["resultType"].get() == "Backtest Portfolio for 2017-06-30"
    assert tab.drawdownGraph is not None and shown(win["ResultsData"])[-1][0] == "Backtest Sharpe"

    # Editing the capital only stores it; Enter in the field runs with the new value.
    generation = Provider.generation
    dispatch(manager, win, "Capital", Capital="50,000")
    assert config.allocation.capital == 50000 and Provider.generation == generation
    focusOn(win, "Capital")
    press("Return")
    manager.window = win
    deadline = 50
    while Provider.generation == generation and deadline:
        event, values = win.read(timeout=100)
        if event not in (None, "__TIMEOUT__"):
            manager.handleEvent(win, event, values)
        deadline -= 1
    assert tab["Recommendation"]["Value"].sum() <= 50000

    # A failing run under another method is logged and shown, and leaves no result of the method before.
    config.allocation.method = "testmethods.Failing"
    with caplog.at_level(logging.ERROR):
        dispatch(manager, win, "UpdateConfig")
    assert "Recommendation" in [record.getMessage() for record in caplog.records]
    assert errorPopups[-1].endswith("the optimiser found no solution")
    assert tab["Recommendation"].empty and win["RecommendationData"].Values == win["ResultsData"].Values == []
    assert [tab.weightGraph, tab.methodObj, tab.futureValue, tab.drawdownGraph] == [None] * 4

    # A cut-off date outside the prices is told with the range of the prices, and leaves no result.
    config.allocation.method = "testmethods.MinVolatility"
    dispatch(manager, win, "CutOffDate", CutOffDate="2019-01-31")
    assert errorPopups[-1] == ("The cut-off date 2019-01-31 lies outside the prices, which run from "
                               "2015-01-02 to 2018-04-11.")
    assert tab["Recommendation"].empty and win["RecommendationData"].Values == [] and tab.weightGraph is None
    dispatch(manager, win, "clearCutOffDate")
    assert config.allocation.cutOffDate == "" and not tab["Recommendation"].empty
    assert win["resultType"].get() == "Current Recommendation" and tab.futureValue is None

    # Prices the data provider could not fetch, or of fewer than two selected stocks (also prices kept
    # from a larger selection), leave no result and no second message: the data provider told the user.
    popups = len(errorPopups)
    for prices, stocks in [(realPrices().iloc[:, :0], stockTable()), (realPrices(), stockTable({"AAPL": "Apple"}))]:
        manager.providerList[1].publish(prices, stocks)
        dispatch(manager, win, "UpdateConfig")
        assert tab["Recommendation"].empty and tab["Results"].empty and tab.weightGraph is None
        assert win["RecommendationData"].Values == [] and len(errorPopups) == popups


def test_cancel_leaves_the_last_complete_result_on_both_paths(window, errorPopups, monkeypatch, tmp_path):
    import json

    import progress
    import riskfolio

    config = allocationConfig()
    config.progress.progressPeriod = 0.05
    manager, win = window(config, Dict())
    tab = manager.providerList[2]

    def reconfigure(config):  # as the provider manager does
        Provider.generation += 1
        for each in manager.providerList:
            each.recompute()

    dispatch(manager, win, "UpdateConfig")
    names = ("weightGraph", "analysisGraph", "backtestGraph", "drawdownGraph", "cleanedWeights", "methodObj",
             "futureValue")
    kept = {name: getattr(tab, name) for name in names}
    previous, results = tab["Recommendation"], tab["Results"]
    rows, caption = win["RecommendationData"].Values, win["resultType"].get()
    assert caption == "Backtest Portfolio for 2017-06-30"
    assert all(value is not None for value in kept.values())

    def unchanged():
        assert tab["Recommendation"] is previous and tab["Results"] is results
        assert all(getattr(tab, name) is value for name, value in kept.items())
        assert win["RecommendationData"].Values == rows and win["resultType"].get() == caption

    # Cancelled during the backtest, long after the meter's last timed redraw: the click is not lost.
    drawdown = riskfolio.plot_drawdown

    def cancelling(*args, **kwargs):
        progress.QuickMeter.active_meters["OK for 1 meter"].window["Cancel"].click()
        return drawdown(*args, **kwargs)

    monkeypatch.setattr(riskfolio, "plot_drawdown", cancelling)
    config.progress.progressPeriod = 1000
    dispatch(manager, win, "UpdateConfig")
    unchanged()
    monkeypatch.setattr(riskfolio, "plot_drawdown", drawdown)
    config.progress.progressPeriod = 0.05

    # A run of many solves stops before the next solve once Cancel is pressed; under another method and a
    # cleared cut-off date the tab then shows and exports no result of the settings before.
    config.allocation.method = "testmethods.ManySolves"
    Fixed.shares, ManySolves.solved = {"Apple Inc": 1}, []
    dispatch(manager, win, "clearCutOffDate")
    assert config.allocation.cutOffDate == "" and ManySolves.solved == [0, 1, 2]

    def empty():
        assert tab["Recommendation"].empty and tab["Results"].empty
        assert all(getattr(tab, name) is None for name in names)
        assert win["RecommendationData"].Values == win["ResultsData"].Values == []
        assert win["resultType"].get() == "Current Recommendation"

    empty()
    monkeypatch.setattr(provider, "GetFileName", lambda *args, **kwargs: str(tmp_path / "cancelled.xlsx"))
    dispatch(manager, win, "SaveExcel")
    assert readWorkbook(tmp_path / "cancelled.xlsx")["Recommendation"]["rows"] == [
        ["Symbol", "Security Name", "Weight", "Price", "Count", "Value"]]
    # A reconfiguration, as a keystroke in the settings tab makes one, starts no hidden run.
    config.allocation.method = "testmethods.Cancelling"
    runs = len(Fixed.owners)
    reconfigure(config)
    assert len(Fixed.owners) == runs
    # Selecting the tab runs again; cancelled there too it leaves the tab as it was, and the next selection
    # runs.
    dispatch(manager, win, "mainTab", mainTab="recommendation")
    empty()
    config.allocation.method = "testmethods.Fixed"
    dispatch(manager, win, "mainTab", mainTab="recommendation")
    assert list(tab["Recommendation"]["Security Name"]) == ["Apple Inc"]
    assert win["resultType"].get() == "Current Recommendation" and tab.futureValue is None
    assert errorPopups == []

    # After a cancel, a complete run from an event counts as computed too, and one Load Config is one run.
    config.allocation.method = "testmethods.Cancelling"
    dispatch(manager, win, "UpdateConfig")
    config.allocation.method = "testmethods.Fixed"
    dispatch(manager, win, "UpdateConfig")
    runs = len(Fixed.owners)
    reconfigure(config)
    assert len(Fixed.owners) == runs
    monkeypatch.chdir(tmp_path)
    (tmp_path / "default.json").write_text(json.dumps(config))
    (tmp_path / "mine.json").write_text(json.dumps({"allocation": {"capital": 60000}}))
    monkeypatch.setattr(provider, "GetFileName", lambda *args, **kwargs: str(tmp_path / "mine.json"))
    manager.reconfigure = reconfigure
    loaded = dispatch(manager, win, "LoadConfig")
    try:
        assert len(Fixed.owners) == runs + 1 and config.allocation.capital == 60000
        # Prices that the loaded settings could not fetch leave no result of the settings before.
        manager.reconfigure = lambda config: manager.providerList[1].publish(tab["prices"].iloc[:, :0],
                                                                             tab["stocks"])
        dispatch(manager, loaded, "LoadConfig").close()
        assert tab["Recommendation"].empty and tab.weightGraph is None and errorPopups == []
    finally:
        loaded.close()


def test_the_caption_names_the_cut_off_date_as_its_field_shows_it(window):
    # A file's date of the short form, before any run and for a result computed before the window was made.
    config = allocationConfig(method="testmethods.Fixed", cutOffDate="2016-6-3")
    Fixed.shares = {"Apple Inc": 1}
    manager, win = window(config, Dict())
    assert win["CutOffDate"].get() == "2016-06-03" and win["resultType"].get() == "Backtest from 2016-06-03"
    manager = makeManager(allocationConfig(method="testmethods.Fixed", cutOffDate="2016-6-3"), Dict())
    manager.providerList[2].recompute()
    win = manager.createWindow()
    try:
        assert win["resultType"].get() == "Backtest Portfolio for 2016-06-03"
    finally:
        win.close()


def test_the_date_typed_is_the_date_used_in_the_real_window(window, errorPopups, monkeypatch):
    import subprocess
    import time

    config = allocationConfig(method="testmethods.Slow", cutOffDate="2016-6-3")
    config.progress.progressPeriod = 0.5
    Fixed.shares = {"Apple Inc": 1}
    user = Dict({"allocation": {"cutOffDate": "2016-6-3"}})
    manager, win = window(config, user)
    tab = manager.providerList[2]
    # A stored date of the short form names the same day, shown and kept in the full form.
    assert win["CutOffDate"].get() == config.allocation.cutOffDate == user.allocation.cutOffDate == "2016-06-03"
    runs = []
    compute = tab.compute
    monkeypatch.setattr(tab, "compute", lambda: runs.append(config.allocation.cutOffDate) or compute())
    dispatch(manager, win, "clearCutOffDate")
    assert runs == [""]

    # A Backspace in the empty field leaves the setting as it was and starts no run. "2016-06-3" is an edit in
    # progress; the "0" completes the date and starts the run, and the keys typed on without a pause, as the
    # progress meter opens and while the run goes on, are neither lost nor left unrun: the field and the
    # setting agree once the runs are done.
    focusOn(win, "CutOffDate")
    typing = subprocess.Popen(["bash", "-c", "xdotool key BackSpace; xdotool type --delay 60 2016-06-3; sleep 0.5; "
                                             "xdotool type 0; xdotool key --delay 30" + " BackSpace" * 10 + "; "
                                             "xdotool type --delay 30 2016-06-28"])
    deadline = time.time() + 30
    while time.time() < deadline and (typing.poll() is None or len(runs) < 3):
        event, values = win.read(timeout=100)
        if event != "__TIMEOUT__":
            win = manager.handleEvent(win, event, values)
    assert runs == ["", "2016-06-30", "2016-06-28"]
    assert win["CutOffDate"].get() == config.allocation.cutOffDate == user.allocation.cutOffDate == "2016-06-28"
    assert win["resultType"].get() == "Backtest Portfolio for 2016-06-28" and errorPopups == []
    assert tab.futureValue["Date"].iloc[0] == pd.Timestamp("2016-06-28")

    # A key that reaches the meter as the run ends, before its focus went back, reaches the field as well.
    import progress
    with tab.start(10):
        meter = progress.QuickMeter.active_meters["OK for 1 meter"].window.TKroot
        meter.focus_force()
        meter.winfo_pointerx()  # the focus request reaches the display before the key
        press("BackSpace")
    pump(win)
    assert win["CutOffDate"].get() == "2016-06-2"


def elementSizes(win):
    for _ in range(3):
        pump(win)
        win.TKroot.update()
    keys = ("analysisChart", "ResultsData", "RecommendationData", "LinkageMethod", "resultType")
    return {key: (win[key].Widget.winfo_width(), win[key].Widget.winfo_height()) for key in keys}


def test_selecting_the_tab_runs_and_a_new_window_looks_the_same(window, tmp_path, monkeypatch):
    import json

    config = allocationConfig()
    config.gui.size = [1200, 800]  # the shipped default
    manager, win = window(config, Dict())
    tab = manager.providerList[2]
    assert win["RecommendationData"].Values == []
    dispatch(manager, win, "mainTab", mainTab="recommendation")
    allocation = tab["Recommendation"]
    assert not allocation.empty and len(win["RecommendationData"].Values) == len(allocation)
    assert win["resultType"].get() == "Backtest Portfolio for 2017-06-30"
    sizes, rows = elementSizes(win), win["RecommendationData"].Values

    # Loading the same settings makes the window anew, as a change of language does; it shows the
    # last results laid out as the window the program started with.
    monkeypatch.chdir(tmp_path)
    (tmp_path / "locale").symlink_to(Path(__file__).resolve().parents[1] / "locale")
    (tmp_path / "default.json").write_text(json.dumps(config))
    (tmp_path / "same.json").write_text(json.dumps({"allocation": config.allocation}))
    monkeypatch.setattr(provider, "GetFileName", lambda *args, **kwargs: str(tmp_path / "same.json"))
    savedLocale = locale.setlocale(locale.LC_ALL)
    again = dispatch(manager, win, "LoadConfig", mainTab="recommendation")
    try:
        assert again is not win and again["RecommendationData"].Values == rows
        assert elementSizes(again) == sizes and cutTexts(again) == []
        right = again["ResultsData"].Widget.winfo_rootx() + sizes["ResultsData"][0]
        assert right <= again.TKroot.winfo_rootx() + again.size[0]
        # A load that switches to German runs in the old language; the new window shows that result in
        # German, every label and result name whole.
        englishCharts = [getattr(tab, name) for name in ("analysisGraph", "weightGraph", "drawdownGraph")]
        (tmp_path / "same.json").write_text(json.dumps({"allocation": config.allocation,
                                                        "gui": {"language": "de_DE.UTF-8"}}))
        german = dispatch(manager, again, "LoadConfig", mainTab="recommendation")
        again = german
        names = [row[0] for row in german["ResultsData"].Values]
        assert "Backtest Volatilität" in names and "Volatilität" in names and "Volatility" not in names
        assert cutTexts(german) == []
        # The longest names, those of the Riskfolio methods' figures, read whole as well.
        import builtins

        from riskfolio_support import performanceCells, yearOfPrices
        returns = yearOfPrices(["AAPL", "JPM", "XOM"]).pct_change().dropna()
        weights = pd.DataFrame({"weights": [0.4, 0.3, 0.3]}, index=returns.columns)
        figures = [builtins._(name) for name in performanceCells(returns, weights)[:, 0] if name]
        shownResults = german["ResultsData"].Values
        german["ResultsData"].update(df=pd.DataFrame({"Name": figures, "Value": 0.0}))
        assert "Erstes unteres partielles Moment (FLPM) (2)" in figures and cutTexts(german) == []
        german["ResultsData"].update(values=shownResults)
        germanCharts = [getattr(tab, name) for name in ("analysisGraph", "weightGraph", "drawdownGraph")]
        assert all(chart is not None for chart in germanCharts)
        assert all(a != b for a, b in zip(germanCharts[1:], englishCharts[1:]))  # the heat map has no texts

        # The report and the workbook speak the window's language.
        answers = [str(tmp_path / "bericht.pdf"), str(tmp_path / "bericht.xlsx")]
        monkeypatch.setattr(provider, "GetFileName", lambda *args, **kwargs: answers.pop(0))
        config.print.paperSize = [827, 1169]
        dispatch(manager, german, "SaveGraph")
        dispatch(manager, german, "SaveExcel")
        import subprocess
        report = subprocess.run(["pdftotext", str(tmp_path / "bericht.pdf"), "-"], capture_output=True,
                                text=True, check=True).stdout
        for text in ("Anzahl", "Gewicht", "Volatilität", "Historischer Drawdown ohne Zinseszins",
                     "Konfidenz"):
            assert text in report
        assert "Shares" not in report and "Weight" not in report
        assert readWorkbook(tmp_path / "bericht.xlsx")["Kurse"]["rows"][0][0] == "Datum"

        # Made anew in English, as a switch in the settings tab makes it: the same result, not computed
        # again, drawn again in English.
        allocation = tab["Recommendation"]
        german.close()
        config.gui.language = "en_US.UTF-8"
        again = manager.createWindow()
        assert tab["Recommendation"] is allocation
        assert "Backtest Volatility" in [row[0] for row in again["ResultsData"].Values]
        charts = [getattr(tab, name) for name in ("analysisGraph", "weightGraph", "drawdownGraph")]
        assert charts == englishCharts
    finally:
        again.close()
        gettext.NullTranslations().install()
        locale.setlocale(locale.LC_ALL, savedLocale)


def cutTexts(win):
    """The form labels and result names that their element shows cut, at the window's size."""
    import tkinter.font as tkfont
    from tkinter import ttk

    pump(win)
    cut = []
    for key in ("Capital", "Method", "Objective", "RiskMethod", "ReturnMethod", "LinkageMethod", "MinWeight",
                "MaxWeight", "Benchmark", "Beta", "Gamma", "CutOffDate"):
        label = win[key].Widget.master.winfo_children()[0]
        if tkfont.Font(font=label.cget("font")).measure(label.cget("text")) > label.winfo_width():
            cut.append(label.cget("text"))
    table = win["ResultsData"].Widget
    font = tkfont.Font(font=ttk.Style().lookup(table.cget("style") or "Treeview", "font") or "TkDefaultFont")
    nameWidth = table.column(table["columns"][0], "width")
    cut += [row[0] for row in win["ResultsData"].Values if font.measure(str(row[0])) > nameWidth]
    return cut


# --- the program's own methods ----------------------------------------------------------------

OFFERED = ["minvol.MinVolatility", "maxsharpe.MaxSharpe", "minsemi.MinSemi", "hrp.HRP",
           "deopt.MinVolatility2", "deopt.MaxSharpe2", "riskef.RiskFolioEF", "riskhrp.RiskFolioHRP"]


def drawnFigures(tab):
    """The figures the tab renders, kept for a look at their texts."""
    drawn = []

    def render(ax):
        drawn.append(ax.get_figure(root=True))
        return RecommendationProvider.axToPng(tab, ax)
    tab.axToPng = render
    return drawn


def tickTexts(figure):
    return [label.get_text() for ax in figure.axes for label in ax.get_xticklabels() + ax.get_yticklabels()]


def legendBesidePlot(figure):
    """The legend right of its plot, inside the image, its text at least as large as the axis labels."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    renderer = FigureCanvasAgg(figure).get_renderer()
    ax = next(ax for ax in figure.axes if ax.get_legend())
    legend, plot = ax.get_legend().get_window_extent(renderer), ax.get_window_extent(renderer)
    sizes = {text.get_fontsize() for text in ax.get_legend().get_texts()}
    return (legend.x0 >= plot.x1 - 1 and legend.x1 <= figure.bbox.x1 and min(sizes) >= ax.xaxis.label.get_fontsize())


@pytest.mark.parametrize("method", OFFERED)
def test_every_offered_method_on_real_prices(method, tmp_path, monkeypatch):
    pytest.importorskip(method.split(".")[0])
    config = allocationConfig(method=method, riskMethod="ledoit_wolf", maxWeight=60.0, capital=50000,
                              objective="Sharpe" if method.startswith("risk") else "MinRisk")
    config.data = {"startDate": "2015-01-01"}
    config.print.paperSize = [827, 1169]
    data, tab = makeTab(config)
    drawn = drawnFigures(tab)
    # In German: every number the charts show, the chart library's own ticks among them, with a decimal comma.
    with inGerman():
        tab.recompute()
        monkeypatch.setattr(provider, "GetFileName", lambda *args, **kwargs: str(tmp_path / "report.pdf"))
        tab.saveGraph()
    allocation, results = tab["Recommendation"], tab["Results"]
    assert list(allocation.columns) == ["Symbol", "Security Name", "Weight", "Price", "Shares", "Value"]
    assert not allocation.empty
    assert set(allocation["Symbol"]) <= {symbol + ".US" for symbol in support.SYMBOLS}
    np.testing.assert_allclose(allocation["Value"], allocation["Shares"] * allocation["Price"])
    assert allocation["Weight"].sum() <= 100 + 1e-9
    assert list(results["Name"])[-4:] == ["", "Backtest Rendite", "Backtest Volatilität", "Backtest Sharpe"]
    assert tab.weightGraph and tab.backtestGraph and tab.drawdownGraph
    assert tab.analysisGraph is not None or tab.analysisGraph2 is not None or method in (
        "maxsharpe.MaxSharpe", "minsemi.MinSemi")
    import re
    import subprocess
    ticks = [text for figure in drawn for text in tickTexts(figure)]
    report = subprocess.run(["pdftotext", str(tmp_path / "report.pdf"), "-"], capture_output=True, text=True,
                            check=True).stdout
    for text in ticks + report.split("\n"):
        assert not re.search(r"\d\.\d+ ?%", text), text
    assert legendBesidePlot(drawn[-3])  # the donut, drawn before the backtest's two charts
    if method.startswith("risk"):
        assert [tick for tick in ticks if re.fullmatch(r"\d+,\d\d %", tick)]
        assert re.search(r"\d+,\d\d %", report)
    if method == "riskef.RiskFolioEF":
        area = drawn[0]
        assert "100,00 %" in tickTexts(area) and "100,00 %" in report and legendBesidePlot(area)


# --- the whole flow in the program's window ---------------------------------------------------

from selection_support import defaults, loadMarket, popups, startProgram, stub, workspace  # noqa: E402,F401

FLOW_PROVIDERS = ["fields.FieldProvider", "current.CurrentProvider", "selection.SelectionProvider",
                  "dataprov.DataProvider", "config.ConfigProvider", "recommendation.RecommendationProvider"]


def cancelOnceShown(monkeypatch):
    """Presses Cancel in the next progress meter a moment after it is drawn, as a user would."""
    import progress

    real, planned = progress.OneLineProgressMeter, []

    def draw(*args, **kwargs):
        answer = real(*args, **kwargs)
        meter = progress.QuickMeter.active_meters.get("OK for 1 meter")
        if meter is not None and not planned:
            planned.append(meter)
            meter.window.TKroot.after(200, meter.window["Cancel"].click)
        return answer

    monkeypatch.setattr(progress, "OneLineProgressMeter", draw)


def test_search_add_and_recommend_in_the_program_window(stub, workspace, popups, monkeypatch, caplog):
    loadMarket(stub)
    config = defaults()
    config.allocation.update({"method": "minvol.MinVolatility", "cutOffDate": "2017-12-01", "capital": 20000})
    manager, win = startProgram(config, providers=FLOW_PROVIDERS)
    try:
        tab = manager.providerList[-1]
        win = dispatch(manager, win, "searchButton", search="apple")
        win = dispatch(manager, win, "addStock", searchResults=[0, 1])
        symbols = set(manager.providerList[2]["stocks"]["Symbol"])
        assert len(symbols) == 2

        # A Cancel during the download ends it while the service has answered nothing, and the event
        # loop it stopped is no failure of the event.
        stub.held = {"/v8/finance/chart/" + symbol for symbol in symbols}
        answered = len(stub.answered)
        cancelOnceShown(monkeypatch)
        with caplog.at_level(logging.INFO):
            win = dispatch(manager, win, "mainTab", mainTab="recommendation")
        assert not set(stub.answered[answered:]) & stub.held and tab["Recommendation"].empty
        assert "Recommendation cancelled" in caplog.messages and "Test" not in caplog.messages
        stub.release()

        win = dispatch(manager, win, "mainTab", mainTab="recommendation")
        first = tab["Recommendation"]
        assert set(first["Symbol"]) <= symbols
        assert len(win["RecommendationData"].Values) == len(first) > 0
        assert win["resultType"].get() == "Backtest Portfolio for 2017-12-01"
        assert tab.weightGraph and tab.backtestGraph and tab.drawdownGraph and tab.analysisGraph
        assert shown(win["ResultsData"])[-1][0] == "Backtest Sharpe"

        win = dispatch(manager, win, "Method", Method="Hierarchical Risk Parity")
        assert config.allocation.method == "hrp.HRP" and config.allocation.objective == "Utility"
        second = tab["Recommendation"]
        assert second is not first and not second.empty
        assert len(win["RecommendationData"].Values) == len(second)
        assert not [kind for kind in popups.kinds() if kind == "PopupError"]
    finally:
        win.close()
