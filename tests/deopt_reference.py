"""The share-count optimiser and the two objectives written in plain numpy, making the same SciPy call:
the reference that tests and benchmarks hold the compiled module against."""
import numpy as np
import pandas as pd
import scipy.optimize


class ReferenceOptimizer:
    def __init__(self, capital, prices, minWeight, maxWeight, progress=None, minDelta=0.01, fractional="NO"):
        self.capital = capital
        self.prices = prices
        self.minWeight = minWeight
        self.maxWeight = maxWeight
        self.fractional = fractional
        self.progress = progress
        self.minDelta = minDelta
        self.stockCount = len(prices.columns)
        self.lastPrices = prices.iloc[-1].values

    @staticmethod
    def QuadForm(x, y):
        if x.ndim < 2:
            return np.linalg.multi_dot([x.T, y, x])
        prod = np.tensordot(y, x.T, axes=1)
        ret = np.tensordot(x, prod, axes=1)
        if ret.ndim > 1:
            ret = np.diagonal(ret)
        return ret

    def RealCount(self, x):
        n = self.stockCount
        return x[:n] * x[n:]

    def Weights(self, x):
        return self.RealCount(x).T * self.lastPrices / self.capital

    def Objective(self, x):
        if x.ndim > 1 and x.shape[1] == 0:
            return np.zeros(0)
        self.valid = True
        scores = self.objectiveFunc(self.Weights(x))
        return np.where(np.isnan(scores), np.inf, scores) if np.ndim(scores) else (np.inf if np.isnan(scores) else scores)

    def CapitalConstraint(self, x):
        ret = self.RealCount(x).T @ self.lastPrices
        if x.ndim > 1:
            ret = ret.reshape(1, x.shape[1])
        return ret

    def Callback(self, *args, **kwargs):
        history = self.history
        if self.progress is not None and not self.progress(len(history) + 1, max(10, len(history) + 4)):
            return True
        if not self.valid:
            history.append(np.nan)
            return None
        history.append(self.Objective(args[0]))
        if len(history) > 4:
            delta = history[-4] - history[-1]
            s = np.std(history)
            limit = s / 4 if s / 4 > self.minDelta else self.minDelta
            if delta < limit:
                if self.progress is not None:
                    self.progress(None, maxValue=len(history))
                return True
        return None

    def capitalKeepingPolish(self, lowest):
        def polish(func, x0, **named):
            result = scipy.optimize.minimize(func, x0, method="SLSQP", **named)
            if not lowest <= self.CapitalConstraint(result.x) <= self.capital * (1 + 1e-6):
                result.success = False
            return result

        return polish

    def optimize(self, objective, x0=None):
        """Returns the allocation table, the weights and the library's result."""
        lowest = 0.99 * self.capital - 2 * np.median(self.lastPrices)
        constraint = scipy.optimize.NonlinearConstraint(self.CapitalConstraint, lb=lowest, ub=self.capital)
        whole = self.fractional == "NO"
        if whole:
            upper = np.round(self.capital * self.maxWeight // self.lastPrices, 0)
            lower = np.minimum(np.ceil(self.capital * self.minWeight / self.lastPrices - 1e-9), upper)
        else:
            lower = self.capital * self.minWeight / self.lastPrices
            upper = self.capital * self.maxWeight / self.lastPrices
        n = self.stockCount
        bounds = list(zip(lower, upper)) + [(0, 1)] * n
        integrality = [whole] * n + [True] * n
        self.history = []
        self.valid = False
        if self.progress is not None:
            self.progress(0, 10)
        self.objectiveFunc = objective
        ret = scipy.optimize.differential_evolution(
            self.Objective, constraints=(constraint,), bounds=bounds, integrality=integrality,
            vectorized=False, mutation=(0.05, 0.2), maxiter=50, popsize=40, callback=self.Callback, x0=x0,
            polish=self.capitalKeepingPolish(lowest))
        w = self.Weights(ret.x)
        counts = self.RealCount(ret.x)
        recommendation = pd.DataFrame({
            "Symbol": self.prices.columns, "Weight": w * 100,
            "Shares": counts.astype(int) if whole else counts, "Price": self.lastPrices,
            "Value": counts * self.lastPrices})
        return recommendation[recommendation["Value"] > 1], w, ret


def sharpeObjective(expectedReturns, cov, riskFree):
    expectedReturns = np.asarray(expectedReturns, dtype=float)
    cov = np.asarray(cov, dtype=float)

    def objective(w):
        vol = np.sqrt(ReferenceOptimizer.QuadForm(w, cov))
        sharpe = (w @ expectedReturns - riskFree) / vol
        return -sharpe * (np.sum(w) if w.ndim < 2 else np.sum(w, axis=1))

    return objective


def volatilityObjective(cov):
    cov = np.asarray(cov, dtype=float)

    def objective(w):
        vol = np.sqrt(ReferenceOptimizer.QuadForm(w, cov))
        return vol / (np.sum(w) if w.ndim < 2 else np.sum(w, axis=1))

    return objective
