"""tsdc_predict, tsdc_mle_find_root, tsdc_mle_lbfgsb and run_tsdc_em_loop, checked against the NumPy
and SciPy twin in reference_tsdc.py. (The bounded fit's comparison with SciPy's L-BFGS-B over many
spectra is in fit_comparison.py.)"""
import warnings

import numpy as np
import pytest

from brivane_core import PanicException, run_tsdc_em_loop, tsdc_mle_find_root, tsdc_mle_lbfgsb, tsdc_predict
from mixture_shapes import expect_first_e_step
import reference_tsdc
from reference_tsdc import tau0_from_peak

BETA = 0.1
GRID = np.arange(200.0, 450.25, 0.5)  # 501 temperatures
TRUTH = ((0.8, 300.0), (1.1, 360.0))  # (ea, tp) of two overlapping peaks
SHARES = (0.4, 0.6)


@pytest.fixture(autouse=True)
def quiet_numpy():
    # The twin meets the same overflows and NaN as the module in degenerate cases.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        yield


def glow_curve(total, seed, peaks=TRUTH, shares=SHARES, t=GRID, background=0.0):
    """Poisson counts per sample: `total` expected counts (over all temperatures), shared among the
    peaks, plus `background` of them spread evenly over the grid."""
    step = t[1] - t[0]
    expected = sum(s * reference_tsdc.density(t, ea, tau0_from_peak(ea, tp, BETA), BETA)
                   for (ea, tp), s in zip(peaks, shares)) * step * total * (1.0 - background)
    expected = expected + total * background / t.size
    return np.random.default_rng(seed).poisson(expected).astype(float)


def assert_solves_the_likelihood_equations(t, w, ea, tau0, tp, fix_tp=False):
    """The root-finding fit's stopping rules, checked with the twin's equations: Brent stops once
    |F(ea)| < 1e-8 (rounding of the sums adds far less), tau0 is S2 / (N beta) at that ea, and the
    peak equation is below 1e-8 at tp."""
    assert abs(reference_tsdc.profile_score(t, w, ea, BETA)) < 1.01e-8
    if fix_tp:
        assert tau0 == pytest.approx(tau0_from_peak(ea, tp, BETA), rel=1e-14)
        return
    assert tau0 == pytest.approx(reference_tsdc.sums(t, w, ea)[1] / (np.sum(w) * BETA), rel=1e-12)
    peak_equation = np.log(tp * (reference_tsdc.K * tp) / (BETA * ea)) - ea / (reference_tsdc.K * tp) - np.log(tau0)
    assert abs(peak_equation) < 1.01e-8


class TestPredict:
    @pytest.mark.parametrize("ea, tp, beta", [(0.8, 300.0, 0.1), (1.1, 360.0, 5.0), (0.05, 40.0, 0.01)])
    def test_agrees_with_scipy_expn_and_integrates_to_one(self, ea, tp, beta):
        # A grid from 15 natural widths (k tp^2 / ea) below the peak to 8 above holds it whole.
        width = reference_tsdc.K * tp * tp / ea
        t = np.linspace(max(tp - 15.0 * width, 0.1 * tp), tp + 8.0 * width, 3001)
        tau0 = tau0_from_peak(ea, tp, beta)
        got = tsdc_predict(t, ea, tau0, beta)
        assert got.dtype == np.float64 and got.shape == t.shape
        # E2 enters an exponent of up to a few hundred where the curve is not negligible; SciPy's
        # E2 is good to a few ulps, so values agree to about 1e-13 relative.
        np.testing.assert_allclose(got, reference_tsdc.density(t, ea, tau0, beta), rtol=1e-12, atol=1e-12 * got.max())
        assert np.sum(np.diff(t) * (got[:-1] + got[1:]) * 0.5) == pytest.approx(1.0, abs=1e-13)
        # Only the product beta tau0 enters.
        np.testing.assert_array_equal(tsdc_predict(t, ea, tau0 / 4.0, beta * 4.0), got)

    def test_degenerate_grids(self):
        tau0 = tau0_from_peak(0.8, 300.0, BETA)
        empty = tsdc_predict(np.array([]), 0.8, tau0, BETA)
        assert empty.dtype == np.float64 and empty.shape == (0,)
        one = tsdc_predict(np.array([295.0]), 0.8, tau0, BETA)
        assert one[0] == pytest.approx(reference_tsdc.raw_curve(np.array([295.0]), 0.8, tau0, BETA)[0] / 1e-100,
                                       rel=1e-13)
        # A reversed view is read in index order: a descending grid, negative densities.
        ascending = tsdc_predict(GRID, 0.8, tau0, BETA)
        np.testing.assert_allclose(tsdc_predict(GRID[::-1], 0.8, tau0, BETA), -ascending[::-1], rtol=1e-12)
        # A negative temperature poisons the normaliser.
        assert np.isnan(tsdc_predict(np.array([-1.0, 300.0]), 0.8, tau0, BETA)).all()

    def test_arguments(self):
        with pytest.raises(TypeError) as info:
            tsdc_predict(list(GRID), 0.8, 1e-12, BETA)
        assert str(info.value) == "argument 't': 'list' object cannot be converted to 'PyArray<T, D>'"
        with pytest.raises(TypeError) as info:
            tsdc_predict(GRID, 0.8, None, BETA)
        assert str(info.value).startswith("argument 'tau0': ")
        np.testing.assert_array_equal(tsdc_predict(beta=BETA, tau0=1e-12, ea=np.float32(0.5), t=GRID),
                                      tsdc_predict(GRID, 0.5, 1e-12, BETA))


