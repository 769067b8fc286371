"""The allocation pipeline of RecommendationMethod, with scripted optimisers and with the library's own."""
import builtins
from collections import OrderedDict

import pandas as pd
import pandas.testing as pdt
import pytest
from hypothesis import example, given, settings, strategies as st

from methods_support import checkAgainstPlainSolves, makeOwner, solveMinVolatility, stockPrices, syntheticPrices
from rmethod import RecommendationMethod


class ScriptedOptimizer:
    """Gives back the weights it was made with, as the library's optimisers do after solving."""

    def __init__(self, weights, figures=(0.12, 0.2, 0.5)):
        self.weights = OrderedDict(weights)
        self.figures = figures
        self.setTo = None
        self.asked = []

    def clean_weights(self, cutoff, rounding):
        return OrderedDict((label, weight if weight >= cutoff else 0.0) for label, weight in self.weights.items())

    def set_weights(self, weights):
        self.setTo = weights

    def portfolio_performance(self, risk_free_rate, frequency):
        self.asked.append((risk_free_rate, frequency))
        return self.figures


class Scripted(RecommendationMethod):
    results = ["Return", "Volatility", "Sharpe"]

    def __init__(self, *optimizers):
        self.optimizers = list(optimizers)
        self.seen = []

    def computeRecommendation2(self, owner):
        self.seen.append(list(owner.prices.columns))
        return self.optimizers.pop(0)


def ownerOf(labels, **allocation):
    return makeOwner(syntheticPrices(sorted(labels)), **allocation)


def test_pruning_keeps_the_largest_and_those_reaching_the_minimum():
    labels = list("FEDCBA")
    owner = ownerOf(labels, maxWeight=25, minWeight=5, fractional="YES", capital=1000)
    first = ScriptedOptimizer(zip(labels, [0.4, 0.3, 0.3, 0.0, 0.0, 0.0]))
    second = ScriptedOptimizer(zip("BCDEF", [0.0, 0.0, 0.3, 0.3, 0.4]))
    method = Scripted(first, second)
    allocation, performance = method.computeRecommendation(owner)
    # Five stay (two of them with weight 0), in label order; the second pass sees only them.
    assert method.seen == [sorted(labels), list("BCDEF")]
    assert list(owner.prices.columns) == list("BCDEF")
    assert list(owner.expectedReturns.index) == list("BCDEF")
    assert list(owner.historicReturns.columns) == list("BCDEF")
    assert list(allocation["Symbol"]) == list("DEF")
    assert second.setTo == {"B": 0.0, "C": 0.0, "D": 0.3, "E": 0.3, "F": 0.4}
    assert first.setTo is None
    assert second.asked == [(0.01, 252)]
    assert list(performance["Name"]) == ["Return", "Volatility", "Sharpe", "Sum"]
    # Weights above the maximum of 25 % are held to it; the rest of the capital stays as cash.
    assert list(performance["Value"]) == [12.0, 20.0, 50.0, 750.0]
    assert list(allocation["Weight"]) == pytest.approx([25.0] * 3)


@pytest.mark.parametrize("maxWeight, kept", [(30, 4), (10, 11), (50, 3)])
def test_unconditional_count_follows_the_maximum_weight(maxWeight, kept):
    labels = [f"S{i:02d}" for i in range(14)]
    owner = ownerOf(labels, maxWeight=maxWeight, minWeight=5, fractional="YES")
    # Every weight below the minimum: only the unconditional ones stay.
    method = Scripted(ScriptedOptimizer((label, 0.04 - i * 0.001) for i, label in enumerate(labels)),
                      ScriptedOptimizer([("S00", 1.0)]))
    method.computeRecommendation(owner)
    assert method.seen[1] == labels[:kept]


def test_equal_weights_at_the_border_keep_the_listed_order_and_zero_minimum_keeps_all():
    owner = ownerOf(list("ABCD"), maxWeight=50, minWeight=5, fractional="YES")
    method = Scripted(ScriptedOptimizer(zip("DCBA", [0.6, 0.4, 0.02, 0.02])), ScriptedOptimizer([("D", 1.0)]))
    method.computeRecommendation(owner)
    # Three unconditional: D, C and B (listed before A); A's 0.02 is below the minimum.
    assert method.seen[1] == list("BCD")
    owner = ownerOf(list("ABCD"), maxWeight=50, minWeight=0, fractional="YES")
    method = Scripted(ScriptedOptimizer(zip("DCBA", [1.0, 0.0, 0.0, 0.0])), ScriptedOptimizer([("A", 1.0)]))
    method.computeRecommendation(owner)
    assert method.seen[1] == list("ABCD")


