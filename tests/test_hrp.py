"""Hierarchical risk parity run for real against the same library calls in plain Python, and its dendrogram."""
import math

import matplotlib.pyplot as plt
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from methods_support import checkAgainstReference, makeOwner, stockPrices, syntheticPrices

RISK_MODELS = ["sample_cov", "semicovariance", "exp_cov", "ledoit_wolf", "ledoit_wolf_constant_variance",
               "ledoit_wolf_single_factor", "ledoit_wolf_constant_correlation", "oracle_approximating"]
LINKAGES = ["single", "complete", "average", "weighted", "centroid", "median", "ward"]


@pytest.mark.parametrize("index, riskMethod", list(enumerate(RISK_MODELS)))
def test_equal_to_plain_library_calls(index, riskMethod):
    method, owner, allocation, performance = checkAgainstReference(
        "hrp.HRP", stockPrices(years=5 if index % 2 else 3), riskMethod=riskMethod,
        linkageMethod=LINKAGES[index % len(LINKAGES)], fractional="YES" if index == 4 else "NO")
    assert method.ef.returns is owner.historicReturns
    assert list(method.ef.tickers) == list(owner.prices.columns)


def test_dendrogram_and_unknown_linkage(monkeypatch):
    import pypfopt.plotting

    method, owner, allocation, performance = checkAgainstReference("hrp.HRP", linkageMethod="ward")
    plt.close("all")
    plt.figure()
    ax, second = method.plotAnalysis(figsize=None)
    assert second is None
    assert sorted(label.get_text() for label in ax.get_xticklabels()) == list(owner.prices.columns)
    assert ax.collections or ax.lines
    plt.close("all")

    calls = []
    monkeypatch.setattr(pypfopt.plotting, "plot_dendrogram", lambda ef, **named: calls.append((ef, named)) or "ax")
    document = object()
    assert method.plotAnalysis(pdf=document) == ("ax", None)
    assert calls == [(method.ef, {"pdf": document})]

    from hrp import HRP

    with pytest.raises(ValueError):
        HRP().computeRecommendation(makeOwner(linkageMethod="nearest"))


def test_clustering_failures_reach_the_owner():
    from hrp import HRP

    flat = syntheticPrices(list("ABCDE"))
    flat["C"] = 20.0
    for prices, message in ((syntheticPrices(["A"]), "at least 2 stocks"), (flat, "")):
        owner = makeOwner(prices, maxWeight=100)
        columns = list(owner.prices.columns)
        with pytest.raises(ValueError, match=message):
            HRP().computeRecommendation(owner)
        assert list(owner.prices.columns) == columns


TEN = ["AAPL", "AMZN", "BAC", "GE", "JPM", "MA", "PFE", "SBUX", "WMT", "XOM"]


def plainWeights(owner):
    from pypfopt import risk_models
    from pypfopt.hierarchical_portfolio import HRPOpt

    ef = HRPOpt(cov_matrix=risk_models.risk_matrix(owner.prices, method=owner.config.allocation.riskMethod))
    return dict(ef.optimize(linkage_method=owner.config.allocation.linkageMethod))


def checkHeldAtMostAtTheMaximum(owner, table, plain):
    capital, maxWeight = owner.config.allocation.capital, owner.maxWeight
    latest = owner.prices.iloc[-1]
    assert 0 < table["Value"].sum() <= capital * (1 + 1e-9)
    assert (table["Value"] <= capital * maxWeight * (1 + 1e-9)).all()
    held = dict(zip(table["Symbol"], table["Value"]))
    # A stock the clustering weights above the maximum is held at the maximum, to a share.
    for symbol, weight in plain.items():
        if weight > maxWeight:
            assert held[symbol] >= capital * maxWeight - latest[symbol] - 1e-6


def test_a_stock_above_the_maximum_is_held_at_the_maximum():
    from hrp import HRP

    # The clustering gives WMT 27.9 % over ten years: it is bought up to 25 %, the rest goes to the others.
    owner = makeOwner(stockPrices(TEN, years=10), minWeight=0, maxWeight=25, capital=100000)
    plain = plainWeights(owner)
    assert plain["WMT"] > 0.27
    method = HRP()
    table, performance = method.computeRecommendation(owner)
    checkHeldAtMostAtTheMaximum(owner, table, plain)
    wmt = table.set_index("Symbol").loc["WMT"]
    assert 24.5 < wmt["Weight"] <= 25
    assert max(method.ef.clean_weights().values()) == pytest.approx(0.25)
    # Ten stocks keep to 25 %; the five left after the cut at the minimum of 10 % are held to it as well.
    owner = makeOwner(stockPrices(TEN, years=3, end="2016-12-31"), minWeight=10, maxWeight=25)
    table, performance = HRP().computeRecommendation(owner)
    assert len(owner.prices.columns) == 5
    assert (table["Weight"] <= 25 + 1e-9).all() and (table["Weight"] >= 10 - 1e-6).all()


@settings(max_examples=12, deadline=None)
@given(maxWeight=st.integers(10, 40), years=st.sampled_from([2, 5, 10]), count=st.sampled_from([2, 5, 10]),
       fractional=st.sampled_from(["NO", "YES"]))
def test_every_maximum_that_limits_allow_computes(maxWeight, years, count, fractional):
    from hrp import HRP

    maxWeight = max(maxWeight, math.ceil(100 / count))
    owner = makeOwner(stockPrices(TEN[:count], years=years), minWeight=0, maxWeight=maxWeight, capital=100000,
                      fractional=fractional)
    plain = plainWeights(owner)
    table, performance = HRP().computeRecommendation(owner)
    checkHeldAtMostAtTheMaximum(owner, table, plain)


@settings(max_examples=8, deadline=None)
@given(maxWeight=st.sampled_from([10, 12, 15, 25]), fractional=st.sampled_from(["NO", "YES"]),
       capital=st.sampled_from([10000, 100000]))
def test_the_money_a_maximum_takes_off_a_stock_goes_to_the_stocks_below_it(maxWeight, fractional, capital):
    from hrp import HRP

    # Fractional shares at 0-12 % invested 90 %, whole shares at 0-10 % on 10,000 63 %: what the maximum took
    # off a stock stayed as cash while others stood far below it. Fractional shares now invest all of the
    # capital, whole shares all but less than a share of each stock, none above the maximum.
    owner = makeOwner(stockPrices(TEN, years=10), minWeight=0, maxWeight=maxWeight, capital=capital,
                      fractional=fractional)
    method = HRP()
    table, performance = method.computeRecommendation(owner)
    assert (table["Value"] <= capital * maxWeight / 100 * (1 + 1e-9)).all()
    weights = method.ef.clean_weights(cutoff=0.0, rounding=None)
    assert max(weights.values()) <= maxWeight / 100 + 1e-12 and sum(weights.values()) == pytest.approx(1)
    if fractional == "YES":
        assert table["Value"].sum() == pytest.approx(capital)
    else:
        latest = owner.prices.iloc[-1]
        assert table["Value"].sum() >= capital - latest.sum()
    assert performance["Value"].iloc[-1] == pytest.approx(table["Value"].sum(), abs=0.01)