@pytest.fixture(scope="module")
def one_peak():
    """20,000 counts of a 0.9 eV peak at 320 K."""
    return GRID, glow_curve(20000.0, seed=31, peaks=((0.9, 320.0),), shares=(1.0,))


class TestRootFit:
    @pytest.mark.parametrize("total", [300.0, 2e4, 1e9])
    def test_solves_the_likelihood_equations_of_the_twin(self, total):
        # Starts as a user would give them: a round 1 eV and a peak temperature read off the data
        # (neither is used by the search itself); few, typical and huge counts.
        counts = glow_curve(total, seed=32, peaks=((0.9, 320.0),), shares=(1.0,))
        ea, tau0, tp = tsdc_mle_find_root(GRID, counts, 1.0, 1.0, float(GRID[np.argmax(counts)]), 0.1, 3.0, BETA)
        assert_solves_the_likelihood_equations(GRID, counts, ea, tau0, tp)
        expected = reference_tsdc.root_fit(GRID, counts, 1.0, 1.0, 300.0, 0.1, 3.0, BETA)
        # The twin solves to 1e-12 eV; the module's stop at |F| < 1e-8, with F changing by about
        # 0.02 per eV, is within 5e-7 eV of it, and tp follows ea by a few K per eV.
        assert ea == pytest.approx(expected[0], abs=1e-6)
        assert tp == pytest.approx(expected[2], abs=1e-5)
        # Over 200 Poisson draws of each total the fitted ea scatter by 0.73 to 0.77 eV / sqrt(N)
        # and tp by 9.4 to 9.9 K / sqrt(N); four of those.
        assert abs(ea - 0.9) < 4 * 0.77 / np.sqrt(total) and abs(tp - 320.0) < 4 * 9.9 / np.sqrt(total)

    def test_fix_flags(self, one_peak):
        t, counts = one_peak
        # A fixed ea returns the inputs exactly, whatever fix_tp says.
        for fix_tp in (False, True):
            assert tsdc_mle_find_root(t, counts, 0.7, 42.0, 280.0, 0.1, 3.0, BETA, True, fix_tp) == (0.7, 42.0, 280.0)
        free = tsdc_mle_find_root(t, counts, 1.0, 1.0, 300.0, 0.1, 3.0, BETA)
        held = tsdc_mle_find_root(t, counts, 1.0, 1.0, 325.0, 0.1, 3.0, BETA, fix_tp=True)
        assert held[0] == free[0] and held[2] == 325.0
        assert_solves_the_likelihood_equations(t, counts, *held, fix_tp=True)

    @pytest.mark.parametrize("case, text", [
        ("bracket misses the root", "brentq failed: NoBracketing"),
        ("no counts", "brentq failed: NoConvergency"),
        ("peak above 2000 K", "brentq failed: NoBracketing"),
    ])
    def test_failed_searches_raise_runtime_error(self, one_peak, case, text):
        t, counts = one_peak
        if case == "bracket misses the root":
            args = (t, counts, 1.0, 1.0, 300.0, 1.5, 3.0, BETA)
        elif case == "no counts":
            args = (t, np.zeros_like(t), 1.0, 1.0, 300.0, 0.1, 3.0, BETA)
        else:
            hot = np.arange(900.0, 3200.0, 5.0)
            args = (hot, glow_curve(1e4, 33, peaks=((2.0, 2400.0),), shares=(1.0,), t=hot), 1.5, 1.0, 1800.0, 0.5,
                    3.0, BETA)
        with pytest.raises(RuntimeError) as info:
            tsdc_mle_find_root(*args)
        assert type(info.value) is RuntimeError and str(info.value) == text