def test_fractional_shares_and_their_tables():
    owner = ownerOf(list("ABC"), capital=1000, fractional="no", maxWeight=100, minWeight=1)
    prices = owner.prices.copy()
    prices.iloc[-1] = [10.0, 20.0, 5.0]
    owner.prices = prices
    optimizer = ScriptedOptimizer(zip("ABC", [0.5, 0.3, 0.0]))
    method = Scripted(optimizer, optimizer)
    allocation, performance = method.computeRecommendation(owner)
    expected = pd.DataFrame({"Symbol": ["A", "B"], "Shares": [62.5, 18.75], "Price": [10.0, 20.0],
                             "Value": [625.0, 375.0], "Weight": [62.5, 37.5]})
    pdt.assert_frame_equal(allocation, expected)
    assert performance["Value"].iloc[-1] == 1000.0

    # Weights that are all below the minimum buy nothing, whole or fractional.
    for fractional in ("YES", "NO"):
        owner = ownerOf(list("ABC"), fractional=fractional, maxWeight=100, minWeight=1)
        nothing = ScriptedOptimizer(zip("ABC", [0.0, 0.004, 0.0]))
        with pytest.raises(ValueError, match=r"weights all lie below the minimum weight of 1 % per stock, the "
                                             r"largest at 0.4 %: its solver is not told the minimum"):
            Scripted(nothing, nothing).computeRecommendation(owner)


def test_performance_rounding_text_figures_and_fallbacks():
    class NoFrequency(ScriptedOptimizer):
        def portfolio_performance(self, risk_free_rate):
            self.asked.append(risk_free_rate)
            return self.figures

    class NoSetWeights:
        def __init__(self, inner):
            self.inner = inner

        def clean_weights(self, **arguments):
            return self.inner.clean_weights(**arguments)

        def portfolio_performance(self, **arguments):
            return self.inner.portfolio_performance(**arguments)

    owner = ownerOf(list("AB"), fractional="YES", capital=987.654, maxWeight=100, minWeight=1, benchmark=2)
    optimizer = NoFrequency(zip("AB", [0.5, 0.5]))
    allocation, performance = Scripted(optimizer, optimizer).computeRecommendation(owner)
    assert optimizer.asked == [0.02]
    assert list(performance["Value"]) == [12.0, 20.0, 50.0, 987.65]

    texts = ScriptedOptimizer(zip("AB", [0.5, 0.5]), figures=("", 0.123456, ""))
    method = Scripted(NoSetWeights(texts), NoSetWeights(texts))
    method.results = ["Heading", "Risk", "Heading"]
    allocation, performance = method.computeRecommendation(owner)
    assert list(performance["Value"]) == ["", 12.3456, "", pytest.approx(987.654)]


