"""The Riskfolio methods written as plain library calls, checks against them, and a stand-in for the
recommendation tab's chart rendering."""
import io

import matplotlib.pyplot as plt
import pandas as pd
import pandas.testing as pdt
import pytest

from methods_support import checkAllocation, checkPruning, makeOwner, stockPrices

TEN = ["AAPL", "AMZN", "BAC", "GE", "JPM", "MA", "PFE", "SBUX", "WMT", "XOM"]

RISK_CODES = {
    "sample_cov": ("MV", "hist"),
    "semicovariance": ("MSV", "hist"),
    "exp_cov": ("MV", "ewma1"),
    "ledoit_wolf": ("MV", "ledoit"),
    "ledoit_wolf_constant_variance": ("MV", "ledoit"),
    "ledoit_wolf_single_factor": ("MV", "ledoit"),
    "ledoit_wolf_constant_correlation": ("MV", "ledoit"),
    "oracle_approximating": ("MV", "oas"),
}
RETURN_CODES = {"mean_historical_return": "hist", "ema_historical_return": "ewma1", "capm_return": "JS"}


def yearOfPrices(symbols=TEN):
    """One year of real prices: the library's drawdown figures cost seconds per year of data."""
    return stockPrices(symbols, years=1)


class CellsCaptured(Exception):
    pass


class CaptureAx:
    def get_figure(self):
        pass

    def set_axis_off(self):
        pass

    def axis(self, *args):
        pass

    def table(self, cellText=None, **kwargs):
        raise CellsCaptured(cellText)


def performanceCells(returns, w):
    """The cell texts of the library's performance table for these weights."""
    import riskfolio as rp

    if len(w) < 2:
        w = pd.concat([w, pd.DataFrame({"weights": [0]}, index=["@@@"])])
        returns = returns.assign(**{"@@@": 0})
    try:
        rp.plot_table(returns, w, ax=CaptureAx())
    except CellsCaptured as captured:
        return captured.args[0]


def figure(text):
    """A hundredth of the number the table shows, as the pipeline shows every figure a hundredfold."""
    try:
        return float(text.removesuffix("%")) / 100.0
    except (ValueError, AttributeError):
        return ""


class PlainSolve:
    """The weights and performance figures of a Riskfolio method, made with plain library calls; `build` makes
    the portfolio."""

    def __init__(self, owner, build):
        allocation = owner.config.allocation
        returns = owner.prices.pct_change().dropna()
        self.rm, self.riskMethod = RISK_CODES[allocation.riskMethod]
        self.method = RETURN_CODES[allocation.returnMethod]
        self.rf = allocation.benchmark / 100 / allocation.tradingDaysPerYear
        self.port, self.w = build(owner, returns, self)
        cells = performanceCells(returns, self.w)
        self.names = list(cells[:, 0])
        self.texts = dict(zip(cells[:, 0], cells[:, 1]))
        self.values = [figure(text) for text in cells[:, 1]]

    def clean_weights(self, cutoff, rounding):
        """Every stock, those below the cutoff with weight 0, as PyPortfolioOpt's optimisers give them."""
        return {label: weight if weight >= cutoff else 0.0 for label, weight in self.w["weights"].items()}

    def portfolio_performance(self, **rates):
        return self.values


def realMean(mu):
    """The library's James-Stein mean has imaginary parts of 0, which its solvers refuse."""
    import numpy as np

    return pd.DataFrame(np.real(mu.to_numpy()), index=mu.index, columns=mu.columns)


def buildEF(owner, returns, solve):
    import riskfolio as rp

    port = rp.Portfolio(returns=returns, upperlng=owner.maxWeight)
    port.assets_stats(method_mu=solve.method, method_cov=solve.riskMethod)
    port.mu = realMean(port.mu)
    # The semideviation below the returns' own mean, as the library's chart and table measure it.
    port.returns = returns - returns.mean() + port.mu.iloc[0]
    objective = owner.config.allocation.objective
    if objective == "ERC":
        return port, port.rp_optimization(model="Classic", rm=solve.rm, rf=solve.rf, hist=True)
    return port, port.optimization(model="Classic", rm=solve.rm, obj=objective, rf=solve.rf, l=0, hist=True)


