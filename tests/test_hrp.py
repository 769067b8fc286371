"""Hierarchical risk parity run for real against the same library calls in plain Python, and its dendrogram."""
import matplotlib.pyplot as plt
import pytest

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
    # The clustering takes no bounds: ten stocks of at most 12 % could be held, but not with its weights.
    for prices, maxWeight, message in ((syntheticPrices(["A"]), 100, "at least 2 stocks"), (flat, 100, ""),
                                       (None, 12, "Hierarchical risk parity puts more than the maximum weight "
                                                  "of 12 %")):
        owner = makeOwner(prices, maxWeight=maxWeight)
        columns = list(owner.prices.columns)
        with pytest.raises(ValueError, match=message):
            HRP().computeRecommendation(owner)
        assert list(owner.prices.columns) == columns
    # Ten stocks keep to 25 %; the five left after the cut at the minimum of 10 % do not.
    ten = ["AAPL", "AMZN", "BAC", "GE", "JPM", "MA", "PFE", "SBUX", "WMT", "XOM"]
    owner = makeOwner(stockPrices(ten, years=3, end="2016-12-31"), minWeight=10, maxWeight=25)
    with pytest.raises(ValueError, match="weight of 25 % into one stock once the stocks below the minimum weight of "
                                         "10 % are left out; allow a smaller minimum weight"):
        HRP().computeRecommendation(owner)
    assert len(owner.prices.columns) == 5
