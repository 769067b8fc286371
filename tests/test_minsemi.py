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