class TestBoundedFit:
    def test_rough_starts_reach_the_twins_optimum(self, one_peak):
        # The full grid holds the peak, so the gradient's zero and the value's minimum are close
        # (see tests/cpp/tsdc_test.cpp); both minimisers end within 1e-4 eV and 3e-3 K of each
        # other from starts a user might give, inside or outside the bounds.
        t, counts = one_peak
        for start in ((1.0, 330.0), (0.5, 250.0), (2.5, 400.0), (5.0, 100.0)):
            got = tsdc_mle_lbfgsb(t, counts, start[0], 1.0, start[1], 0.1, 3.0, 250.0, 400.0, BETA)
            expected = reference_tsdc.bounded_fit(t, counts, start[0], 1.0, start[1], 0.1, 3.0, 250.0, 400.0, BETA)
            assert got[0] == pytest.approx(expected[0], abs=1e-4), start
            assert got[2] == pytest.approx(expected[2], abs=3e-3), start
            assert got[1] == pytest.approx(tau0_from_peak(got[0], got[2], BETA), rel=1e-15)

    def test_fix_flags_and_degenerate_weights(self, one_peak):
        t, counts = one_peak
        bounds = (0.1, 3.0, 250.0, 400.0, BETA)
        # Both fixed, no counts or none at all: the inputs come back, tau0 not recomputed.
        assert tsdc_mle_lbfgsb(t, counts, 1.0, 42.0, 320.0, *bounds, True, True) == (1.0, 42.0, 320.0)
        assert tsdc_mle_lbfgsb(t, np.zeros_like(t), 1.0, 42.0, 320.0, *bounds) == (1.0, 42.0, 320.0)
        assert tsdc_mle_lbfgsb(t, np.array([]), 1.0, 42.0, 320.0, *bounds) == (1.0, 42.0, 320.0)
        ea, tau0, tp = tsdc_mle_lbfgsb(t, counts, 1.0, 42.0, 330.0, *bounds, fix_ea=True)
        # tau0 follows the peak relation (NumPy's exp may round differently from C's).
        assert ea == 1.0 and tp != 330.0 and tau0 == pytest.approx(tau0_from_peak(1.0, tp, BETA), rel=1e-15)
        ea, tau0, tp = tsdc_mle_lbfgsb(t, counts, 1.0, 42.0, 330.0, *bounds, fix_tp=True)
        assert tp == 330.0 and abs(ea - 1.0) > 0.01 and tau0 == pytest.approx(tau0_from_peak(ea, 330.0, BETA), rel=1e-15)

    def test_bounds_out_of_order_or_nan(self, one_peak):
        t, counts = one_peak
        with pytest.raises(RuntimeError) as info:
            tsdc_mle_lbfgsb(t, counts, 1.0, 1.0, 320.0, 3.0, 0.1, 250.0, 400.0, BETA)
        assert type(info.value) is RuntimeError and str(info.value) == "L-BFGS-B failed"
        # Bounds of a fixed parameter are not looked at.
        tsdc_mle_lbfgsb(t, counts, 1.0, 1.0, 320.0, 0.1, 3.0, 400.0, 250.0, BETA, fix_tp=True)
        # A NaN bound passes the minimiser and fails the clamp, which prints the bounds.
        for bounds, text in [((np.nan, 3.0, 250.0, 400.0), "min = NaN, max = 3.0"),
                             ((0.1, 3.0, 1e16, np.nan), "min = 1e16, max = NaN"),
                             ((0.1, 3.0, 1e-5, np.nan), "min = 1e-5, max = NaN")]:
            with pytest.raises(PanicException) as info:
                tsdc_mle_lbfgsb(t, counts, 1.0, 1.0, 320.0, *bounds, BETA)
            assert str(info.value) == "min > max, or either was NaN. " + text


def em_arguments(t, counts, starts, background=False, **overrides):
    """Keyword arguments of run_tsdc_em_loop: peaks started at (ea, tp) with tau0 from the peak
    relation, equal weights, a flat prior, ea in [0.1, 3] eV, tp and the background window the grid."""
    k = len(starts)
    rows = k + (1 if background else 0)
    ea = np.array([s[0] for s in starts], float)
    tp = np.array([s[1] for s in starts], float)
    args = dict(t=t, intensity=counts, ea=ea, tau0=tau0_from_peak(ea, tp, BETA), tp=tp, pi=np.full(rows, 1.0 / rows),
                dirichlet_alpha=np.ones(rows), fix_ea=[False] * k, fix_tp=[False] * k, beta=BETA, ea_min=0.1,
                ea_max=3.0, t_min=float(t[0]), t_max=float(t[-1]), max_iter=500, r_eps=1e-12,
                bg_type=1 if background else 0)
    args.update(overrides)
    return args


