"""The Gaussian mixture EM: agreement with a NumPy implementation, recovery, histories, degenerate
data and failures."""
import math
import os

import numpy as np
import pytest

from brivane_core import PanicException, run_em_loop
from conftest import em_arguments, three_peak_spectrum
import reference_em


def fit(**args):
    t, ll, rel, s_tri = run_em_loop(**args)
    return t, ll, rel, s_tri, args["mu"], args["sigma"], args["pi"]


def reference(args, basis=None):
    return reference_em.run_em(
        args["x"], args["intensity"], args["mu"], args["sigma"], args["pi"], args["dirichlet_alpha"],
        args["fix_mu"], args["fix_sigma"], args["max_iter"], args["r_eps"], args["x_min"],
        args["x_max"], args.get("bg_type", 0), args.get("s_tri", 0.0), basis)


def assert_matches_reference(args, rtol=1e-9, basis=None):
    expected = reference({k: (v.copy() if isinstance(v, np.ndarray) else v) for k, v in args.items()}, basis)
    got = fit(**args)
    assert got[0] == expected[0]
    np.testing.assert_allclose(got[1], expected[1], rtol=rtol)
    np.testing.assert_allclose(got[2][1:], expected[2][1:], rtol=1e-6, atol=1e-13)
    np.testing.assert_allclose(got[3], expected[3], atol=1e-6)
    for g, e in zip(got[4:], expected[4:]):
        np.testing.assert_allclose(g, e, rtol=rtol, atol=1e-12)
    return got


class TestAgainstNumPy:
    @pytest.mark.parametrize("bg_type", [0, 1, 2, 3, 5, 255])
    def test_every_background(self, spectrum, bg_type):
        x, counts = spectrum
        rows = 0 if bg_type == 0 else 1
        args = em_arguments(x, counts, mu=[12.0, 33.0, 40.0], sigma=[3.0, 3.0, 3.0], background_rows=rows,
                            max_iter=25, r_eps=0.0, x_min=2.0, x_max=58.0, bg_type=bg_type, s_tri=0.2)
        got = assert_matches_reference(args)
        if bg_type != 3:
            assert got[3] == 0.2

    def test_basis_rows(self, spectrum):
        x, counts = spectrum
        basis = [list(np.full(x.size, 1.0 / 60.0)), list(x / 1800.0)]
        args = em_arguments(x, counts, mu=[12.0, 33.0, 40.0], sigma=[3.0, 3.0, 3.0], background_rows=2,
                            max_iter=25, r_eps=0.0, bg_type=4, spline_basis_preds=basis)
        assert_matches_reference(args, basis=basis)

    def test_fix_flags_and_prior(self, spectrum):
        x, counts = spectrum
        args = em_arguments(x, counts, mu=[15.5, 33.0, 40.0], sigma=[2.0, 3.0, 3.0], background_rows=1,
                            alpha=[5.0, 1.0, 0.9, 30.0], fix_mu=[True, False, False],
                            fix_sigma=[False, True, False], max_iter=30, r_eps=0.0, bg_type=1)
        got = assert_matches_reference(args)
        assert got[4][0] == 15.5 and got[5][1] == 3.0

    def test_converges_and_stops_at_r_eps(self, spectrum):
        x, counts = spectrum
        args = em_arguments(x, counts, mu=[12.0, 33.0, 40.0], sigma=[3.0, 3.0, 3.0], background_rows=1,
                            max_iter=1000, r_eps=1e-9, bg_type=3)
        t, ll, rel, *_ = assert_matches_reference(args, rtol=1e-8)
        assert t < 1000
        assert abs(rel[-1]) < 1e-9 and all(abs(r) >= 1e-9 for r in rel[1:-1])


def test_recovers_a_synthetic_three_peak_spectrum():
    # 30,000 peak draws: the standard error of a centre is sigma / sqrt(N_k), at most
    # 3 / sqrt(10500) ~ 0.03, of a width sigma / sqrt(2 N_k) ~ 0.02, of a weight
    # sqrt(w (1 - w) / N) ~ 0.003. Binning (0.1 wide) adds variance 0.1^2 / 12 to each width
    # squared, under 0.001 in width. The tolerances are about five standard errors.
    x, counts = three_peak_spectrum(seed=5)
    args = em_arguments(x, counts, mu=[10.0, 28.0, 45.0], sigma=[4.0, 4.0, 4.0], background_rows=1,
                        max_iter=2000, r_eps=1e-12, x_min=0.0, x_max=60.0, bg_type=1)
    t, ll, rel, s_tri, mu, sigma, pi = fit(**args)
    assert t < 2000
    np.testing.assert_allclose(mu, [15.0, 30.0, 42.0], atol=0.15)
    np.testing.assert_allclose(sigma, [2.0, 3.0, 1.5], atol=0.1)
    total = counts.sum()
    np.testing.assert_allclose(pi * total, [12000, 10500, 7500, 3000], rtol=0.05)
    assert np.all(np.diff(ll) >= -1e-9 * abs(ll[:-1]))  # EM never lowers the likelihood


