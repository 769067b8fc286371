// A part of the differential-evolution methods: the estimators of expected return and risk they feed the
// search with, chosen by the allocation settings.
#include "parts.hpp"

#include <algorithm>
#include <vector>

namespace velmora::deopt {

using velmora::matmul;
using velmora::power;

namespace {

py::object dailyReturns(py::object prices) { return prices.attr("pct_change")(); }

py::object lastEwmaMean(py::object series, py::object span) {
    return series.attr("ewm")("span"_a = span).attr("mean")().attr("iloc")[py::int_(-1)];
}

void prepare(py::object self) {}

py::object computeEwmaReturns(py::object self, py::object prices, py::object frequency, py::object span) {
    py::object returns = dailyReturns(prices).attr("dropna")("how"_a = "all");
    py::object ewmaLast = lastEwmaMean(returns, span);
    return power(py::int_(1) + ewmaLast, frequency) - py::int_(1);
}

py::object expPairCov(py::object self, py::object X, py::object Y, py::object span) {
    py::object covariation = (X - X.attr("mean")()) * (Y - Y.attr("mean")());
    return lastEwmaMean(covariation, span);
}

py::object computeExpCov(py::object self, py::object prices, py::object frequency, py::object span) {
    py::object returns = dailyReturns(prices).attr("dropna")("how"_a = "all");
    py::object columns = prices.attr("columns");
    py::ssize_t n = py::len(columns);
    Array S(std::vector<py::ssize_t>{n, n});
    std::fill(S.mutable_data(), S.mutable_data() + n * n, 0.0);
    double *entries = S.mutable_data();
    py::object byPosition = returns.attr("iloc");
    auto all = py::reinterpret_steal<py::object>(PySlice_New(nullptr, nullptr, nullptr));
    for (py::ssize_t i = 0; i < n; ++i)
        for (py::ssize_t j = i; j < n; ++j) {
            double v = self.attr("expPairCov")(byPosition[py::make_tuple(all, i)],
                                               byPosition[py::make_tuple(all, j)], "span"_a = span)
                           .cast<double>();
            entries[i * n + j] = v;
            entries[j * n + i] = v;
        }
    return py::module_::import("pandas").attr("DataFrame")(S * frequency, "columns"_a = columns,
                                                            "index"_a = columns);
}

// The mean cross-product of the shortfalls below the daily risk-free rate. Their covariance
// (demeaned) would give a stock that falls short by the same amount every day no risk at all.
py::object computeSemiCov(py::object self, py::object prices, py::object riskFree, py::object frequency) {
    py::object returns = dailyReturns(prices).attr("dropna")();
    py::object drops = numpy().attr("fmin")(returns - riskFree / frequency, 0);
    py::object observations = py::tuple(drops.attr("shape"))[0];
    py::object semicov = matmul(drops.attr("T"), drops) / observations * frequency;
    return semicov.attr("values");
}

py::object computeCapmReturn(py::object self, py::object prices, py::object frequency, py::object riskFree) {
    py::object returns = dailyReturns(prices).attr("dropna")("how"_a = "all");
    returns["_mkt"] = returns.attr("mean")("axis"_a = 1);
    py::object cov = returns.attr("cov")();
    py::object market = cov["_mkt"];
    py::object marketVariance = cov.attr("loc")[py::make_tuple("_mkt", "_mkt")];
    py::object betas = (market / marketVariance).attr("drop")("_mkt");
    py::object marketReturns = returns["_mkt"];
    py::object growth = (py::int_(1) + marketReturns).attr("prod")();
    py::object mkt_mean_ret = power(growth, frequency / marketReturns.attr("count")()) - py::int_(1);
    return riskFree + betas * (mkt_mean_ret - riskFree);
}

// The compound annual growth from the first to the last price. n prices span n - 1 daily
// periods; counting the prices would understate every return.
py::object meanHistoricalReturn(py::object prices, py::object tradingDays) {
    py::object rows = py::int_(py::len(prices));
    py::object periods = rows - py::int_(1);
    py::object last = prices.attr("iloc")[py::int_(-1)];
    py::object first = prices.attr("iloc")[py::int_(0)];
    py::object growth = last / first;
    return power(growth, py::int_(1) / (periods / tradingDays)) - py::int_(1);
}

}  // namespace

py::object allocationSetting(py::handle owner, const char *key) {
    return owner.attr("config").attr("allocation").attr(key);
}

void estimateReturns(py::object self, py::object owner, py::object prices) {
    py::object method = allocationSetting(owner, "returnMethod");
    py::object tradingDays = allocationSetting(owner, "tradingDaysPerYear");
    if (method.equal(py::str("mean_historical_return")))
        self.attr("expectedReturns") = meanHistoricalReturn(prices, tradingDays);
    else if (method.equal(py::str("ema_historical_return")))
        self.attr("expectedReturns") = self.attr("computeEwmaReturns")(prices, tradingDays, 500);
    else if (method.equal(py::str("capm_return")))
        self.attr("expectedReturns") = self.attr("computeCapmReturn")(
            prices, "frequency"_a = tradingDays,
            "riskFree"_a = allocationSetting(owner, "benchmark") / py::int_(100));
}

void estimateRisk(py::object self, py::object owner, py::object prices) {
    py::object method = allocationSetting(owner, "riskMethod");
    auto is = [&method](const char *name) { return method.equal(py::str(name)); };
    const char *label = "Volatility";
    if (is("sample_cov")) {
        py::object returns = dailyReturns(prices).attr("dropna")();
        py::object sample = returns.attr("cov")().attr("values");
        self.attr("cov") = sample * allocationSetting(owner, "tradingDaysPerYear");
    } else if (is("exp_cov")) {
        self.attr("cov") = self.attr("computeExpCov")(
            prices, "frequency"_a = allocationSetting(owner, "tradingDaysPerYear"), "span"_a = 180);
    } else if (is("semicovariance")) {
        self.attr("cov") = self.attr("computeSemiCov")(
            prices, "frequency"_a = allocationSetting(owner, "tradingDaysPerYear"),
            "riskFree"_a = allocationSetting(owner, "benchmark") / py::int_(100));
        label = "Downside Volatility";
    } else if (is("ledoit_wolf")) {
        // The estimator demeans its input in place, so it gets a copy of its own.
        py::object returns = dailyReturns(prices).attr("dropna")().attr("to_numpy")("dtype"_a = "float64",
                                                                                    "copy"_a = true);
        py::object sigma = py::module_::import("ledoit_wolf").attr("shrinkage")(returns)[py::int_(0)];
        self.attr("cov") = sigma * allocationSetting(owner, "tradingDaysPerYear");
    } else if (is("ledoit_wolf_constant_variance") || is("ledoit_wolf_single_factor")
               || is("ledoit_wolf_constant_correlation") || is("oracle_approximating")) {
        py::object riskModels = py::module_::import("pypfopt.risk_models");
        self.attr("cov") = riskModels.attr("risk_matrix")(prices, "method"_a = method);
    } else {
        return;
    }
    self.attr("riskObjective") = velmora::translate(label);
}

void defineEstimators(py::module_ &m, py::object cls) {
    velmora::method(cls, "prepare", &prepare);
    velmora::method(cls, "computeEwmaReturns", &computeEwmaReturns, "prices"_a, "frequency"_a, "span"_a);
    velmora::method(cls, "expPairCov", &expPairCov, "X"_a, "Y"_a, "span"_a = 180);
    velmora::method(cls, "computeExpCov", &computeExpCov, "prices"_a, "frequency"_a = 252, "span"_a = 180);
    velmora::method(cls, "computeSemiCov", &computeSemiCov, "prices"_a, "riskFree"_a = 0.0,
                    "frequency"_a = 252);
    velmora::method(cls, "computeCapmReturn", &computeCapmReturn, "prices"_a, "frequency"_a = 252,
                    "riskFree"_a = 0.0);
}

}  // namespace velmora::deopt