def buildHRP(owner, returns, solve):
    import riskfolio as rp

    port = rp.HCPortfolio(returns=returns, w_max=owner.maxWeight)
    allocation = owner.config.allocation
    model = "HRP" if allocation.objective in ("MinRisk", "MaxRet") else "NCO"
    mu = realMean(rp.src.ParamsEstimation.mean_vector(returns, method=solve.method))
    # Of two stocks the library cannot choose the number of clusters; it takes one cluster for three.
    clusters = {"k": 1} if model == "NCO" and len(returns.columns) == 2 else {}
    return port, port.optimization(model=model, obj=allocation.objective, rm=solve.rm, method_mu="custom_mu",
                                   custom_mu=mu, method_cov=solve.riskMethod,
                                   **clusters)


def recordingPasses(cls):
    """The method class with the weights of every solve kept in `passes`."""

    class Recording(cls):
        def createPortfolioObject(self, returns=None):
            super().createPortfolioObject(returns=returns)
            self.__dict__.setdefault("passes", []).append(self.w)

    return Recording


def checkAgainstPlain(cls, build, prices=None, **allocation):
    """Runs the method: each solve gives the weights of the plain library calls on the tables it saw, the
    figures are the library's table for the last ones, and the pruning and the allocation hold. Returns
    (method, owner, allocation table, performance table, plain solve of the kept stocks)."""
    owner = makeOwner(yearOfPrices() if prices is None else prices, **allocation)
    first = PlainSolve(makeOwner(owner.prices.copy(), **allocation), build)
    method = recordingPasses(cls)()
    import riskfolio as rp

    library, tables = rp.plot_table, []
    rp.plot_table = lambda *args, **named: tables.append(args) or library(*args, **named)
    try:
        table, performance = method.computeRecommendation(owner)
    finally:
        rp.plot_table = library
    assert len(tables) == 1  # the table of the result shown only
    pdt.assert_frame_equal(method.passes[0], first.w)
    checkPruning(owner, dict(first.w["weights"]))
    plain = PlainSolve(owner, build)
    assert len(method.passes) == 2
    pdt.assert_frame_equal(method.passes[1], plain.w)
    checkAllocation(owner, dict(plain.w["weights"]), table, performance, plain.names)
    assert method.results == plain.names
    # The library's figures; the relativistic ones, where CLARABEL gives up, from a solve held to a bound.
    tolerances = [5e-3 if "Relativistic" in name else 1e-15 for name in plain.names]
    assert method.values == [value if value == "" else pytest.approx(value, rel=tolerance)
                             for value, tolerance in zip(plain.values, tolerances)]
    assert list(performance["Value"].iloc[:-1]) == [value if value == "" else pytest.approx(value * 100, rel=tolerance)
                                                    for value, tolerance in zip(plain.values, tolerances)]
    return method, owner, table, performance, plain


def axToPng(ax):
    """The tab's rendering: the whole figure that holds `ax`, at 150 dots per inch, then closed."""
    fig = ax.get_figure()
    try:
        fig.tight_layout()
    except Exception:
        pass
    buffer = io.BytesIO()
    fig.savefig(buffer, dpi=150)
    plt.close(fig)
    return buffer.getvalue()


def pngSize(data):
    from PIL import Image

    return Image.open(io.BytesIO(data)).size


def chartTexts(fig):
    """Every axis label and title drawn in the figure, empty ones left out."""
    texts = []
    for ax in fig.axes:
        texts += [ax.get_xlabel(), ax.get_ylabel()]
        texts += [ax.get_title(loc=loc) for loc in ("left", "center", "right")]
    return [text for text in texts if text]
