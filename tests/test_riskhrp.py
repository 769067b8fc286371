"""The Riskfolio hierarchical-clustering method on real prices against the same library calls in plain Python,
its risk-contribution chart and the dendrogram of the clustering that made the allocation."""
import builtins

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
import scipy.cluster.hierarchy
from matplotlib.backends.backend_pdf import PdfPages

import risk
from methods_support import makeOwner, stockPrices
from riskef import RiskFolioEF
from riskfolio_support import (TEN, axToPng, buildEF, buildHRP, chartTexts, checkAgainstPlain, pngSize,
                               yearOfPrices)
from riskhrp import RiskFolioHRP

# Every risk model and return model, every objective (hierarchical risk parity for "MinRisk" and "MaxRet",
# nested clustered optimisation otherwise); the form's linkage, varied too, leaves the library's own in place.
CASES = [
    ("sample_cov", "mean_historical_return", "MinRisk", "single"),
    ("semicovariance", "ema_historical_return", "Utility", "ward"),
    ("exp_cov", "capm_return", "MaxRet", "complete"),
    ("ledoit_wolf", "mean_historical_return", "ERC", "average"),
    ("ledoit_wolf_constant_variance", "ema_historical_return", "Sharpe", "weighted"),
    ("ledoit_wolf_single_factor", "capm_return", "MinRisk", "centroid"),
    ("ledoit_wolf_constant_correlation", "mean_historical_return", "Utility", "median"),
    ("oracle_approximating", "ema_historical_return", "ERC", "ward"),
    ("semicovariance", "capm_return", "Sharpe", "single"),
    ("semicovariance", "capm_return", "MaxRet", "average"),
    ("sample_cov", "capm_return", "Utility", "ward"),
]


@pytest.mark.parametrize("index, riskMethod, returnMethod, objective, linkage",
                         [(index, *case) for index, case in enumerate(CASES)])
def test_equal_to_plain_library_calls(index, riskMethod, returnMethod, objective, linkage):
    method, owner, table, performance, plain = checkAgainstPlain(
        RiskFolioHRP, buildHRP, riskMethod=riskMethod, returnMethod=returnMethod, objective=objective,
        linkageMethod=linkage, fractional="YES" if index == 3 else "NO")
    assert list(method.port.returns.columns) == list(owner.prices.columns)
    assert performance["Name"].iloc[-1] == "Sum" and set(method.results) <= risk.translations


@pytest.mark.parametrize("cls, build", [(RiskFolioHRP, buildHRP), (RiskFolioEF, buildEF)])
def test_the_pruning_leaves_the_second_pass_weights_within_the_maximum(cls, build):
    # Nested clustered optimisation gives only three stocks 5 % or more; three stocks of at most 30 % cannot
    # take the whole capital, so the pruning keeps the four largest weights whatever they are.
    method, owner, table, performance, plain = checkAgainstPlain(
        cls, build, prices=stockPrices(TEN, years=2, end="2016-12-31"), objective="Sharpe",
        riskMethod="semicovariance", minWeight=5, maxWeight=30, capital=100000)
    assert len(owner.prices.columns) >= 4 and (method.passes[1]["weights"] <= 0.3 + 1e-6).all()
    # The fourth is ranked by the weights before the cutoff: not AAPL, the first of the weights cut to 0.
    assert "AAPL" not in owner.prices.columns


def test_a_small_capital_buys_no_share_above_the_maximum():
    # Weights near 25 % on 2,000: a share more would take a stock above it, and stays as cash instead.
    method, owner, table, performance, plain = checkAgainstPlain(
        RiskFolioHRP, buildHRP, prices=stockPrices(TEN, years=3, end="2016-12-31"), objective="MinRisk",
        minWeight=10, maxWeight=25, capital=2000)
    assert (table["Value"] <= 500).all() and table["Value"].sum() < 2000


def test_nested_clustering_of_two_stocks_and_a_lone_stock():
    # Only two stocks reach 27 %: the second solve clusters two stocks.
    method, owner, table, performance, plain = checkAgainstPlain(RiskFolioHRP, buildHRP, objective="Sharpe",
                                                                 maxWeight=100, minWeight=27)
    assert len(owner.prices.columns) == 2 and method.port.k == 1
    for objective in ("Sharpe", "MinRisk"):
        with pytest.raises(ValueError, match="at least 2 stocks"):
            RiskFolioHRP().computeRecommendation(makeOwner(yearOfPrices(["XOM"]), objective=objective,
                                                           maxWeight=100))