def test_whole_shares_fall_back_to_greedy_and_pair_prices_by_stock(monkeypatch):
    from pypfopt.discrete_allocation import DiscreteAllocation

    labels = list("ABCDE")
    owner = ownerOf(labels, capital=10000, fractional="NO", maxWeight=50, minWeight=5)
    prices = owner.prices.copy()
    prices.iloc[-1] = [10.0, 20.0, 400.0, 5.0, 1000.0]
    owner.prices = prices

    class OnePass(Scripted):
        twoPhase = False

    # One pass: the dropped stocks D and E keep zero weights but are no longer priced.
    optimizer = ScriptedOptimizer(zip("ABCDE", [0.5, 0.3, 0.2, 0.0, 0.0]))
    allocation, performance = OnePass(optimizer).computeRecommendation(owner)
    assert list(owner.prices.columns) == list("ABC")
    assert allocation["Shares"].dtype.kind == "i"
    assert dict(zip(allocation["Symbol"], allocation["Shares"])) == {"A": 500, "B": 150, "C": 5}
    pdt.assert_series_equal(allocation["Value"], allocation["Shares"] * allocation["Price"], check_names=False)
    assert allocation["Value"].sum() <= 10000

    def failing(self, *arguments, **named):
        raise RuntimeError("solver missing")

    monkeypatch.setattr(DiscreteAllocation, "lp_portfolio", failing)
    owner = ownerOf(labels, capital=10000, fractional="NO", maxWeight=50, minWeight=5)
    optimizer = ScriptedOptimizer(zip("ABCDE", [0.4, 0.3, 0.2, 0.1, 0.0]))
    allocation, performance = Scripted(optimizer, optimizer).computeRecommendation(owner)
    assert set(allocation["Symbol"]) == set("ABCD")
    assert (allocation["Weight"] - allocation["Value"] / 100).abs().max() < 1e-9
    assert performance["Value"].iloc[-1] == pytest.approx(allocation["Value"].sum(), abs=0.005)

    # A weight above the maximum (an optimiser without bounds) buys no more than the maximum; what it takes off
    # goes to the stock below it.
    owner = ownerOf(labels, capital=10000, fractional="NO", maxWeight=50, minWeight=5)
    owner.prices = prices
    optimizer = ScriptedOptimizer(zip("ABCDE", [0.7, 0.3, 0.0, 0.0, 0.0]))
    allocation, performance = Scripted(optimizer, optimizer).computeRecommendation(owner)
    assert dict(zip(allocation["Symbol"], allocation["Shares"])) == {"A": 500, "B": 250}


def test_failures_that_reach_the_owner(monkeypatch):
    # Limits no allocation meets are refused in the user's terms before the method solves anything.
    for limits, message in (({"maxWeight": 0}, "minimum weight of 5 % per stock is above the maximum weight of 0 %"),
                            ({"minWeight": 10.5, "maxWeight": 10}, "minimum weight of 10.5 % per stock"),
                            ({"maxWeight": 30}, "weight limits of 5 % to 30 % per stock"),
                            ({"minWeight": 30, "maxWeight": 30}, "weight limits of 30 % to 30 %"),
                            ({"minWeight": 35, "maxWeight": 45}, "weight limits of 35 % to 45 %")):
        owner = ownerOf(list("ABCDEFGHIJ")[:2 if limits == {"maxWeight": 30} else 10], **limits)
        method = Scripted()
        with pytest.raises(ValueError, match=message):
            method.computeRecommendation(owner)
        assert method.seen == [] and len(owner.prices.columns) in (2, 10)
    # Every method, in the user's language: ten stocks of at most 8 %, two of at most 30 %, 40 % above 30 %.
    # The modules are loaded first: the names of their figures keep the language of their loading.
    import gettext
    from pathlib import Path

    from fields import resolve

    methods = [resolve(name) for name in ("minvol.MinVolatility", "maxsharpe.MaxSharpe", "minsemi.MinSemi",
                                          "cvar.CVaR", "hrp.HRP", "riskef.RiskFolioEF", "riskhrp.RiskFolioHRP")]
    catalogue = gettext.translation("velmora", Path(__file__).resolve().parent.parent / "locale", ["de"])
    monkeypatch.setattr(builtins, "_", catalogue.gettext, raising=False)
    for cls in methods:
        for symbols, limits, message in ((None, {"maxWeight": 8}, "Gewichtsgrenzen von 5 % bis 8 % je Aktie"),
                                         (["AAPL", "XOM"], {}, "Gewichtsgrenzen von 5 % bis 30 % je Aktie"),
                                         (None, {"minWeight": 40}, "Mindestgewicht von 40 % je Aktie liegt über")):
            with pytest.raises(ValueError, match=message):
                cls().computeRecommendation(makeOwner(None if symbols is None else stockPrices(symbols), **limits))

    class NoResults(RecommendationMethod):
        def computeRecommendation2(self, owner):
            return ScriptedOptimizer(zip("AB", [0.5, 0.5]))

    with pytest.raises(AttributeError):
        NoResults().computeRecommendation(ownerOf(list("AB"), fractional="YES", maxWeight=100))
    with pytest.raises(AttributeError):
        RecommendationMethod().computeRecommendation(ownerOf(list("AB"), maxWeight=100))
    with pytest.raises(TypeError, match="computeRecommendation"):
        RecommendationMethod().computeRecommendation()
    with pytest.raises(TypeError, match="getPortfolioPerformance"):
        RecommendationMethod().getPortfolioPerformance(owner)


