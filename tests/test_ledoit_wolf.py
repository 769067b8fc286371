"""Ledoit-Wolf shrinkage towards constant correlation, against a numpy transcription of its formulas."""
import warnings

import numpy as np
import pytest

from methods_support import stockPrices
from ledoit_wolf import shrinkage


def transcription(returns):
    t, n = returns.shape
    returns = returns - returns.mean(axis=0, keepdims=True)
    sample_cov = returns.T @ returns / t
    var = np.diag(sample_cov).reshape(-1, 1)
    sqrt_var = var**0.5
    unit_cor_var = sqrt_var * sqrt_var.T
    average_cor = ((sample_cov / unit_cor_var).sum() - n) / n / (n - 1)
    prior = average_cor * unit_cor_var
    np.fill_diagonal(prior, var)
    y = returns**2
    phi = ((y.T @ y) / t - sample_cov**2).sum()
    phi_diag = np.diag((y.T @ y) / t - sample_cov**2).sum()
    theta_mat = ((returns**3).T @ returns) / t - var * sample_cov
    np.fill_diagonal(theta_mat, 0)
    rho = phi_diag + average_cor * ((1 / sqrt_var) @ sqrt_var.T * theta_mat).sum()
    gamma = np.linalg.norm(sample_cov - prior, "fro") ** 2
    shrink = max(0, min(1, (phi - rho) / gamma / t))
    return shrink * prior + (1 - shrink) * sample_cov, average_cor, shrink


def dailyReturns(symbols, years=3):
    return stockPrices(symbols, years=years).pct_change().dropna().to_numpy(copy=True)


def test_real_returns_match_the_formulas_and_are_demeaned_in_place():
    returns = dailyReturns(["AAPL", "AMZN", "BAC", "GE", "JPM", "MA", "PFE", "XOM"])
    expected = transcription(returns.copy())
    sigma, average_cor, shrink = shrinkage(returns)
    np.testing.assert_allclose(sigma, expected[0], rtol=1e-13, atol=0)
    assert average_cor == pytest.approx(expected[1], rel=1e-13)
    assert 0 < shrink < 1 and shrink == pytest.approx(expected[2], rel=1e-12)

    np.testing.assert_allclose(returns.mean(axis=0), 0, atol=1e-17)
    np.testing.assert_array_equal(sigma, sigma.T)
    sample = returns.T @ returns / len(returns)
    np.testing.assert_allclose(np.diag(sigma), np.diag(sample), rtol=1e-13)
    # Off the diagonal every entry lies between the sample covariance and the target, in
    # the proportion of the shrinkage intensity.
    target = average_cor * np.sqrt(np.outer(np.diag(sample), np.diag(sample)))
    off = ~np.eye(len(sigma), dtype=bool)
    np.testing.assert_allclose(sigma[off], (shrink * target + (1 - shrink) * sample)[off], rtol=1e-12)

    again = shrinkage(returns)
    np.testing.assert_allclose(again[0], sigma, rtol=1e-12)


def test_intensity_is_clipped_to_whole_numbers():
    # Uncorrelated noise: the constant-correlation target is the better estimate, full shrinkage.
    noise = np.random.default_rng(1).normal(size=(50, 4))
    sigma, average_cor, shrink = shrinkage(noise.copy())
    assert type(shrink) is int and shrink == 1
    expected = transcription(noise)
    np.testing.assert_allclose(sigma, expected[0], rtol=1e-13)

    # Strongly and unequally correlated stocks over many days: the sample wins.
    rng = np.random.default_rng(6)
    base = rng.normal(size=(4000, 1))
    mixed = base * np.array([[1.0, 0.9, -0.5, 0.2]]) + 0.05 * rng.normal(size=(4000, 4))
    sigma, _, shrink = shrinkage(mixed.copy())
    if type(shrink) is int:
        assert shrink == 0
        np.testing.assert_allclose(sigma, np.cov(mixed, rowvar=False, bias=True), rtol=1e-12)
    else:
        assert shrink < 0.01


def test_degenerate_data_give_not_a_number_without_errors():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        one = np.array([[0.01], [0.02], [-0.01], [0.0]])
        sigma, average_cor, shrink = shrinkage(one.copy())
        assert np.isnan(average_cor) and shrink == 1
        assert sigma.shape == (1, 1) and sigma[0, 0] == pytest.approx(np.var(one))

        flat = np.array([[0.01, 0.0], [0.03, 0.0], [-0.02, 0.0]])
        sigma, average_cor, shrink = shrinkage(flat.copy())
        assert np.isnan(average_cor) and shrink == 1
        assert sigma[0, 0] == pytest.approx(np.var(flat[:, 0])) and sigma[1, 1] == 0
        assert np.isnan(sigma[0, 1]) and np.isnan(sigma[1, 0])


def test_bad_input_is_rejected_untouched():
    vector = np.array([0.01, 0.02, 0.03])
    with pytest.raises(ValueError):
        shrinkage(vector)
    with pytest.raises(ValueError):
        shrinkage(np.zeros((2, 2, 2)))
    np.testing.assert_array_equal(vector, [0.01, 0.02, 0.03])
    whole = np.array([[1, 2], [3, 5], [4, 4]])
    with pytest.raises(TypeError):
        shrinkage(whole)
    np.testing.assert_array_equal(whole, [[1, 2], [3, 5], [4, 4]])
    with pytest.raises(TypeError):
        shrinkage()
    with pytest.raises(TypeError):
        shrinkage(whole, whole)
    assert shrinkage(returns=np.eye(3) + 0.1)[0].shape == (3, 3)
