"""Minimum CVaR on the historic returns as scenarios, against the same library calls in plain Python."""
import matplotlib.pyplot as plt
import pytest

from methods_support import checkAgainstReference, stockPrices

RETURN_MODELS = ["mean_historical_return", "ema_historical_return", "capm_return"]


@pytest.mark.parametrize("index, returnMethod", list(enumerate(RETURN_MODELS)))
def test_equal_to_plain_library_calls_and_heat_map(index, returnMethod):
    riskMethod = ["sample_cov", "ledoit_wolf", "exp_cov"][index]
    method, owner, allocation, performance = checkAgainstReference(
        "cvar.CVaR", stockPrices(years=4), returnMethod=returnMethod, riskMethod=riskMethod,
        fractional="YES" if index == 2 else "NO", capital=[100000, 10000, 10000][index], minWeight=10,
        maxWeight=[20, 25, 25][index])
    # Return and the expected loss of the worst days, both in percent.
    assert list(performance["Name"]) == ["Return", "CVaR", "Sum"]
    assert performance["Value"].iloc[1] > 0
    assert list(method.s.index) == list(owner.prices.columns)
    plt.close("all")
    plt.figure()
    ax, second = method.plotAnalysis(pdf=None)
    assert second is None
    assert [label.get_text() for label in ax.get_ymajorticklabels()] == list(owner.prices.columns)
    plt.close("all")