def test_plot_analysis_draws_nothing_and_hides_a_given_axes():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    method = RecommendationMethod()
    assert method.plotAnalysis() == (None, None)
    assert method.plotAnalysis(figsize=None) == (None, None)
    figure, ax = plt.subplots()
    assert method.plotAnalysis(ax=ax, pdf=object()) == (None, None)
    assert not ax.axison
    plt.close(figure)


def test_real_prices_keep_the_weight_limits():
    class MinVol(RecommendationMethod):
        results = ["Return", "Volatility", "Sharpe"]

        def computeRecommendation2(self, owner):
            return solveMinVolatility(owner)

    # The solver leaves stocks below the minimum of 10 %, so the cleaned weights take less than the capital;
    # no stock then takes more than 20 % or shares without weight, and what is not placed stays as cash.
    prices = stockPrices(["AAPL", "AMZN", "BAC", "GE", "JPM", "MA", "PFE", "SBUX", "WMT", "XOM"], 3, "2016-12-31")
    for capital, minWeight, maxWeight in ((100000, 10, 20), (10000, 10, 25), (100000, 4, 25)):
        for fractional in ("NO", "YES"):
            method, owner, allocation, performance = checkAgainstPlainSolves(
                MinVol, solveMinVolatility, MinVol.results, prices, fractional=fractional, capital=capital,
                minWeight=minWeight, maxWeight=maxWeight)
            assert allocation["Weight"].sum() > 85
    # Small capitals: no stock gets a share that would take it above the maximum; what cannot be placed is cash.
    from methods_support import checkAgainstReference

    for name, minWeight, maxWeight, capital in (("maxsharpe.MaxSharpe", 10, 25, 2000),
                                                ("maxsharpe.MaxSharpe", 5, 15, 3000),
                                                ("minvol.MinVolatility", 0, 10, 1000), ("cvar.CVaR", 0, 10, 1000),
                                                ("minsemi.MinSemi", 0, 10, 1000)):
        method, owner, allocation, performance = checkAgainstReference(
            name, prices, capital=capital, minWeight=minWeight, maxWeight=maxWeight)
        assert (allocation["Value"] <= capital * maxWeight / 100).all() and len(allocation) >= 3
    # Ten stocks of exactly 10 % each: all ten held, each within a share of 10 %.
    method, owner, allocation, performance = checkAgainstPlainSolves(
        MinVol, solveMinVolatility, MinVol.results, prices, capital=100000, minWeight=10, maxWeight=10)
    assert len(allocation) == 10
    assert ((allocation["Weight"] - 10).abs() <= allocation["Price"] / 1000).all()


