"""The allocation pipeline written as plain Python, making the library calls of the program's in the same
order: the baseline the method benchmarks time the program against (the tests check properties instead)."""
import math

import pandas as pd

import methods_support as support

TOLERANCE = 1e-6


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
    weights = dict(sorted(ef.clean_weights(cutoff=cutoff, rounding=None).items()))
    latest = owner.prices.iloc[-1]
    capital = allocation.capital
    if allocation.fractional == "NO":
        priced = {label: weight for label, weight in weights.items() if weight > 0 and label in latest.index}
        facility = DiscreteAllocation(priced, latest.loc[list(priced)], total_portfolio_value=capital)
        try:
            shares = facility.lp_portfolio()[0]
        except Exception:
            shares = facility.greedy_portfolio()[0]
        shares = {label: min(count, math.ceil(capital * priced[label] / latest[label] - 1e-9),
                             math.floor(capital * owner.maxWeight / latest[label] + 1e-9))
                  for label, count in shares.items()}
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