class TestHistories:
    def test_max_iter_zero(self, spectrum):
        x, counts = spectrum
        args = em_arguments(x, counts, mu=[12.0, 33.0], sigma=[3.0, 3.0], max_iter=0, s_tri=0.7, bg_type=3,
                            background_rows=1)
        before = {k: args[k].copy() for k in ("mu", "sigma", "pi")}
        t, ll, rel, s_tri, *_ = fit(**args)
        assert (t, rel.tolist(), s_tri) == (0, [0.0], 0.7)
        assert ll.shape == (1,) and np.isfinite(ll[0])
        for name, value in before.items():
            np.testing.assert_array_equal(args[name], value)

    def test_a_start_without_log_likelihood_is_returned_at_once(self, spectrum):
        # A NaN count makes every log-likelihood NaN: no iteration is taken (before, the loop ran to
        # max_iter and wrote NaN weights), and the history shows why.
        x, counts = spectrum
        counts = counts.copy()
        counts[7] = np.nan
        args = em_arguments(x, counts, mu=[12.0, 33.0], sigma=[3.0, 3.0], max_iter=10**9, r_eps=1.0)
        before = {k: args[k].copy() for k in ("mu", "sigma", "pi")}
        t, ll, rel, *_ = fit(**args)
        assert t == 0 and np.isnan(ll).all() and rel.tolist() == [0.0]
        for name, value in before.items():
            np.testing.assert_array_equal(args[name], value)

    def test_empty_grid(self):
        # No samples, no weight: the start comes back, after no iteration even with max_iter 10**9.
        args = em_arguments(np.array([]), np.array([]), mu=[1.0], sigma=[1.0], max_iter=10**9, r_eps=1.0)
        t, ll, rel, s_tri, mu, sigma, pi = fit(**args)
        assert (t, ll.tolist(), rel.tolist()) == (0, [0.0], [0.0])
        assert (mu.tolist(), sigma.tolist(), pi.tolist()) == ([1.0], [1.0], [1.0])

    @pytest.mark.parametrize("bg_type", [1, 3])
    def test_an_iteration_without_log_likelihood_is_undone(self, spectrum, bg_type):
        # Counts of 5e-324 carry a weight that the E-step's products round away after the first
        # iteration: its weights are 0/0 and its log-likelihood NaN. It ends the history, and the
        # values from before it are the ones written.
        x, _ = spectrum
        args = em_arguments(x, np.full_like(x, 5e-324), mu=[20.0, 40.0], sigma=[3.0, 3.0], max_iter=10**9,
                            r_eps=0.0, bg_type=bg_type, background_rows=1, s_tri=0.25)
        before = {k: args[k].copy() for k in ("mu", "sigma", "pi")}
        t, ll, rel, s_tri, *_ = fit(**args)
        assert t == ll.size - 1 == rel.size - 1 and t >= 1
        assert np.isnan(ll[-1]) and not np.isnan(ll[:-1]).any() and np.isnan(rel[-1])
        assert s_tri == 0.25
        for name, value in before.items():
            np.testing.assert_array_equal(args[name], value)

    def test_single_peak_keeps_its_whole_weight(self, spectrum):
        x, counts = spectrum
        t, ll, rel, s_tri, mu, sigma, pi = fit(**em_arguments(x, counts, mu=[30.0], sigma=[5.0], pi=[1.0],
                                                              alpha=[1.0], max_iter=5, r_eps=0.0))
        assert t == 5 and pi.tolist() == [1.0]

    def test_flat_prior_gives_counts_over_total(self, spectrum):
        x, counts = spectrum
        args = em_arguments(x, counts, mu=[12.0, 33.0, 40.0], sigma=[3.0, 3.0, 3.0], max_iter=1, r_eps=0.0)
        mu0, sigma0, pi0 = args["mu"].copy(), args["sigma"].copy(), args["pi"].copy()
        fit(**args)
        d = reference_em.gaussian_rows(x, mu0, sigma0) * pi0[:, None]
        responsibilities = d / (d.sum(axis=0) + 1e-20)
        np.testing.assert_allclose(args["pi"], (responsibilities * counts).sum(axis=1) / counts.sum(), rtol=1e-12)

    def test_small_concentration_can_switch_a_component_off(self, spectrum):
        x, counts = spectrum
        args = em_arguments(x, counts, mu=[15.0, 30.0, 42.0, 55.0], sigma=[2.0, 3.0, 1.5, 1.0],
                            alpha=[1.0, 1.0, 1.0, -1e4], max_iter=3, r_eps=0.0)
        fit(**args)
        assert args["pi"][3] == 0.0 and math.isclose(args["pi"].sum(), 1.0)


