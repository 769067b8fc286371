"""The allocation pipeline written as plain Python, making the library calls of the program's in the same
order: the baseline the method benchmarks time the program against (the tests check properties instead)."""
import math

import pandas as pd

import methods_support as support

TOLERANCE = 1e-6
LEFT_OUT = 1e-4


def cappedIntegerProgram(weights, prices, capital, caps):
    """The library's integer program of `lp_portfolio`, each stock's count bounded by its cap."""
    import cvxpy as cp
    import numpy as np

    p = prices.to_numpy(dtype="float64")
    w = np.array(list(weights.values()), dtype="float64")
    x, u = cp.Variable(len(p), integer=True), cp.Variable(len(p))
    remaining = capital - p @ x
    eta = w * capital - cp.multiply(x, p)
    problem = cp.Problem(cp.Minimize(cp.sum(u) + remaining),
                         [eta <= u, eta >= -u, x >= 0, x <= np.array(list(caps.values()), dtype="float64"),
                          remaining >= 0])
    problem.solve()
    if problem.status not in {"optimal", "optimal_inaccurate"}:
        raise ValueError(problem.status)
    return {label: int(count) for label, count in zip(weights, np.rint(x.value))}


def referenceRecommendation(owner, solve, results, performance=None):
    """(Allocation table, Performance table, optimiser) for `solve(owner)`, the solved optimiser;
    `performance(ef, owner)` stands in for the library's performance call with the configured rates."""
    from pypfopt.discrete_allocation import DiscreteAllocation

    allocation = owner.config.allocation
    cutoff = max(owner.minWeight - TOLERANCE, 0.0)
    ef = solve(owner)
    kept = []
    for label, weight in sorted(support.uncut(ef).items(), key=lambda entry: entry[1], reverse=True):
        if len(kept) <= 1 / owner.maxWeight or weight >= cutoff:
            kept.append(label)
    kept = sorted(kept)
    owner.prices = owner.prices[kept]
    owner.expectedReturns = owner.expectedReturns.loc[kept]
    owner.historicReturns = owner.historicReturns[kept]
    ef = solve(owner)
    weights = dict(sorted(ef.clean_weights(cutoff=max(cutoff, LEFT_OUT), rounding=None).items()))
    latest = owner.prices.iloc[-1]
    capital = allocation.capital
    if allocation.fractional == "NO":
        priced = {label: weight for label, weight in weights.items() if weight > 0 and label in latest.index}
        caps = {label: max(0, min(math.ceil(capital * weight / latest[label] - 1e-9),
                                  math.floor(capital * owner.maxWeight / latest[label] + 1e-9)))
                for label, weight in priced.items()}
        try:
            shares = cappedIntegerProgram(priced, latest.loc[list(priced)], capital, caps)
        except Exception:
            facility = DiscreteAllocation(priced, latest.loc[list(priced)], total_portfolio_value=capital)
            shares = facility.greedy_portfolio()[0]
        shares = {label: min(count, caps[label]) for label, count in shares.items()}
        shares = {label: count for label, count in shares.items() if count > 0}
    else:
        total = sum(weights.values())
        shares = {label: capital * min(weight / total, owner.maxWeight) / latest[label]
                  for label, weight in weights.items() if weight > 0}
    table = pd.DataFrame(list(shares.items()), columns=["Symbol", "Shares"])
    if allocation.fractional == "NO":
        table["Shares"] = table["Shares"].astype(int)
    table = table.merge(pd.DataFrame(list(latest.items()), columns=["Symbol", "Price"]), on="Symbol", sort=True)
    table["Value"] = table["Shares"] * table["Price"]
    table["Weight"] = table["Value"] / capital * 100
    try:
        ef.set_weights(weights)
    except Exception:
        pass
    figures = (performance or support.libraryPerformance)(ef, owner)
    values = [figure * 100 for figure in figures] + [table["Value"].sum()]
    return table, pd.DataFrame({"Name": list(results) + ["Sum"], "Value": values}).round(2), ef


def reference(dottedName, owner):
    """(Allocation table, Performance table, optimiser) of the plain-Python counterpart of a method."""
    solve, results, performance = support.REFERENCES[dottedName]
    return referenceRecommendation(owner, solve, results, performance=performance)