def test_model_follows_the_objective_exactly(monkeypatch):
    import riskfolio

    calls = []

    class Recorder:
        def __init__(self, returns, w_max):
            self.returns = returns

        def optimization(self, **named):
            calls.append((named["model"], named["obj"]))
            raise StopIteration

    monkeypatch.setattr(riskfolio, "HCPortfolio", Recorder)
    for objective in ("MinRisk", "MaxRet", "Sharpe", "Utility", "ERC", "minrisk"):
        with pytest.raises(StopIteration):
            RiskFolioHRP().computeRecommendation(makeOwner(yearOfPrices(), objective=objective))
    assert calls == [("HRP", "MinRisk"), ("HRP", "MaxRet"), ("NCO", "Sharpe"), ("NCO", "Utility"),
                     ("NCO", "ERC"), ("NCO", "minrisk")]


def test_risk_contribution_and_dendrogram_of_the_allocation_clustering(monkeypatch, tmp_path):
    method, owner, table, performance, plain = checkAgainstPlain(RiskFolioHRP, buildHRP, objective="MinRisk",
                                                                 linkageMethod="ward")
    monkeypatch.setattr(builtins, "_", lambda text: "de:" + text, raising=False)
    library = (scipy.cluster.hierarchy.dendrogram, plt.Axes.set_xlabel, plt.Axes.set_title)
    plt.figure()
    contribution, dendrogram = method.plotAnalysis(figsize=(4, 3))
    assert (scipy.cluster.hierarchy.dendrogram, plt.Axes.set_xlabel, plt.Axes.set_title) == library
    # The dendrogram shows the clustering that made the allocation, with the linkage that made it.
    np.testing.assert_array_equal(method.lastClustering, method.port.clustering)
    assert dendrogram.get_title() == "de:de:Dendrogram" and "de:Dendrogram" in risk.translations
    assert sorted(label.get_text() for label in dendrogram.get_yticklabels()) == list(owner.prices.columns)
    assert list(dendrogram.get_xticks()) == [] and (dendrogram.lines or dendrogram.collections)
    for text in chartTexts(contribution.figure):
        assert text.startswith("de:") and text[3:] in risk.translations
    assert "de:Risk (Standard Deviation) Contribution per Asset" in chartTexts(contribution.figure)
    figures = plt.get_fignums()
    assert len(figures) == 3 and plt.gcf() is dendrogram.figure
    scratch = plt.figure(figures[1])
    assert scratch.axes == [] and tuple(scratch.get_size_inches()) == (5, 5)
    plt.figure(dendrogram.figure.number)
    assert pngSize(axToPng(contribution)) == (1350, 1050) and pngSize(axToPng(dendrogram)) == (1350, 1050)

    with PdfPages(tmp_path / "report.pdf") as pdf:
        contribution, dendrogram = method.plotAnalysis(pdf=pdf)
        assert pdf.get_pagecount() == 1
    assert len(plt.get_fignums()) == 2 and plt.gcf() is dendrogram.figure


def test_the_capture_puts_the_drawing_function_back_after_an_error(monkeypatch, caplog):
    import riskfolio

    method, owner, table, performance, plain = checkAgainstPlain(RiskFolioHRP, buildHRP, objective="MaxRet")
    library = (scipy.cluster.hierarchy.dendrogram, plt.Axes.set_title)

    with method.captureDendrogram() as entered:
        assert entered is None and method.lastClustering is None
        assert scipy.cluster.hierarchy.dendrogram(np.eye(2), orientation="left", ax=None) is None
        assert (method.lastClustering == np.eye(2)).all()
    with pytest.raises(TypeError):
        method.captureDendrogram(None)

    def failingChart(**named):
        scipy.cluster.hierarchy.dendrogram("clusters")
        raise RuntimeError("no dendrogram")

    monkeypatch.setattr(riskfolio, "plot_dendrogram", failingChart)
    # The risk contributions drawn are kept; the dendrogram's place is an empty chart, and the log says why.
    with caplog.at_level("ERROR", logger="riskhrp"):
        contribution, dendrogram = method.plotAnalysis()
    assert "no dendrogram" in caplog.text and "The dendrogram could not be drawn" in caplog.text
    assert contribution.patches and not (dendrogram.lines or dendrogram.collections)
    assert method.lastClustering == "clusters"
    assert (scipy.cluster.hierarchy.dendrogram, plt.Axes.set_title) == library
    with pytest.raises(TypeError):
        method.plotAnalysis(None, None)