class TestDegenerateComponents:
    def test_component_without_responsibility_keeps_its_values(self, spectrum):
        x, counts = spectrum
        args = em_arguments(x, counts, mu=[30.0, 5000.0], sigma=[5.0, 1.0], max_iter=3, r_eps=0.0)
        fit(**args)
        assert args["mu"][1] == 5000.0 and args["sigma"][1] == 1.0

    def test_fixed_centre_gives_the_spread_around_it(self):
        x = np.array([1.0, 2.0, 3.0])
        counts = np.array([1.0, 0.0, 1.0])
        args = em_arguments(x, counts, mu=[1.0], sigma=[1.0], pi=[1.0], alpha=[1.0], fix_mu=[True],
                            max_iter=1, r_eps=0.0)
        fit(**args)
        assert args["mu"][0] == 1.0
        assert args["sigma"][0] == pytest.approx(math.sqrt(2.0), rel=1e-12)  # sqrt((0 + 4) / 2)

    def test_single_sample_collapses_to_the_width_floor(self):
        args = em_arguments(np.array([5.0]), np.array([3.0]), mu=[4.0], sigma=[2.0], pi=[1.0], alpha=[1.0],
                            max_iter=1, r_eps=0.0)
        fit(**args)
        assert args["mu"][0] == 5.0 and args["sigma"][0] == 1e-5

    def test_negative_width_is_its_magnitude(self, spectrum):
        x, counts = spectrum
        negative = fit(**em_arguments(x, counts, mu=[30.0], sigma=[-5.0], pi=[1.0], alpha=[1.0], max_iter=1))
        positive = fit(**em_arguments(x, counts, mu=[30.0], sigma=[5.0], pi=[1.0], alpha=[1.0], max_iter=1))
        assert negative[1][0] == positive[1][0]
        assert negative[5][0] == positive[5][0] > 0

    @pytest.mark.parametrize("alpha", [1.0, 3.0])
    def test_zero_intensity(self, spectrum, alpha):
        # No counts leave nothing to weigh: the start comes back after no iteration, with any prior
        # (before, a flat prior gave 0/0 weights and a NaN log-likelihood, and a concentration above 1
        # ran to max_iter with relative changes of 0/0).
        x, _ = spectrum
        args = em_arguments(x, np.zeros_like(x), mu=[20.0, 40.0], sigma=[3.0, 3.0], alpha=[alpha] * 2,
                            max_iter=10**9, r_eps=0.0)
        t, ll, rel, *_ = fit(**args)
        assert (t, ll.tolist(), rel.tolist()) == (0, [0.0], [0.0])
        assert args["pi"].tolist() == [0.5, 0.5]
        assert args["mu"].tolist() == [20.0, 40.0] and args["sigma"].tolist() == [3.0, 3.0]

    def test_window_outside_the_data(self, spectrum):
        # Peaks far beyond the data and a background window beside it: every density vanishes at the
        # samples, so the expected counts are 0 and the start comes back.
        x, counts = spectrum
        args = em_arguments(x, counts, mu=[5000.0, 6000.0], sigma=[1.0, 1.0], max_iter=10**9, r_eps=0.0, bg_type=1,
                            background_rows=1, x_min=1000.0, x_max=2000.0)
        before = {k: args[k].copy() for k in ("mu", "sigma", "pi")}
        t, ll, rel, *_ = fit(**args)
        assert t == ll.size - 1 == rel.size - 1 == 0
        for name, value in before.items():
            np.testing.assert_array_equal(args[name], value)


