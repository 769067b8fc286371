"""The Riskfolio mean-risk method on real prices against the same library calls in plain Python, and its
frontier and frontier-area charts."""
import builtins

import matplotlib.pyplot as plt
import numpy as np
import pytest
from matplotlib.backends.backend_pdf import PdfPages

import risk
from methods_support import makeOwner, stockPrices
from riskef import RiskFolioEF
from riskfolio_support import (TEN, axToPng, buildEF, chartTexts, checkAgainstPlain, pngSize, yearOfPrices)

# Every risk model with one of the objectives; the semideviation risk measure with every objective; the CAPM
# returns (the library's James-Stein mean) with four objectives.
CASES = [
    ("sample_cov", "capm_return", "MinRisk"),
    ("semicovariance", "capm_return", "Utility"),
    ("exp_cov", "capm_return", "Sharpe"),
    ("ledoit_wolf", "capm_return", "ERC"),
    ("ledoit_wolf_constant_variance", "ema_historical_return", "MaxRet"),
    ("ledoit_wolf_single_factor", "mean_historical_return", "Sharpe"),
    ("ledoit_wolf_constant_correlation", "mean_historical_return", "MinRisk"),
    ("oracle_approximating", "ema_historical_return", "Utility"),
    ("semicovariance", "mean_historical_return", "MinRisk"),
    ("semicovariance", "ema_historical_return", "Sharpe"),
    ("semicovariance", "mean_historical_return", "ERC"),
    ("semicovariance", "ema_historical_return", "MaxRet"),
]


@pytest.mark.parametrize("index, riskMethod, returnMethod, objective",
                         [(index, *case) for index, case in enumerate(CASES)])
def test_equal_to_plain_library_calls(index, riskMethod, returnMethod, objective):
    method, owner, table, performance, plain = checkAgainstPlain(
        RiskFolioEF, buildEF, riskMethod=riskMethod, returnMethod=returnMethod, objective=objective,
        benchmark=2.0 if index % 2 else 0.0, fractional="YES" if index == 6 else "NO")
    assert list(method.port.returns.columns) == list(owner.prices.columns)
    assert set(method.results) <= risk.translations
    rows = dict(zip(performance["Name"], performance["Value"]))
    # Every figure as the library's own table shows it: percent figures in percent, the others in their scale.
    for name in ("Skewness", "Kurtosis", "Standard Deviation (2)"):
        shown = float(plain.texts[name].removesuffix("%"))
        assert rows[name] == pytest.approx(shown, rel=1e-3) and shown != 0
    assert rows["Risk Measures based on Returns"] == ""


def test_equal_risk_contribution_is_solved_by_risk_parity():
    method, owner, table, performance, plain = checkAgainstPlain(RiskFolioEF, buildEF, objective="ERC",
                                                                 maxWeight=100, minWeight=0)
    weights = method.w["weights"]
    assert (weights > 0).all() and weights.sum() == pytest.approx(1.0)
    cov = method.port.cov.to_numpy()
    contributions = weights.to_numpy() * (cov @ weights.to_numpy())
    assert contributions == pytest.approx(np.full(len(weights), contributions.mean()), rel=1e-3)


def test_weight_limits_that_cannot_be_kept_are_named(monkeypatch):
    import gettext
    from pathlib import Path

    catalogue = gettext.translation("velmora", Path(__file__).resolve().parent.parent / "locale", ["de"])
    monkeypatch.setattr(builtins, "_", catalogue.gettext, raising=False)
    # Risk parity takes no upper bound: equal risk puts more than 12 % into a stock of low risk.
    with pytest.raises(ValueError, match="maximale Gewicht von 12 %"):
        RiskFolioEF().computeRecommendation(makeOwner(yearOfPrices(), objective="ERC", maxWeight=12))
    # Ten stocks of at most 8 % each cannot take the whole capital.
    with pytest.raises(ValueError, match="Gewichtsgrenzen von 5 % bis 8 %"):
        RiskFolioEF().computeRecommendation(makeOwner(yearOfPrices(), objective="Sharpe", maxWeight=8))


