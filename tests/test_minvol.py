"""Minimum volatility against the same library calls in plain Python, and its heat map."""
import matplotlib.pyplot as plt
import pytest

from methods_support import checkAgainstReference, syntheticPrices

RISK_MODELS = ["sample_cov", "semicovariance", "exp_cov", "ledoit_wolf", "ledoit_wolf_constant_variance",
               "ledoit_wolf_single_factor", "ledoit_wolf_constant_correlation", "oracle_approximating"]
RETURN_MODELS = ["mean_historical_return", "ema_historical_return", "capm_return"]
SMALL_CAPITAL = [{}, {"capital": 10000, "minWeight": 10, "maxWeight": 25}]


# Every risk model once, the return models taking turns with them; fractional shares now and then, and every
# other case the narrow limits of a small capital, with which whole shares round far from the weights.
@pytest.mark.parametrize("index, riskMethod", list(enumerate(RISK_MODELS)))
def test_equal_to_plain_library_calls(index, riskMethod):
    checkAgainstReference("minvol.MinVolatility", riskMethod=riskMethod,
                          returnMethod=RETURN_MODELS[index % len(RETURN_MODELS)],
                          fractional="YES" if index % 3 == 2 else "NO", solver="SCS", **SMALL_CAPITAL[index % 2])


def test_heat_map_of_the_kept_stocks():
    plt.close("all")
    method, owner, allocation, performance = checkAgainstReference("minvol.MinVolatility", maxWeight=25,
                                                                   minWeight=8)
    assert list(method.s.columns) == list(owner.prices.columns)
    for arguments in ({"figsize": None}, {"pdf": object()}):
        plt.figure()
        ax, second = method.plotAnalysis(**arguments)
        assert second is None
        assert ax.figure is plt.gcf()
        labels = ax.get_xmajorticklabels()
        assert [label.get_text() for label in labels] == list(owner.prices.columns)
        assert {label.get_fontsize() for label in labels + ax.get_ymajorticklabels()} == {8}
        assert ax.collections
        plt.close("all")
    with pytest.raises(TypeError):
        method.plotAnalysis(None)


def test_single_stock_and_stock_without_variance():
    method, owner, allocation, performance = checkAgainstReference(
        "minvol.MinVolatility", syntheticPrices(["A"]), maxWeight=100)
    assert list(allocation["Symbol"]) == ["A"]
    assert allocation["Weight"].iloc[0] > 99
    # A stock whose price never moves takes the whole maximum weight.
    flat = syntheticPrices(list("ABCDE"))
    flat["C"] = 20.0
    method, owner, allocation, performance = checkAgainstReference("minvol.MinVolatility", flat, maxWeight=40)
    assert allocation.set_index("Symbol").loc["C", "Weight"] == 40.0