def test_every_linkage_on_the_form_gives_the_allocation_of_the_library_linkage(monkeypatch):
    import riskfolio

    # With the median or centroid linkage the library's choice of the number of clusters fails on these
    # stocks ("Encountered all NA values"); the clustering takes the library's own linkage whatever the setting.
    # The figures are not what is asked here: the library's table is made of the last year, as over ten years
    # its unbounded relativistic figures take minutes.
    library = riskfolio.plot_table
    monkeypatch.setattr(riskfolio, "plot_table", lambda returns, w, **named: library(returns.iloc[-252:], w, **named))
    tenYears = stockPrices(TEN, years=10)
    method, owner, table, performance, plain = checkAgainstPlain(RiskFolioHRP, buildHRP, prices=tenYears,
                                                                 objective="Sharpe", linkageMethod="median",
                                                                 minWeight=0)
    for linkage in ("centroid", "ward"):
        other, otherPerformance = RiskFolioHRP().computeRecommendation(
            makeOwner(tenYears, objective="Sharpe", linkageMethod=linkage, minWeight=0))
        pd.testing.assert_frame_equal(other, table)
    # A pruned second pass failed where the first solved.
    checkAgainstPlain(RiskFolioHRP, buildHRP, prices=stockPrices(TEN, years=3, end="2016-12-31"),
                      objective="Utility", linkageMethod="median", minWeight=5)


@pytest.mark.parametrize("objective", ["MinRisk", "Sharpe", "ERC", "Utility", "MaxRet"])
def test_two_stocks_give_a_result_and_its_dendrogram_with_every_objective(objective):
    # The library's dendrogram chart chose its number of clusters by a gap statistic of three stocks at least:
    # every run of two stocks failed with "Encountered all NA values" once the allocation was computed.
    # At the shipped limits, and at a maximum that holds both stocks.
    for symbols, limits in ((["AAPL", "XOM"], {"maxWeight": 100}), (["GE", "PFE"], {"maxWeight": 60})):
        owner = makeOwner(stockPrices(symbols, years=2), objective=objective, minWeight=0,
                          riskMethod="ledoit_wolf", benchmark=2.0, **limits)
        method = RiskFolioHRP()
        table, performance = method.computeRecommendation(owner)
        assert 0 < table["Value"].sum() <= 10000
        contribution, dendrogram = method.plotAnalysis(figsize=None)
        assert sorted(label.get_text() for label in dendrogram.get_yticklabels()) == symbols
        assert dendrogram.lines or dendrogram.collections
        plt.close("all")


# Sets whose clustering the library's coloured dendrogram could not draw (three stocks, one cluster chosen)
# among others it could.
COUNTS = [TEN[:count] for count in range(2, 9)] + [["AAPL", "JPM", "XOM"], ["PFE", "SBUX", "XOM"]]


@pytest.mark.parametrize("objective", ["MinRisk", "Sharpe", "ERC", "Utility", "MaxRet"])
def test_every_count_of_stocks_gives_both_analysis_charts(objective):
    for symbols in COUNTS:
        method = RiskFolioHRP()
        method.computeRecommendation(makeOwner(yearOfPrices(symbols), objective=objective, minWeight=0,
                                               maxWeight=100, benchmark=0.0))
        contribution, dendrogram = method.plotAnalysis(figsize=None)
        kept = list(method.port.returns.columns)
        assert contribution is not None and contribution.patches, symbols
        assert sorted(label.get_text() for label in dendrogram.get_yticklabels()) == kept, symbols
        plt.close("all")


def test_a_pruning_that_keeps_three_stocks_draws_both_charts():
    method = RiskFolioHRP()
    method.computeRecommendation(makeOwner(yearOfPrices(), objective="Sharpe", minWeight=10, maxWeight=100))
    assert len(method.port.returns.columns) == 3
    contribution, dendrogram = method.plotAnalysis(figsize=None)
    assert contribution.patches and len(dendrogram.get_yticklabels()) == 3
    plt.close("all")