def test_a_benchmark_above_every_return_is_named_for_the_sharpe_objective(monkeypatch):
    import gettext
    from pathlib import Path

    from maxsharpe import MaxSharpe

    # No limit can be widened at 0 % to 100 %: BAC and GE over ten years, GE, XOM and PFE over two, return less
    # than 20 %; at 10 % PFE returns 10.03 %, too little above it for a ratio to maximise.
    cases = [(stockPrices(["BAC", "GE"], years=10), 20, (RiskFolioEF, MaxSharpe)),
             (stockPrices(["GE", "XOM", "PFE"], 2, "2017-12-31"), 20, (RiskFolioEF, MaxSharpe)),
             (stockPrices(["GE", "XOM", "PFE"], 2, "2017-12-31"), 10, (MaxSharpe,))]
    for prices, benchmark, classes in cases:
        for cls in classes:
            with pytest.raises(ValueError, match=f"above the benchmark of {benchmark} %; set a smaller benchmark"):
                cls().computeRecommendation(makeOwner(prices, objective="Sharpe", benchmark=benchmark,
                                                      minWeight=0, maxWeight=100))
    catalogue = gettext.translation("velmora", Path(__file__).resolve().parent.parent / "locale", ["de"])
    monkeypatch.setattr(builtins, "_", catalogue.gettext, raising=False)
    with pytest.raises(ValueError, match="Benchmark von 20 % liegt; wählen Sie eine kleinere Benchmark"):
        RiskFolioEF().computeRecommendation(makeOwner(cases[0][0], objective="Sharpe", benchmark=20, minWeight=0,
                                                      maxWeight=100))
    # Below PFE's return the same stocks compute.
    table, performance = MaxSharpe().computeRecommendation(makeOwner(cases[2][0], benchmark=1, minWeight=0,
                                                                     maxWeight=100))
    assert 0 < table["Value"].sum() <= 10000


def test_one_stock_left_keeps_the_portfolio_returns_clean():
    method, owner, table, performance, plain = checkAgainstPlain(RiskFolioEF, buildEF, objective="MaxRet",
                                                                 maxWeight=100)
    assert len(table) == 1 and list(method.w.index) == list(owner.prices.columns)
    assert list(method.port.returns.columns) == list(owner.prices.columns)
    assert "@@@" not in method.weights and "@@@" not in method.clean_weights(cutoff=0.0)
    plt.close("all")
    first, second = method.plotAnalysis()
    assert pngSize(axToPng(first)) == pngSize(axToPng(second)) == (1350, 1050)


def mark(monkeypatch):
    """A translation function that marks every text it translates."""
    monkeypatch.setattr(builtins, "_", lambda text: "de:" + text, raising=False)


def test_frontier_and_frontier_area_charts(monkeypatch, tmp_path):
    method, owner, table, performance, plain = checkAgainstPlain(RiskFolioEF, buildEF, objective="Sharpe")
    mark(monkeypatch)
    setters = (plt.Axes.set_xlabel, plt.Axes.set_ylabel, plt.Axes.set_title)
    plt.figure()
    area, frontier = method.plotAnalysis(figsize=(4, 3))
    assert (plt.Axes.set_xlabel, plt.Axes.set_ylabel, plt.Axes.set_title) == setters
    assert plt.get_fignums() == [frontier.figure.number, area.figure.number] and plt.gcf() is area.figure
    legend = area.get_legend()
    assert [text.get_text() for text in legend.get_texts()] == list(owner.prices.columns)
    assert legend.get_title().get_text() == "de:Legend"
    assert area.get_title() == "de:Efficient Frontier's Assets Structure"
    frontierTexts = chartTexts(frontier.figure)
    assert "de:Expected Risk - Standard Deviation (MV)" in frontierTexts
    for text in frontierTexts + chartTexts(area.figure):
        assert text.startswith("de:") and text[3:] in risk.translations
    # The frontier marks the chosen portfolio among the twenty frontier portfolios.
    points = [len(collection.get_offsets()) for ax in frontier.figure.axes for collection in ax.collections]
    legends = [text.get_text() for ax in frontier.figure.axes if ax.get_legend()
               for text in ax.get_legend().get_texts()]
    assert 20 in points and "Portfolio" in legends
    assert pngSize(axToPng(area)) == (1350, 1050) and pngSize(axToPng(frontier)) == (1350, 1050)
    assert plt.get_fignums() == []

    with PdfPages(tmp_path / "report.pdf") as pdf:
        area, frontier = method.plotAnalysis(pdf=pdf)
        assert pdf.get_pagecount() == 1
    assert plt.get_fignums() == [area.figure.number] and plt.gcf() is area.figure


