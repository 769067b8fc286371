"""Every method at the shipped defaults on ten real stocks over ten years, charts included, run inside the
program's interpreter:

    tools/with-display build/velmora-tests -p no:cacheprovider -q -s bench/bench_every_method.py

Each case runs `computeRecommendation` on a fresh method and owner, then `plotAnalysis` as the tab calls it and
draws every open figure into a PNG, as the tab shows them; best of three runs (after one run that loads the
libraries), median in brackets. Each case prints one result row for bench/README.md."""
import io
import json
import sys
import time
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import gettext  # noqa: E402

gettext.NullTranslations().install()
import matplotlib.pyplot as plt  # noqa: E402

import methods_support as support  # noqa: E402
from fields import resolve  # noqa: E402

TEN = ["AAPL", "AMZN", "BAC", "GE", "JPM", "MA", "PFE", "SBUX", "WMT", "XOM"]
SHIPPED = json.loads((Path(__file__).resolve().parent.parent / "default.json").read_text())["allocation"]
METHODS = ["minvol.MinVolatility", "maxsharpe.MaxSharpe", "minsemi.MinSemi", "cvar.CVaR", "hrp.HRP",
           "deopt.MaxSharpe2", "deopt.MinVolatility2", "riskef.RiskFolioEF", "riskhrp.RiskFolioHRP"]
CASES = [(name, {}) for name in METHODS] + [
    ("riskef.RiskFolioEF", {"riskMethod": "semicovariance"}),
    ("deopt.MaxSharpe2", {"fractional": "YES", "minWeight": 2, "maxWeight": 15, "stocks": 20}),
    ("deopt.MinVolatility2", {"fractional": "YES", "minWeight": 2, "maxWeight": 15, "stocks": 20}),
]


def pricesOf(stocks):
    if stocks == 20:  # all 20 are listed together only since September 2014
        return support.stockPrices(years=10).dropna(axis="index")
    return support.stockPrices(TEN, years=10)


def runOnce(cls, prices, settings):
    shipped = {key: value for key, value in SHIPPED.items() if key in support.ALLOCATION or key == "objective"}
    owner = support.makeOwner(prices, **{**shipped, **settings})
    began = time.perf_counter()
    method = cls()
    method.computeRecommendation(owner)
    computed = time.perf_counter()
    plt.close("all")
    method.plotAnalysis(figsize=(9, 7))
    for number in plt.get_fignums():
        plt.figure(number).savefig(io.BytesIO(), format="png")
    plt.close("all")
    return computed - began, time.perf_counter() - began


@pytest.mark.parametrize("name, settings", CASES, ids=[f"{name}-{index}" for index, (name, _) in enumerate(CASES)])
def test_method_time(name, settings):
    settings = dict(settings)
    prices = pricesOf(settings.pop("stocks", 10))
    cls = resolve(name)
    runOnce(cls, prices, settings)
    np.random.seed(1)
    computes, totals = zip(*(runOnce(cls, prices, settings) for _ in range(3)))
    label = name + "".join(f", {key} {value}" for key, value in settings.items())
    print(f"\n| {label}, {len(prices.columns)} stocks | {min(computes):.2f} s (median {np.median(computes):.2f}) "
          f"| {min(totals):.2f} s (median {np.median(totals):.2f}) | < 3 s |")
