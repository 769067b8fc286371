"""The Riskfolio adapter: chart texts recorded and drawn translated, the captured performance table and the
adapter's part of the allocation pipeline."""
import builtins

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pytest  # noqa: E402

import risk  # noqa: E402


@pytest.fixture
def german(monkeypatch):
    """A translation function that marks every text it translates."""
    monkeypatch.setattr(builtins, "_", lambda text: "de:" + text, raising=False)


def test_the_library_is_loaded_only_when_a_method_needs_it(tmp_path):
    import subprocess
    import sys

    probe = tmp_path / "test_probe.py"
    probe.write_text("import sys\nimport risk, riskef, riskhrp\n\n\n"
                     "def test_probe():\n    assert 'riskfolio' not in sys.modules\n")
    run = subprocess.run([sys.executable, "-p", "no:cacheprovider", "-q", str(probe)], cwd=tmp_path,
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr


def setters():
    return plt.Axes.set_xlabel, plt.Axes.set_ylabel, plt.Axes.set_title


def test_texts_drawn_in_the_scope_are_recorded_and_shown_translated(german):
    before = setters()
    fig, ax = plt.subplots()
    with risk.translateAxes() as entered:
        assert entered is None
        ax.set_xlabel("Expected Risk", labelpad=12)
        ax.set_ylabel(label="Expected Return")
        ax.set_title("Frontier", loc="left", fontsize=7)
        ax.set_title("Frontier")
        later = fig.add_subplot(2, 1, 2)
        later.set_xlabel("Made inside")
    assert setters() == before
    assert ax.get_xlabel() == "de:Expected Risk" and ax.xaxis.labelpad == 12
    assert ax.get_ylabel() == "de:Expected Return"
    assert ax.get_title(loc="left") == "de:Frontier" and ax.get_title() == "de:Frontier"
    assert ax.title.get_fontsize() != 7 and ax._left_title.get_fontsize() == 7
    assert later.get_xlabel() == "de:Made inside"
    assert {"Expected Risk", "Expected Return", "Frontier", "Made inside"} <= risk.translations
    assert not any(text.startswith("de:") for text in risk.translations)
    ax.set_xlabel("Outside")
    assert ax.get_xlabel() == "Outside" and "Outside" not in risk.translations
    plt.close(fig)


def test_the_setters_come_back_when_the_body_fails(german):
    before = setters()
    fig, ax = plt.subplots()
    failure = RuntimeError("chart failed")
    with pytest.raises(RuntimeError) as raised:
        with risk.translateAxes():
            ax.set_title("Before failing")
            raise failure
    assert raised.value is failure
    assert setters() == before
    with pytest.raises(TypeError):
        with risk.translateAxes():
            ax.set_xlabel(xlabel="the library's own name")
    with pytest.raises(TypeError):
        with risk.translateAxes():
            ax.set_ylabel(["not", "hashable"])
    assert ax.get_ylabel() == ""
    assert setters() == before
    plt.close(fig)


def test_a_refused_replacement_puts_back_those_already_made(monkeypatch):
    original = plt.Axes

    class Refusing(type):
        def __setattr__(cls, name, value):
            if name == "set_title" and value is not original.set_title:
                raise AttributeError("set_title is read-only here")
            setattr(original, name, value)

    monkeypatch.setattr(plt, "Axes", Refusing("Axes", (), {"set_xlabel": original.set_xlabel,
                                                         "set_ylabel": original.set_ylabel,
                                                         "set_title": original.set_title}))
    before = (original.set_xlabel, original.set_ylabel, original.set_title)
    with pytest.raises(AttributeError):
        with risk.translateAxes():
            pytest.fail("the body must not run")
    assert (original.set_xlabel, original.set_ylabel, original.set_title) == before


def test_the_dummy_axes_throws_the_cell_texts_back():
    ax = risk.DummyAx()
    assert ax.get_figure() is None and ax.set_axis_off() is None and ax.axis("tight") is None
    ax.axis("off")
    with pytest.raises(TypeError):
        ax.axis(option="off")
    cells = np.array([["Mean Return (1)", "12.3456%"], ["Skewness", "-0.25117"]], dtype=object)
    with pytest.raises(risk.DataCapturedException) as raised:
        ax.table(cellText=cells, colLabels=["", "Values"], loc="upper left")
    assert isinstance(raised.value, Exception)
    assert raised.value.data is cells and raised.value.message == "Data Captured"
    assert str(raised.value) == "Data Captured"
    assert list(raised.value.data[:, 0]) == ["Mean Return (1)", "Skewness"]
    with pytest.raises(risk.DataCapturedException) as raised:
        ax.table()
    assert raised.value.data is None
    assert risk.DataCapturedException("x").data is None
    assert risk.DataCapturedException(message=3, data="d").args == (3,)


def test_texts_are_drawn_in_the_installed_language(monkeypatch):
    import gettext
    from pathlib import Path

    catalogue = gettext.translation("velmora", Path(__file__).resolve().parent.parent / "locale", ["de"])
    monkeypatch.setattr(builtins, "_", catalogue.gettext, raising=False)
    fig, ax = plt.subplots()
    with risk.translateAxes():
        ax.set_title("Dendrogram")
        ax.set_xlabel("")
        ax.set_ylabel("Expected Arithmetic Return")
    assert (ax.get_title(), ax.get_xlabel()) == ("Dendrogramm", "")
    assert ax.get_ylabel() == "Erwartete arithmetische Rendite"
    plt.close(fig)


# ---- The adapter, with a portfolio of given weights and a stand-in for the library's table chart ----------

CELLS = [["Profitability and Other Inputs", ""], ["Mean Return (1)", "12.3456%"],
         ["Worst Realization (2)", "-1.5%"], ["Lone", "%"], ["Skewness", "-0.25117"], ["Count", 3],
         ["Broken", "n/a%"], ["Kurtosis", "12.5"]]


class GivenWeights(risk.RiskFolio):
    twoPhase = True
    weightsTable = None

    def createPortfolioObject(self, returns=None):
        self.handed = returns
        self.port = "portfolio"
        self.w = self.weightsTable


@pytest.fixture
def tableChart(monkeypatch):
    """Replaces the library's table chart; records what it is given and hands `cells` to the axes."""
    import riskfolio

    chart = {"calls": [], "cells": np.array(CELLS, dtype=object), "draw": True}

    def plot_table(returns, w, ax=None):
        chart["calls"].append((returns.copy(), w.copy()))
        ax.get_figure()
        ax.set_axis_off()
        ax.axis("tight")
        ax.axis("off")
        if chart["draw"]:
            ax.table(cellText=chart["cells"], colLabels=["", "Values"], loc="upper left")

    monkeypatch.setattr(riskfolio, "plot_table", plot_table)
    return chart


def weightsTable(weights):
    import pandas as pd

    return pd.DataFrame({"weights": list(weights.values())}, index=list(weights))


def test_the_adapter_feeds_the_pipeline_with_the_captured_figures(tableChart):
    from methods_support import makeOwner, stockPrices

    owner = makeOwner(stockPrices(["AAPL", "GE", "JPM", "XOM"], years=1), riskMethod="exp_cov",
                      returnMethod="capm_return", benchmark=2, maxWeight=50, minWeight=5)
    prices = owner.prices
    method = GivenWeights()
    method.weightsTable = weightsTable({"AAPL": 0.5, "GE": 0.0, "JPM": 0.05, "XOM": 0.0499})
    table, performance = method.computeRecommendation(owner)
    assert method.handed.equals(owner.prices.pct_change().dropna())
    assert (method.rm, method.riskMethod, method.method, method.rf) == ("MV", "ewma1", "JS", 2 / 100 / 252)
    # Every stock stays, so that the pruning keeps the largest three (1 / 0.5 + 1) whatever their weight,
    # ranked before the cutoff: XOM's 4.99 % over GE's 0.
    cleaned = {"AAPL": 0.5, "GE": 0.0, "JPM": 0.05, "XOM": 0.0}
    assert method.weights == cleaned and method.clean_weights(cutoff=0.05, rounding=True) == cleaned
    assert method.clean_weights() == {"AAPL": 0.5, "GE": 0.0, "JPM": 0.05, "XOM": 0.0499}
    assert list(owner.prices.columns) == ["AAPL", "JPM", "XOM"]
    assert list(prices.columns) == ["AAPL", "GE", "JPM", "XOM"]
    assert method.results == [name for name, value in CELLS] and set(method.results) <= risk.translations
    assert method.values == pytest.approx(["", 0.123456, -0.015, "", -0.0025117, "", "", 0.125])
    assert method.portfolio_performance(risk_free_rate=0.5, frequency=12) is method.values
    assert len(tableChart["calls"]) == 1  # for the second solve only, whose figures are shown
    assert list(performance["Name"]) == method.results + ["Sum"]
    # Percent figures in percent, skewness and kurtosis as the library gives them.
    assert list(performance["Value"])[:-1] == pytest.approx(["", 12.3456, -1.5, "", -0.25117, "", "", 12.5])
    assert performance["Value"].iloc[-1] == table["Value"].sum()
    for returns, w in tableChart["calls"]:
        assert "@@@" not in returns and "@@@" not in w.index


def test_a_lone_stock_is_shown_beside_a_placeholder_in_copies(tableChart):
    from methods_support import makeOwner, stockPrices

    owner = makeOwner(stockPrices(["AAPL"], years=1), maxWeight=100)
    method = GivenWeights()
    method.twoPhase = False
    method.weightsTable = weightsTable({"AAPL": 1.0})
    method.computeRecommendation2(owner).portfolio_performance()
    returns, w = tableChart["calls"][-1]
    assert list(returns.columns) == ["AAPL", "@@@"] and (returns["@@@"] == 0).all()
    assert list(w.index) == ["AAPL", "@@@"] and list(w["weights"]) == [1.0, 0]
    assert list(method.handed.columns) == ["AAPL"] and list(method.w.index) == ["AAPL"]
    assert method.weights == {"AAPL": 1.0} and method.clean_weights(cutoff=0.0) == {"AAPL": 1.0}


def test_adapter_failures_reach_the_caller(tableChart):
    from methods_support import makeOwner, stockPrices

    owner = makeOwner(stockPrices(["AAPL", "GE"], years=1))
    assert risk.RiskFolio.twoPhase is False and risk.RiskFolio.results == []
    with pytest.raises(AttributeError):
        risk.RiskFolio().computeRecommendation2(owner)
    method = GivenWeights()
    method.weightsTable = weightsTable({"AAPL": 0.6, "GE": 0.4})
    tableChart["draw"] = False
    with pytest.raises(TypeError):
        method.computeRecommendation2(owner=owner).portfolio_performance()
    tableChart["draw"] = True
    with pytest.raises(KeyError):
        method.computeRecommendation2(makeOwner(owner.prices, riskMethod="unknown"))
    with pytest.raises(ZeroDivisionError):
        method.computeRecommendation2(makeOwner(owner.prices, tradingDaysPerYear=0))
    assert method.computeRecommendation2(makeOwner(owner.prices, benchmark=0)).rf == 0.0