# Where a user starts two overlapping peaks: a round 1 eV each, and maxima read roughly off the plot.
ROUGH_STARTS = ((1.0, 290.0), (1.0, 370.0))


class TestMixture:
    def test_first_iteration_agrees_with_numpy(self):
        counts = glow_curve(5e4, seed=41, background=0.1)
        args = em_arguments(GRID, counts, ROUGH_STARTS, background=True, max_iter=1, r_eps=0.0)
        start = {k: v.copy() for k, v in args.items() if isinstance(v, np.ndarray)}
        t, ll, rel, s_tri = run_tsdc_em_loop(**args)
        assert t == 1 and ll.size == rel.size == 2 and s_tri == 0.0
        # The reference iteration: densities, E-step, weight update, refits from intensity times
        # responsibility by the likelihood equations.
        d = np.vstack([reference_tsdc.density(GRID, ea, tau0, BETA) for ea, tau0 in zip(start["ea"], start["tau0"])]
                      + [np.full(GRID.size, 1.0 / 250.0)])
        g = expect_first_e_step(counts, d, start["pi"], ll, args["pi"])
        for k in range(2):
            assert_solves_the_likelihood_equations(GRID, counts * g[k], args["ea"][k], args["tau0"][k], args["tp"][k])

    @pytest.mark.parametrize("total, ea_sd, tp_sd, pi_sd", [
        (2e3, 0.027, 0.34, 0.011),
        (5e4, 0.0049, 0.074, 0.0020),
        (1e9, 4.0e-5, 4.3e-4, 1.5e-5),
    ])
    def test_recovers_two_overlapping_peaks(self, total, ea_sd, tp_sd, pi_sd):
        # Standard deviations of the fitted values over 100 Poisson draws of each total (the
        # larger of the two peaks'); the worst of those draws was 3.2 of them off, the bounds are
        # four. The 1e9 counts also test that the loop runs on to a fine r_eps.
        counts = glow_curve(total, seed=7)
        args = em_arguments(GRID, counts, ROUGH_STARTS)
        t, ll, rel, s_tri = run_tsdc_em_loop(**args)
        assert t < 500 and abs(rel[-1]) < 1e-12
        assert np.all(np.diff(ll) >= -1e-12 * np.abs(ll[1:]))  # EM never lowers the likelihood
        np.testing.assert_allclose(args["ea"], [0.8, 1.1], atol=4 * ea_sd)
        np.testing.assert_allclose(args["tp"], [300.0, 360.0], atol=4 * tp_sd)
        np.testing.assert_allclose(args["pi"], SHARES, atol=4 * pi_sd)
        # tp solves the peak equation, ln(tau0 of the peak relation / tau0) = 0, to 1e-8.
        np.testing.assert_allclose(args["tau0"], tau0_from_peak(args["ea"], args["tp"], BETA), rtol=1.1e-8)

    def test_recovers_the_peaks_over_a_background(self):
        # 10% of 50,000 counts spread evenly: over 100 draws the fitted ea scatter by 0.0065 eV,
        # tp by 0.078 K and the weights by 0.0028 at most; bounds of four of those.
        counts = glow_curve(5e4, seed=8, background=0.1)
        args = em_arguments(GRID, counts, ROUGH_STARTS, background=True)
        t, *_ = run_tsdc_em_loop(**args)
        assert t < 500
        np.testing.assert_allclose(args["ea"], [0.8, 1.1], atol=4 * 0.0065)
        np.testing.assert_allclose(args["tp"], [300.0, 360.0], atol=4 * 0.078)
        np.testing.assert_allclose(args["pi"], [0.36, 0.54, 0.1], atol=4 * 0.0028)

    def test_max_iter_zero_and_fixed_activation_energies(self):
        counts = glow_curve(5e4, seed=9)
        args = em_arguments(GRID, counts, ROUGH_STARTS, max_iter=0)
        before = {k: args[k].copy() for k in ("ea", "tau0", "tp", "pi")}
        t, ll, rel, s_tri = run_tsdc_em_loop(**args)
        assert (t, rel.tolist(), s_tri) == (0, [0.0], 0.0) and np.isfinite(ll[0])
        for name, value in before.items():
            np.testing.assert_array_equal(args[name], value)
        # A fixed ea keeps all three values of its peak, whatever fix_tp says; the other peak and
        # the weights move.
        args = em_arguments(GRID, counts, ROUGH_STARTS, fix_ea=[True, False], max_iter=5)
        run_tsdc_em_loop(**args)
        assert [args[name][0] for name in ("ea", "tau0", "tp")] == [before[name][0] for name in ("ea", "tau0", "tp")]
        assert args["ea"][1] != before["ea"][1] and not np.array_equal(args["pi"], before["pi"])

    def test_component_without_support_keeps_its_values(self):
        counts = glow_curve(5e4, seed=10)
        args = em_arguments(GRID, counts, ROUGH_STARTS + ((1.5, 420.0),), max_iter=3, r_eps=0.0)
        args["pi"] = np.array([0.5, 0.5, 0.0])
        start = [args[name][2] for name in ("ea", "tau0", "tp")]
        run_tsdc_em_loop(**args)
        assert [args[name][2] for name in ("ea", "tau0", "tp")] == start

    def test_peak_beyond_the_root_bracket_is_refitted_by_the_bounded_fit(self):
        # The peak temperature search covers [1, 2000] K; a peak at 2400 K needs the fallback,
        # which keeps tp inside the window.
        hot = np.arange(900.0, 3200.0, 5.0)
        counts = glow_curve(1e5, seed=11, peaks=((2.0, 2400.0),), shares=(1.0,), t=hot)
        args = em_arguments(hot, counts, ((1.5, 1800.0),), t_min=1000.0, t_max=2350.0, max_iter=20)
        run_tsdc_em_loop(**args)
        assert 1000.0 <= args["tp"][0] <= 2350.0 and args["tp"][0] != 1800.0
        # With room for the peak, it is found: over 60 draws of these 100,000 counts the fitted ea
        # scatter by 0.0059 eV and tp by 0.76 K; four of those.
        args = em_arguments(hot, counts, ((1.5, 1800.0),), t_min=1000.0, t_max=3000.0, max_iter=50)
        run_tsdc_em_loop(**args)
        assert abs(args["ea"][0] - 2.0) < 4 * 0.0059 and abs(args["tp"][0] - 2400.0) < 4 * 0.76

    def test_refit_errors_never_reach_the_caller(self):
        # A bracket that misses every root and a window out of order: both fits fail, the peaks
        # keep their values and only the weights move.
        counts = glow_curve(5e4, seed=12)
        args = em_arguments(GRID, counts, ROUGH_STARTS, ea_min=1.5, ea_max=3.0, t_min=400.0, t_max=200.0,
                            max_iter=3, r_eps=0.0)
        before = {k: args[k].copy() for k in ("ea", "tau0", "tp", "pi")}
        assert run_tsdc_em_loop(**args)[0] == 3
        for name in ("ea", "tau0", "tp"):
            np.testing.assert_array_equal(args[name], before[name])
        assert not np.array_equal(args["pi"], before["pi"])

    def test_failures_write_nothing_back(self):
        counts = glow_curve(5e4, seed=13)
        # A NaN bound reached by the fallback (the bracket misses the root) ends the call.
        args = em_arguments(GRID, counts, ROUGH_STARTS, ea_min=1.5, t_min=np.nan, max_iter=3)
        before = {k: v.copy() for k, v in args.items() if isinstance(v, np.ndarray)}
        with pytest.raises(PanicException) as info:
            run_tsdc_em_loop(**args)
        assert str(info.value) == "min > max, or either was NaN. min = NaN, max = 450.0"
        # A short tau0 is met by the first densities, a short tp by the first refit only.
        short_tau0 = em_arguments(GRID, counts, ROUGH_STARTS, max_iter=0)
        short_tau0["tau0"] = short_tau0["tau0"][:1].copy()
        with pytest.raises(PanicException, match="^index out of bounds: the len is 1 but the index is 1$"):
            run_tsdc_em_loop(**short_tau0)
        short_tp = em_arguments(GRID, counts, ROUGH_STARTS, max_iter=0)
        short_tp["tp"] = short_tp["tp"][:1].copy()
        assert run_tsdc_em_loop(**short_tp)[0] == 0
        short_tp["max_iter"] = 1
        with pytest.raises(PanicException, match="^index out of bounds: the len is 1 but the index is 1$"):
            run_tsdc_em_loop(**short_tp)
        for name, value in before.items():
            np.testing.assert_array_equal(args[name], value, err_msg=name)
        np.testing.assert_array_equal(short_tp["ea"], [1.0, 1.0])