class TestFailures:
    def check_untouched(self, args, call_args, message):
        before = {k: v.copy() for k, v in args.items() if isinstance(v, np.ndarray)}
        with pytest.raises(PanicException) as info:
            run_em_loop(**call_args)
        assert str(info.value) == message
        for name, value in before.items():
            np.testing.assert_array_equal(args[name], value)

    def test_pi_longer_than_the_components(self, spectrum):
        x, counts = spectrum
        args = em_arguments(x, counts, mu=[12.0, 33.0], sigma=[3.0, 3.0], pi=[0.3, 0.3, 0.4], alpha=[1, 1, 1])
        self.check_untouched(args, args, "index out of bounds: the len is 2 but the index is 2")

    def test_short_arrays(self, spectrum):
        x, counts = spectrum
        args = em_arguments(x, counts, mu=[12.0, 33.0], sigma=[3.0], pi=[0.5, 0.5])
        self.check_untouched(args, args, "index out of bounds: the len is 1 but the index is 1")
        args = em_arguments(x, counts, mu=[12.0, 33.0], sigma=[3.0, 3.0], alpha=[1.0])
        self.check_untouched(args, args, "index out of bounds: the len is 1 but the index is 1")
        args = em_arguments(x, counts[:-5], mu=[12.0, 33.0], sigma=[3.0, 3.0])
        self.check_untouched(args, args, "index out of bounds: the len is 595 but the index is 595")
        args = em_arguments(x, counts, mu=[12.0, 33.0], sigma=[3.0, 3.0], fix_sigma=[False])
        self.check_untouched(args, args, "index out of bounds: the len is 1 but the index is 1")

    def test_failure_in_a_late_iteration_leaves_the_arrays_untouched(self, spectrum):
        # The flags are read by the first refit only, after the E-step has run.
        x, counts = spectrum
        args = em_arguments(x, counts, mu=[12.0, 33.0], sigma=[3.0, 3.0], fix_mu=[False], max_iter=10)
        self.check_untouched(args, args, "index out of bounds: the len is 1 but the index is 1")

    def test_basis_row_of_the_wrong_length(self, spectrum):
        x, counts = spectrum
        args = em_arguments(x, counts, mu=[12.0], sigma=[3.0], background_rows=1, bg_type=4,
                            spline_basis_preds=[[1.0] * 10])
        self.check_untouched(args, args, "copy_from_slice: source slice length (10) does not match "
                                         "destination slice length (600)")

    def test_pi_shorter_than_the_components_leaves_them_out(self, spectrum):
        x, counts = spectrum
        args = em_arguments(x, counts, mu=[15.0, 30.0, 42.0], sigma=[2.0, 3.0, 1.5], pi=[0.5, 0.5],
                            max_iter=5, r_eps=0.0, bg_type=1)
        fit(**args)
        assert args["pi"].size == 2 and args["mu"][2] == 42.0 and args["sigma"][2] == 1.5

    def test_spline_none_adds_no_row(self, spectrum):
        x, counts = spectrum
        args = em_arguments(x, counts, mu=[15.0, 30.0], sigma=[2.0, 3.0], bg_type=4, spline_basis_preds=None,
                            max_iter=5)
        t, *_ = fit(**args)
        assert t > 0 and math.isclose(args["pi"].sum(), 1.0)


# NIST StRD "Gauss3": two overlapping Gaussians on an exponential background that falls from about
# 98 to 6.5 across x = 1 .. 250; NIST certifies least-squares centres 111.64 and 147.76.
GAUSS3 = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "data", "nist_strd_Gauss3.csv")


class TestLinearBackgroundOnGauss3:
    def fit(self, x, y, mu, bg_type):
        args = em_arguments(x, y, mu=mu, sigma=[15.0, 15.0], background_rows=1, bg_type=bg_type, s_tri=0.0,
                            max_iter=5000, r_eps=1e-12, x_min=float(x[0]), x_max=float(x[-1]))
        t, ll, _, s_tri, mu, sigma, pi = fit(**args)
        assert t < 5000
        return ll[-1], s_tri, mu, sigma

    def test_the_background_falls_and_mirrored_data_rise(self):
        x, y = np.loadtxt(GAUSS3, delimiter=",", skiprows=1, unpack=True)
        ll, s_tri, mu, sigma = self.fit(x, y, [110.0, 150.0], bg_type=3)
        # While the tilt was searched in [0, 0.99999] only it stayed at 0: a flat background, centres
        # 113.8 and 148.7, and the flat fit's log-likelihood, 1,800 below this one.
        assert s_tri < -0.9
        flat_ll, *_ = self.fit(x, y, [110.0, 150.0], bg_type=1)
        assert ll > flat_ll + 1000.0
        np.testing.assert_allclose(mu, [111.64, 147.76], atol=1.5)
        # The same counts on the mirrored axis: a rising background of the opposite tilt and the
        # mirrored peaks, up to the EM's stopping tolerance.
        mirrored_ll, mirrored_s_tri, mirrored_mu, mirrored_sigma = self.fit(
            251.0 - x[::-1], y[::-1].copy(), [251.0 - 150.0, 251.0 - 110.0], bg_type=3)
        assert mirrored_s_tri == pytest.approx(-s_tri, abs=1e-4)
        np.testing.assert_allclose(251.0 - mirrored_mu[::-1], mu, atol=1e-2)
        np.testing.assert_allclose(mirrored_sigma[::-1], sigma, atol=1e-2)
        assert mirrored_ll == pytest.approx(ll, rel=1e-9)
