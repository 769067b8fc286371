// Ledoit-Wolf shrinkage of the sample covariance towards a constant-correlation target.
#include "pyclass.hpp"

namespace {

using velmora::matmul;
using velmora::power;

// The estimator with the divisor T throughout. The caller's array is demeaned in place:
// the one caller hands in returns it has just computed and holds nowhere else, so the copy
// is saved.
py::tuple shrinkage(py::object returns) {
    py::module_ np = py::module_::import("numpy");
    py::tuple shape(returns.attr("shape"));
    if (shape.size() != 2)
        velmora::raise(PyExc_ValueError, shape.size() < 2 ? "not enough values to unpack (expected 2, got "
                                                                  + std::to_string(shape.size()) + ")"
                                                            : "too many values to unpack (expected 2)");
    py::object t = shape[0], n = shape[1];
    py::object mean_returns = np.attr("mean")(returns, "axis"_a = 0, "keepdims"_a = true);
    returns -= mean_returns;

    py::object sample_cov = matmul(returns.attr("T"), returns) / t;
    py::object var = np.attr("diag")(sample_cov).attr("reshape")(-1, 1);
    py::object sqrt_var = power(var, py::float_(0.5));
    py::object unit_cor_var = sqrt_var * sqrt_var.attr("T");
    py::object average_cor = ((sample_cov / unit_cor_var).attr("sum")() - n) / n / (n - py::int_(1));
    py::object prior = average_cor * unit_cor_var;
    np.attr("fill_diagonal")(prior, var);

    py::object y = power(returns, py::int_(2));
    py::object phi_mat = matmul(y.attr("T"), y) / t - power(sample_cov, py::int_(2));
    py::object phi = phi_mat.attr("sum")();
    py::object theta_mat =
        matmul(power(returns, py::int_(3)).attr("T"), returns) / t - var * sample_cov;
    np.attr("fill_diagonal")(theta_mat, 0);
    py::object ratios = matmul(py::int_(1) / sqrt_var, sqrt_var.attr("T")) * theta_mat;
    py::object rho = np.attr("diag")(phi_mat).attr("sum")() + average_cor * ratios.attr("sum")();
    py::object gamma = power(np.attr("linalg").attr("norm")(sample_cov - prior, "fro"), py::int_(2));
    py::object kappa = (phi - rho) / gamma;

    // Written as two comparisons rather than min/max so that a kappa that is not a
    // number (one asset, a constant column) gives full shrinkage towards the target.
    py::object q = kappa / t;
    py::object bounded = q < py::int_(1) ? q : py::object(py::int_(1));
    py::object shrink = bounded > py::int_(0) ? bounded : py::object(py::int_(0));
    py::object sigma = shrink * prior + (py::int_(1) - shrink) * sample_cov;
    return py::make_tuple(sigma, average_cor, shrink);
}

}  // namespace

PYBIND11_MODULE(ledoit_wolf, m) { m.def("shrinkage", &shrinkage, "returns"_a); }