def test_a_failing_chart_restores_the_text_setters(monkeypatch):
    import riskfolio

    method, owner, table, performance, plain = checkAgainstPlain(
        RiskFolioEF, buildEF, objective="MinRisk", maxWeight=50, prices=yearOfPrices(["AAPL", "JPM", "XOM"]))
    mark(monkeypatch)
    setters = (plt.Axes.set_xlabel, plt.Axes.set_ylabel, plt.Axes.set_title)

    def failingArea(**named):
        named["ax"].set_title("Half drawn")
        raise ValueError("no area")

    monkeypatch.setattr(riskfolio, "plot_frontier_area", failingArea)
    with pytest.raises(ValueError, match="no area"):
        method.plotAnalysis()
    assert (plt.Axes.set_xlabel, plt.Axes.set_ylabel, plt.Axes.set_title) == setters
    assert "Half drawn" in risk.translations
    with pytest.raises(TypeError):
        method.plotAnalysis(None, None)
    with pytest.raises(Exception):
        RiskFolioEF().computeRecommendation(makeOwner(yearOfPrices(), objective="Unknown"))


@pytest.mark.parametrize("returnMethod", ["capm_return", "mean_historical_return", "ema_historical_return"])
def test_the_tab_shows_the_minimum_risk_portfolio_at_the_start_of_its_frontier(monkeypatch, returnMethod):
    import riskfolio
    from addict import Dict

    from recommendation import RecommendationProvider
    from recommendation_support import MarketData, allocationConfig, realPrices, stockTable

    stocks = {symbol: symbol for symbol in TEN}
    monkeypatch.setattr(MarketData, "prices", realPrices("2014-06-01", "2017-12-31", stocks))
    monkeypatch.setattr(MarketData, "stocks", stockTable(stocks))
    library, drawn = riskfolio.plot_frontier, []
    monkeypatch.setattr(riskfolio, "plot_frontier", lambda **named: drawn.append(named) or library(**named))
    config = allocationConfig(method="riskef.RiskFolioEF", objective="MinRisk", riskMethod="semicovariance",
                              returnMethod=returnMethod, cutOffDate="2017-06-01", capital=10000)
    MarketData(config)
    tab = RecommendationProvider(config, providerManager=None, userConfigParm=Dict())
    tab.recompute()
    # The chart the tab shows: its frontier's first point is the portfolio shown, and no point lies left of it.
    assert tab.analysisGraph2 and drawn[-1]["w"] is tab.methodObj.w
    chart = drawn[-1]["ax"].figure.axes[1]  # beside the colour bar, in the axes handed over
    frontier, star = [points.get_offsets() for points in chart.collections]
    assert list(star[0]) == pytest.approx(list(frontier[0]), abs=1e-9) and min(frontier[:, 0]) >= frontier[0][0] - 1e-6


