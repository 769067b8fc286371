"""Maximum Sharpe ratio with its L2 term against the same library calls in plain Python."""
import logging

import pytest
from pypfopt import efficient_frontier, objective_functions, risk_models

from methods_support import checkAgainstPlainSolves, checkAgainstReference, makeOwner, stockPrices

RISK_MODELS = ["sample_cov", "semicovariance", "exp_cov", "ledoit_wolf", "ledoit_wolf_constant_variance",
               "ledoit_wolf_single_factor", "ledoit_wolf_constant_correlation", "oracle_approximating"]
RETURN_MODELS = ["mean_historical_return", "ema_historical_return", "capm_return"]
SMALL_CAPITAL = [{}, {"capital": 10000, "minWeight": 10, "maxWeight": 25}]


@pytest.mark.parametrize("index, riskMethod", list(enumerate(RISK_MODELS)))
def test_equal_to_plain_library_calls(index, riskMethod):
    checkAgainstReference("maxsharpe.MaxSharpe", riskMethod=riskMethod,
                          returnMethod=RETURN_MODELS[index % len(RETURN_MODELS)],
                          gamma=[10, 100, 0][index % 3], fractional="YES" if index % 4 == 3 else "NO",
                          **SMALL_CAPITAL[index % 2])


def test_gamma_weighs_the_l2_term(monkeypatch):
    from maxsharpe import MaxSharpe

    added = []
    original = efficient_frontier.EfficientFrontier.add_objective

    def recording(self, objective, **arguments):
        added.append((objective, arguments))
        return original(self, objective, **arguments)

    monkeypatch.setattr(efficient_frontier.EfficientFrontier, "add_objective", recording)
    for gamma, weight in ((100, 1.0), (0, 0.0)):
        added.clear()
        method = MaxSharpe()
        owner = makeOwner(gamma=gamma)
        method.computeRecommendation(owner)
        assert added == [(objective_functions.L2_reg, {"gamma": weight})] * 2
        assert method.owner is owner
        assert list(method.ef.tickers) == list(owner.prices.columns)
        assert method.plotAnalysis(figsize=None) == (None, None)


def test_without_the_l2_term_warns_and_still_maximises(caplog):
    from maxsharpe import MaxSharpe

    class PlainFrontier(efficient_frontier.EfficientFrontier):
        def __getattribute__(self, name):
            if name == "add_objective":
                raise AttributeError(name)
            return super().__getattribute__(name)

    def plain(owner):
        s = risk_models.risk_matrix(owner.prices, method=owner.config.allocation.riskMethod)
        ef = efficient_frontier.EfficientFrontier(owner.expectedReturns, s, weight_bounds=(0, owner.maxWeight),
                                                  solver="ECOS_BB")
        ef.max_sharpe(risk_free_rate=owner.config.allocation.benchmark / 100.0)
        return ef

    class WithoutGamma(MaxSharpe):
        def computeRecommendation2(self, owner):
            owner.config.allocation.pop("gamma", None)
            return super().computeRecommendation2(owner)

    class WithoutObjectives(MaxSharpe):
        def computeRecommendation2(self, owner):
            owner.optimizer = PlainFrontier
            return super().computeRecommendation2(owner)

    # Once without a configured gamma, once with an optimiser that offers no objectives.
    for cls in (WithoutGamma, WithoutObjectives):
        caplog.clear()
        with caplog.at_level(logging.WARNING):
            checkAgainstPlainSolves(cls, plain, MaxSharpe.results)
        warnings = [record for record in caplog.records if record.name == "maxsharpe"]
        assert [record.getMessage() for record in warnings] == ["No L2_reg objective function available"] * 2
        assert all(record.exc_info is None for record in warnings)


@pytest.mark.parametrize("benchmark, maxWeight", [(20, 100), (17, 100), (9.87, 25)])
def test_every_sharpe_objective_is_refused_where_no_return_lies_above_the_benchmark(benchmark, maxWeight):
    import deopt
    from maxsharpe import MaxSharpe
    from riskef import RiskFolioEF
    from riskhrp import RiskFolioHRP

    # No estimate of these stocks' returns over ten years lies above 17 % a year (the mean of BAC's daily
    # returns comes closest). MaxSharpe2 put 98 % into the riskiest losing stock; every method with a Sharpe
    # objective refuses, naming the benchmark. At 25 % a stock, PFE's 10.17 % a year is reached by no
    # portfolio: MaxSharpe2 bought one returning 4.3 %, below a benchmark of 9.87 %.
    prices = stockPrices(["GE", "PFE", "XOM", "BAC", "WMT"], years=10)
    # The Risk Folio methods estimate BAC's arithmetic mean at 16 %, which a quarter of it still clears.
    methods = [deopt.MaxSharpe2, MaxSharpe] + ([RiskFolioEF, RiskFolioHRP] if maxWeight == 100 else [])
    for cls in methods:
        owner = makeOwner(prices, objective="Sharpe", benchmark=benchmark, minWeight=0, maxWeight=maxWeight,
                          riskMethod="ledoit_wolf")
        with pytest.raises(ValueError, match=f"above the benchmark of {benchmark} %"):
            cls().computeRecommendation(owner)


def test_what_a_whole_share_maximum_takes_off_a_dear_stock_goes_to_the_stocks_below_it():
    # AMZN (1,169.50) at 27.37 % got 2 shares, 23.39 %, since a third would pass 30 %, and the 3.98 % it could not
    # take stayed as cash though AAPL and JPM stood 8 points below the maximum: 96.20 % invested.
    prices = stockPrices(["AAPL", "AMZN", "BAC", "GE", "JPM", "MA", "PFE", "SBUX", "WMT", "XOM"], 5, "2018-01-01")
    method, owner, table, performance = checkAgainstReference("maxsharpe.MaxSharpe", prices)
    assert table["Weight"].sum() > 97 and (table["Value"] <= 3000 * (1 + 1e-9)).all()
    assert dict(zip(table["Symbol"], table["Shares"]))["AMZN"] == 2