def test_method_modules_load_without_the_optimisation_libraries(tmp_path):
    """In a fresh program: loading the methods imports no optimisation library, and the names of the
    figures keep the language installed when the modules were loaded."""
    import subprocess
    import sys
    from pathlib import Path

    locale = Path(__file__).resolve().parent.parent / "locale"
    probe = tmp_path / "test_probe.py"
    probe.write_text(
        "import gettext, sys\n"
        f"gettext.translation('velmora', localedir={str(locale)!r}, languages=['de']).install()\n"
        "def test_probe():\n"
        "    import cvar, hrp, maxsharpe, minsemi, minvol, rmethod\n"
        "    assert issubclass(hrp.HRP, rmethod.RecommendationMethod)\n"
        "    loaded = {'pypfopt', 'cvxpy', 'sklearn', 'seaborn', 'riskfolio'} & set(sys.modules)\n"
        "    assert not loaded\n"
        "    gettext.NullTranslations().install()\n"
        "    assert minvol.MinVolatility.results == ['Rendite', 'Volatilität', 'Sharpe']\n"
        "    assert minsemi.MinSemi.results[2] == 'Sortino'\n"
        "    assert cvar.CVaR.results == ['Rendite', 'CVaR']\n")
    run = subprocess.run([sys.executable, "-p", "no:cacheprovider", "-q", str(probe)], cwd=tmp_path,
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr


def test_stocks_left_out_get_no_share_at_the_shipped_defaults():
    """Minimum 0, maximum 100 %: a weight of solver noise buys nothing, in the library's methods and the
    Riskfolio efficient frontier alike; a capital that buys no share within the maximum is told."""
    from fields import resolve
    from methods_support import LEFT_OUT, checkAgainstReference, recordingSolves
    from riskfolio_support import TEN, buildEF, checkAgainstPlain

    windows = [stockPrices(TEN, 3, "2016-12-31"), stockPrices(TEN, 3, "2018-03-31").loc["2015-06-01":]]
    for name in ("minvol.MinVolatility", "maxsharpe.MaxSharpe", "minsemi.MinSemi", "cvar.CVaR"):
        for riskMethod in ("sample_cov", "exp_cov", "ledoit_wolf"):
            for prices in windows:
                method, owner, table, performance = checkAgainstReference(
                    name, prices, riskMethod=riskMethod, minWeight=0, maxWeight=100)
                assert len(table) >= 1
    method, owner, table, performance, plain = checkAgainstPlain(
        resolve("riskef.RiskFolioEF"), buildEF, windows[1], objective="Sharpe", riskMethod="exp_cov",
        minWeight=0, maxWeight=100)
    assert set(table["Symbol"]) == {label for label, weight in plain.w["weights"].items()
                                    if weight >= LEFT_OUT}

    import builtins
    import gettext
    from pathlib import Path

    expensive = stockPrices(["AAPL", "JPM", "MA", "WMT", "XOM"], years=1)
    for name in ("minvol.MinVolatility", "maxsharpe.MaxSharpe", "minsemi.MinSemi", "cvar.CVaR", "hrp.HRP",
                 "riskef.RiskFolioEF", "riskhrp.RiskFolioHRP", "deopt.MaxSharpe2", "deopt.MinVolatility2"):
        with pytest.raises(ValueError, match=r"A capital of 100 buys no whole share .* maximum weight of 30 %"):
            resolve(name)().computeRecommendation(makeOwner(expensive, capital=100, minWeight=0, objective="Sharpe"))
    catalogue = gettext.translation("velmora", Path(__file__).resolve().parent.parent / "locale", ["de"])
    builtins._, english = catalogue.gettext, builtins._
    try:
        with pytest.raises(ValueError, match="Ein Kapital von 100.5 kauft keine ganze Aktie .* von 30 % je Aktie"):
            resolve("minvol.MinVolatility")().computeRecommendation(makeOwner(expensive, capital=100.5, minWeight=0))
    finally:
        builtins._ = english


def test_no_cent_for_a_stock_left_out_and_no_cash_a_share_could_take():
    from maxsharpe import MaxSharpe
    from minvol import MinVolatility

    ten = ["AAPL", "AMZN", "BAC", "GE", "JPM", "MA", "PFE", "SBUX", "WMT", "XOM"]
    # The solver leaves SBUX at 1.2e-6, the others it leaves out at 3e-9 to 5e-8: none of them is bought.
    owner = makeOwner(stockPrices(ten, 2, "2013-12-31"), riskMethod="semicovariance",
                      returnMethod="ema_historical_return", fractional="YES", minWeight=0, maxWeight=100, benchmark=2.0,
                      gamma=1.0)
    table, performance = MaxSharpe().computeRecommendation(owner)
    assert "SBUX" not in set(table["Symbol"]) and (table["Value"] >= 1).all()
    # Capped after the integer program, the counts left 241.8 in cash; within the caps the program leaves less
    # than the cheapest share it could still buy.
    owner = makeOwner(stockPrices(ten, 10), riskMethod="exp_cov", returnMethod="capm_return", minWeight=0,
                      maxWeight=30)
    table, performance = MinVolatility().computeRecommendation(owner)
    cash = 10000 - table["Value"].sum()
    assert 0 <= cash < 100 and (table["Value"] <= 3000 + 1e-9).all()


def plainWholeShares(weights, prices, capital, maxWeight):
    """What the integer program invests with each stock's weight rounded up to a share as its cap, nothing spread."""
    import cvxpy as cp
    import numpy as np

    w, p = np.array(list(weights.values())), np.array(list(prices.values()))
    caps = np.maximum(0, np.minimum(np.ceil(capital * w / p - 1e-9), np.floor(capital * maxWeight / p + 1e-9)))
    least = np.where(w >= maxWeight - 1e-6, caps, 0)
    x, u = cp.Variable(len(w), integer=True), cp.Variable(len(w))
    eta, remaining = w * capital - cp.multiply(x, p), capital - p @ x
    cp.Problem(cp.Minimize(cp.sum(u) + remaining), [eta <= u, eta >= -u, x >= least, x <= caps, remaining >= 0]).solve()
    return 0.0 if x.value is None else float(p @ np.rint(x.value))


@settings(max_examples=25, deadline=None)
# Held at their whole-share maxima, A and C once left too little for the one share of B the plain caps buy.
@example(stocks=[(0.3, 435.21), (0.3, 775.69), (0.4, 37.85)], capital=2000, maxWeight=40, minWeight=0)
@given(stocks=st.lists(st.tuples(st.sampled_from([0.0, 0.0, 1e-6, 0.02, 0.1, 0.3, 0.6, 1.0]), st.floats(1, 3000)),
                       min_size=2, max_size=8),
       capital=st.sampled_from([500, 2000, 10000, 100000]), maxWeight=st.sampled_from([10, 25, 30, 50, 100]),
       minWeight=st.sampled_from([0, 1, 5]))
def test_whole_shares_stay_within_the_capital_and_the_maximum_and_off_stocks_left_out(stocks, capital, maxWeight,
                                                                                       minWeight):
    parts = [part for part, price in stocks]
    if sum(parts) == 0:
        return
    labels = [f"S{i}" for i in range(len(stocks))]
    owner = ownerOf(labels, capital=capital, fractional="NO", maxWeight=maxWeight, minWeight=minWeight)
    prices = owner.prices.copy()
    prices.iloc[-1] = [price for part, price in stocks]
    owner.prices = prices
    weights = dict(zip(labels, [part / sum(parts) for part in parts]))
    optimizer = ScriptedOptimizer(weights.items())
    try:
        allocation, performance = Scripted(optimizer, optimizer).computeRecommendation(owner)
    except ValueError as refusal:
        assert any(text in str(refusal) for text in ("buys no whole share", "No allocation meets", "all lie below"))
        return
    chosen = {label for label, weight in weights.items() if weight >= max(minWeight / 100 - 1e-6, 1e-4)}
    assert set(allocation["Symbol"]) <= chosen and (allocation["Shares"] > 0).all()
    assert (allocation["Value"] <= capital * maxWeight / 100 * (1 + 1e-9)).all()
    assert allocation["Value"].sum() <= capital * (1 + 1e-9)
    # What the maxima take off is spread to add to what the plain caps invest, never to take from it.
    kept = {label: weights[label] for label in sorted(chosen)}
    plain = plainWholeShares(kept, {label: prices[label].iloc[-1] for label in kept}, capital, maxWeight / 100)
    assert allocation["Value"].sum() >= plain - 1e-6 * capital


def test_refusals_say_what_happened():
    from fields import resolve

    # One stock at 100 % (two at 50 %) meets the limits, but the solvers, not told the minimum, spread the weights.
    for name in ("minvol.MinVolatility", "maxsharpe.MaxSharpe", "riskef.RiskFolioEF"):
        for limit, prices in ((100, stockPrices(["AAPL", "JPM", "XOM"], 2)), (50, stockPrices(TEN_STOCKS))):
            with pytest.raises(ValueError, match=f"weights all lie below the minimum weight of {limit} % per stock"):
                resolve(name)().computeRecommendation(makeOwner(prices, minWeight=limit, maxWeight=limit,
                                                                objective="MinRisk"))
    # A capital of 100 buys no share of the stocks Maximum Sharpe keeps, though WMT and XOM are selected.
    prices = stockPrices(["AAPL", "AMZN", "GOOG", "JPM", "WMT", "XOM"])
    with pytest.raises(ValueError, match=r"A capital of 100 buys no whole share of the stocks the optimiser kept "
                                         r"\((\w+, )*AMZN(, \w+)*\) within the maximum weight of 100 %"):
        resolve("maxsharpe.MaxSharpe")().computeRecommendation(makeOwner(prices, capital=100, minWeight=0,
                                                                         maxWeight=100))


TEN_STOCKS = ["AAPL", "AMZN", "BAC", "GE", "JPM", "MA", "PFE", "SBUX", "WMT", "XOM"]