def test_relativistic_figures_where_clarabel_gives_up_come_from_a_bounded_solve(monkeypatch):
    import cvxpy

    from methods_support import stockPrices
    from riskfolio_support import performanceCells

    library, solves = cvxpy.Problem.solve, []

    def recording(problem, *args, **named):
        try:
            answer = library(problem, *args, **named)
        except cvxpy.SolverError:
            solves.append((named.get("solver"), "failed", None))
            raise
        solves.append((named.get("solver"), problem.status, problem.solver_stats.num_iters))
        return answer

    monkeypatch.setattr(cvxpy.Problem, "solve", recording)
    owner = makeOwner(stockPrices(TEN, years=3, end="2017-05-31"), objective="MinRisk", minWeight=0, maxWeight=30)
    method = RiskFolioEF()
    method.computeRecommendation(owner)
    monkeypatch.undo()
    # CLARABEL gave up on a relativistic figure; SCS then stopped within its bound.
    scs = [iterations for solver, status, iterations in solves if solver == "SCS"]
    assert ("CLARABEL", "failed") in [(solver, status) for solver, status, iterations in solves]
    assert 0 < max(scs) <= 500
    # The library's own figures for the portfolio shown, the relativistic ones within a part in a thousand.
    cells = performanceCells(owner.prices.pct_change().dropna(), method.w)
    for name, text, value in zip(cells[:, 0], cells[:, 1], method.values):
        expected = float(text.removesuffix("%")) / 100 if text else ""
        assert value == (expected if not text else pytest.approx(expected, rel=1e-3 if "Relativistic" in name else 0))


def starAndFrontier(drawn):
    chart = drawn[-1]["ax"].figure.axes[1]  # beside the colour bar, in the axes handed over
    frontier, star = [points.get_offsets() for points in chart.collections]
    return list(star[0]), frontier


def test_every_chart_shows_the_frontier_and_portfolio_of_its_own_run(monkeypatch, tmp_path):
    import riskfolio
    from addict import Dict

    from recommendation import RecommendationProvider
    from recommendation_support import MarketData, allocationConfig, realPrices, stockTable

    stocks = {symbol: symbol for symbol in TEN if symbol != "GE"}
    monkeypatch.setattr(MarketData, "prices", realPrices("2013-06-01", "2018-04-11", stocks))
    monkeypatch.setattr(MarketData, "stocks", stockTable(stocks))
    library, drawn = riskfolio.plot_frontier, []
    monkeypatch.setattr(riskfolio, "plot_frontier", lambda **named: drawn.append(named) or library(**named))
    solve, solved = riskfolio.Portfolio.efficient_frontier, []
    monkeypatch.setattr(riskfolio.Portfolio, "efficient_frontier",
                        lambda port, **named: solved.append(port) or solve(port, **named))
    target = dict(objective="MinRisk", riskMethod="semicovariance", returnMethod="mean_historical_return",
                  minWeight=0, maxWeight=30)
    config = allocationConfig(method="riskef.RiskFolioEF", capital=10000, cutOffDate="2017-06-30", **target)
    MarketData(config)
    tab = RecommendationProvider(config, providerManager=None, userConfigParm=Dict())
    for settings in [dict(objective="Sharpe", riskMethod="ledoit_wolf", returnMethod="capm_return", minWeight=5,
                          maxWeight=50),
                     dict(objective="MaxRet", riskMethod="semicovariance", returnMethod="ema_historical_return",
                          minWeight=10, maxWeight=40),
                     target]:
        config.allocation.update(settings)
        tab.compute()
        # Each run solves its own frontier from the portfolio it shows.
        assert solved[-1] is tab.methodObj.port and drawn[-1]["w"] is tab.methodObj.w
        assert drawn[-1]["w_frontier"] is tab.methodObj.frontier
        assert set(tab.methodObj.frontier.index) == set(tab.methodObj.w.index)
    star, frontier = starAndFrontier(drawn)
    assert star == pytest.approx(list(frontier[0]), abs=1e-9) and min(frontier[:, 0]) >= frontier[0][0] - 1e-6
    # The report and a redraw show the same frontier without solving it again.
    runs = len(solved)
    tab.methodObj.plotAnalysis(figsize=None)
    with PdfPages(tmp_path / "report.pdf") as pdf:
        tab.methodObj.plotAnalysis(pdf=pdf)
    assert len(solved) == runs and starAndFrontier(drawn)[0] == star
    assert (starAndFrontier(drawn)[1] == frontier).all()
