"""Minimum semivariance against the same library calls in plain Python."""
import pytest

from methods_support import checkAgainstReference, stockPrices

RETURN_MODELS = ["mean_historical_return", "ema_historical_return", "capm_return"]


@pytest.mark.parametrize("index, returnMethod", list(enumerate(RETURN_MODELS)))
def test_equal_to_plain_library_calls(index, returnMethod):
    method, owner, allocation, performance = checkAgainstReference(
        "minsemi.MinSemi", stockPrices(years=3), returnMethod=returnMethod, benchmark=[1.0, 0.0, 2.5][index],
        fractional="YES" if index == 1 else "NO", capital=[100000, 10000, 10000][index], minWeight=10,
        maxWeight=[20, 25, 25][index])
    assert list(performance["Name"]) == ["Return", "Volatility", "Sortino", "Sum"]
    assert method.plotAnalysis(figsize=None) == (None, None)
    assert not hasattr(method, "s")


@pytest.mark.parametrize("name", ["minvol.MinVolatility", "minsemi.MinSemi", "cvar.CVaR"])
def test_at_a_minimum_of_0_the_weights_are_those_of_the_linked_program(name):
    """At the shipped minimum of 0 the boolean link constrains nothing: the program without it, a continuous
    solve, finds the weights of the branch-and-bound with it, to the solvers' accuracy."""
    import cvxpy

    from fields import resolve
    from methods_support import REFERENCES, makeOwner, recordingSolves, uncut

    prices = stockPrices(years=10)
    solve = REFERENCES[name][0]
    for maxWeight in (100, 30):
        owner = makeOwner(prices, minWeight=0, maxWeight=maxWeight)
        method = recordingSolves(resolve(name))()
        method.computeRecommendation(owner)
        linked = makeOwner(prices, minWeight=0, maxWeight=maxWeight)
        linked.minWeight = 1e-12  # the link made as before, forcing nothing
        assert method.uncut[0] == pytest.approx(uncut(solve(linked)), abs=2e-5)
