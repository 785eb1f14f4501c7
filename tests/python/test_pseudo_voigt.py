"""pseudo_voigt_predict, the two single-peak fits and run_pv_em_loop, as Python callers use them."""
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from scipy import stats

import brivane_core
from brivane_core import (PanicException, pseudo_voigt_mle_conditional_max, pseudo_voigt_mle_full_optimization,
                          pseudo_voigt_predict, run_pv_em_loop)
import reference_pseudo_voigt as reference

FWHM_PER_SIGMA = 2.3548200450309493


def counts(x, peaks, areas, background, seed):
    """Poisson counts of pseudo-Voigt peaks (x0, gamma, eta) of the given areas, in counts, on a
    flat background of `background` counts per sample."""
    step = x[1] - x[0]
    rate = background + sum(a * reference.density(x, *p, -np.inf, np.inf) * step for p, a in zip(peaks, areas))
    return np.random.default_rng(seed).poisson(rate).astype(float)


class TestPredict:
    def test_pure_gaussian_is_the_normal_density_whatever_the_window(self):
        x = np.linspace(-20.0, 30.0, 501)
        expected = stats.norm.pdf(x, 4.5, 3.0 / FWHM_PER_SIGMA)
        for window in ((-20.0, 30.0), (0.0, 1.0), (30.0, -20.0)):
            np.testing.assert_allclose(pseudo_voigt_predict(x, 4.5, 3.0, 1.0, *window), expected, rtol=1e-13,
                                       atol=1e-300)

    def test_pure_lorentzian_is_the_cauchy_density_normalised_over_the_window(self):
        x = np.linspace(-20.0, 30.0, 501)
        for window in ((-20.0, 30.0), (2.0, 8.0), (-50.0, -10.0)):
            cauchy = stats.cauchy(4.5, 1.5)
            expected = cauchy.pdf(x) / (cauchy.cdf(window[1]) - cauchy.cdf(window[0]))
            # Samples outside the window keep their value: nothing is masked.
            np.testing.assert_allclose(pseudo_voigt_predict(x, 4.5, 3.0, 0.0, *window), expected, rtol=1e-12)

    def test_mixture_of_the_two_and_a_new_array_of_the_grids_length(self):
        x = np.linspace(0.0, 10.0, 41)[::-2]  # a reversed, strided view is read in index order
        got = pseudo_voigt_predict(x, 5.0, 2.0, 0.3, 0.0, 10.0)
        assert got.dtype == np.float64 and got.shape == x.shape and got.flags.owndata
        np.testing.assert_allclose(got, 0.3 * pseudo_voigt_predict(x, 5.0, 2.0, 1.0, 0.0, 10.0)
                                   + 0.7 * pseudo_voigt_predict(x, 5.0, 2.0, 0.0, 0.0, 10.0), rtol=1e-14)
        empty = pseudo_voigt_predict(np.array([]), 5.0, 2.0, 0.3, 0.0, 10.0)
        assert empty.dtype == np.float64 and empty.shape == (0,)

    def test_degenerate_parameters_give_values_not_errors(self):
        x = np.array([-1.0, 0.0, 2.0])
        assert np.all(np.isnan(pseudo_voigt_predict(x, 0.0, 0.0, 0.5, -5.0, 5.0)))  # zero width: 0 / 0
        # An inverted window floors the Lorentzian's mass at 1e-300.
        assert pseudo_voigt_predict(x, 0.0, 1.0, 0.5, 5.0, -5.0)[1] > 1e299


def single_peak_arguments():
    x = np.linspace(0.0, 10.0, 101)
    return x, counts(x, [(5.0, 1.5, 0.5)], [5000.0], 1.0, seed=3)


@pytest.mark.parametrize("function, extra", [
    (pseudo_voigt_mle_conditional_max, ()),
    (pseudo_voigt_mle_full_optimization, (0.1, 10.0, 20, 1e-9)),
])
class TestSinglePeakArguments:
    def test_conversion_errors_name_the_argument(self, function, extra):
        x, y = single_peak_arguments()
        name = function.__name__
        cases = [
            (lambda: function(x.astype(np.float32), y, 5.0, 1.0, 0.5, 0.0, 10.0, *extra),
             "argument 'x': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
            (lambda: function(x, list(y), 5.0, 1.0, 0.5, 0.0, 10.0, *extra),
             "argument 'intensity': 'list' object cannot be converted to 'PyArray<T, D>'"),
            (lambda: function(x, y, 5.0, "wide", 0.5, 0.0, 10.0, *extra), "argument 'gamma': must be real number, not str"),
            (lambda: function(x, y, 5.0, 1.0, 0.5, 0.0, 10.0, *extra, fix_eta=1),
             "argument 'fix_eta': 'int' object cannot be converted to 'PyBool'"),
            (lambda: function(x, y, 5.0, 1.0, 0.5, 0.0, 10.0, *extra, True, False, False, True),
             f"{name}() takes from {7 + len(extra)} to {10 + len(extra)} positional arguments but "
             f"{11 + len(extra)} were given"),
        ]
        for call, text in cases:
            with pytest.raises(TypeError) as info:
                call()
            assert str(info.value) == text

    def test_numpy_scalars_and_booleans_are_accepted(self, function, extra):
        x, y = single_peak_arguments()
        plain = function(x, y, 4.0, 2.0, 0.5, 0.0, 10.0, *extra, fix_x0=True, fix_gamma=True)
        numpy = function(x, y, np.float32(4.0), np.int64(2), np.float64(0.5), 0, 10, *extra, fix_x0=np.True_,
                         fix_gamma=np.bool_(True))
        assert plain == numpy and plain[:2] == (4.0, 2.0) and plain[2] != 0.5
        assert all(type(v) is float for v in plain)

    def test_nothing_to_fit_returns_the_start(self, function, extra):
        x, y = single_peak_arguments()
        start = (4.0, 2.0, 0.37)
        assert function(x, y, *start, 0.0, 10.0, *extra, True, True, True) == start
        assert function(x, np.zeros_like(y), *start, 0.0, 10.0, *extra) == start
        assert function(x, np.array([]), *start, 0.0, 10.0, *extra) == start


class TestFullOptimizationArguments:
    def test_a_nan_width_bound_is_a_panic_with_both_bounds(self):
        x, y = single_peak_arguments()
        for bounds, text in [((math.nan, 10.0), "min = NaN, max = 10.0"), ((1e-5, math.nan), "min = 1e-5, max = NaN"),
                             ((0.1, math.nan), "min = 0.1, max = NaN")]:
            with pytest.raises(PanicException) as info:
                pseudo_voigt_mle_full_optimization(x, y, 5.0, 1.0, 0.5, 0.0, 10.0, *bounds, 10, 1e-9)
            assert str(info.value) == "min > max, or either was NaN. " + text
        # A held width is never clamped, and unordered bounds only make the bounded steps fail.
        assert pseudo_voigt_mle_full_optimization(x, y, 5.0, 1.0, 0.5, 0.0, 10.0, math.nan, 10.0, 10, 1e-9,
                                                  fix_gamma=True)[1] == 1.0
        x0, gamma, eta = pseudo_voigt_mle_full_optimization(x, y, 4.0, 1.0, 0.5, 0.0, 10.0, 10.0, 0.1, 10, 1e-9)
        assert (x0, gamma) == (4.0, 1.0) and eta != 0.5

    def test_max_iter_is_a_count(self):
        x, y = single_peak_arguments()
        with pytest.raises(OverflowError):
            pseudo_voigt_mle_full_optimization(x, y, 5.0, 1.0, 0.5, 0.0, 10.0, 0.1, 10.0, -1, 1e-9)
        with pytest.raises(TypeError) as info:
            pseudo_voigt_mle_full_optimization(x, y, 5.0, 1.0, 0.5, 0.0, 10.0, 0.1, 10.0, 2.5, 1e-9)
        assert str(info.value) == "argument 'max_iter': 'float' object cannot be interpreted as an integer"
        assert pseudo_voigt_mle_full_optimization(x, y, 5.0, 1.0, 0.5, 0.0, 10.0, 0.1, 10.0, 0, 1e-9) == (5.0, 1.0, 0.5)


# Spectra as users meet them: (grid, true peak, area in counts, flat background per sample).
USER_SPECTRA = {
    "Raman axis far from zero": (np.linspace(450.0, 600.0, 1500), (521.3, 4.2, 0.35), 2e5, 20.0),
    "XPS binding energies": (np.linspace(280.0, 296.0, 801), (284.8, 1.1, 0.7), 5e4, 5.0),
    "axis across zero": (np.linspace(-40.0, 40.0, 1000), (-3.0, 6.0, 0.55), 3e4, 2.0),
    "few counts": (np.linspace(0.0, 100.0, 500), (40.0, 8.0, 0.5), 600.0, 0.5),
    "huge counts": (np.linspace(0.0, 100.0, 2000), (60.0, 3.0, 0.85), 5e9, 1e4),
}


def rough_start(x, y, truth):
    """Where a user starts: the highest sample for the centre, a width a factor 1.8 off, eta 0.5."""
    return float(x[np.argmax(y)]), truth[1] * 1.8, 0.5


@pytest.mark.parametrize("name", list(USER_SPECTRA))
def test_fits_from_rough_starts_agree_with_numpy_and_scipy_and_find_the_peak(name):
    x, truth, area, background = USER_SPECTRA[name]
    y = counts(x, [truth], [area], background, seed=len(name))
    window = (float(x[0]), float(x[-1]))
    start = rough_start(x, y, truth)
    limits = (0.01, window[1] - window[0], 200, 1e-12)

    full = pseudo_voigt_mle_full_optimization(x, y, *start, *window, *limits)
    twin = reference.full_optimization(x, y, *start, *window, *limits)
    # The same alternation in NumPy and SciPy: the same eta, and (x0, gamma) within what separates
    # two L-BFGS-B runs stopping at a projected gradient of 1e-5 on a likelihood of this curvature.
    assert full[2] == twin[2]
    np.testing.assert_allclose(full[:2], twin[:2], rtol=1e-6, atol=1e-6 * truth[1])
    best = reference.log_likelihood(x, y, *full, *window)
    assert best >= reference.log_likelihood(x, y, *twin, *window) - 1e-9 * abs(best)

    # One conditional pass from the same start, against its NumPy and SciPy twin: the root
    # searches stop within 1e-10, so the centres and widths agree far below the statistical error.
    conditional = pseudo_voigt_mle_conditional_max(x, y, *start, *window)
    np.testing.assert_allclose(conditional, reference.conditional_max(x, y, *start, *window), rtol=1e-9, atol=1e-9)

    # The peak itself. A centre's standard error is about gamma / sqrt(N) for N counts, N the peak's
    # count discounted by the share of the flat counts (a single peak must absorb them in its wings,
    # which also biases eta and the width: those are only checked to within a factor of 2).
    n_peak = area / (1.0 + background * x.size / area)
    assert abs(full[0] - truth[0]) < 5.0 * truth[1] / math.sqrt(n_peak) + 0.5 * (x[1] - x[0])
    assert 0.5 * truth[1] < full[1] < 2.0 * truth[1]


def test_a_fit_does_not_depend_on_where_the_axis_starts_or_on_the_intensity_unit():
    x, truth, area, background = USER_SPECTRA["Raman axis far from zero"]
    y = counts(x, [truth], [area], background, seed=5)
    fits = []
    for origin in (0.0, 450.0, 521.0):
        for scale in (1e-2, 1.0, 1e3):
            start = (520.0 - origin, 6.0, 0.5)
            x0, gamma, eta = pseudo_voigt_mle_full_optimization(x - origin, y * scale, *start, 450.0 - origin,
                                                                600.0 - origin, 0.1, 150.0, 200, 1e-12)
            fits.append((x0 + origin, gamma, eta))
    fits = np.array(fits)
    assert np.all(fits[:, 2] == fits[0, 2])
    # The minimiser stops at a projected gradient of 1e-5 in absolute terms, so at a hundredth of
    # the counts the likelihood is a hundred times flatter and the stop up to 1e-5 further out.
    np.testing.assert_allclose(fits[:, :2], np.broadcast_to(fits[4, :2], fits[:, :2].shape), rtol=0, atol=2e-5)


# --- Mixtures ---------------------------------------------------------------------------------------

def pv_em_arguments(x, y, peaks, bg_type=1, **overrides):
    k = len(peaks)
    b = 0 if bg_type == 0 else 1
    args = dict(x=x, intensity=y, x0=np.array([p[0] for p in peaks], float),
                gamma_pv=np.array([p[1] for p in peaks], float), eta=np.array([p[2] for p in peaks], float),
                pi=np.full(k + b, 1.0 / (k + b)), dirichlet_alpha=np.ones(k + b), fix_x0=[False] * k,
                fix_gamma=[False] * k, fix_eta=[False] * k, use_full_opt=False, x_min=float(x[0]),
                x_max=float(x[-1]), gamma_min=0.1, gamma_max=float(x[-1] - x[0]), max_iter=200, r_eps=1e-9,
                bg_type=bg_type)
    args.update(overrides)
    return args


@pytest.fixture(scope="module")
def two_peaks():
    x = np.linspace(0.0, 100.0, 1000)
    return x, counts(x, [(35.0, 5.0, 0.4), (62.0, 8.0, 0.9)], [40000.0, 30000.0], 3.0, seed=8)


def numpy_e_step(x, y, x0, gamma, eta, pi, window):
    rows = np.vstack([reference.density(x, *p, *window) for p in zip(x0, gamma, eta)]
                     + [np.full(x.size, 1.0 / (window[1] - window[0]))])
    mixture = pi @ rows
    return rows * pi[:, None] / (mixture + 1e-20), float(y @ np.log(mixture + 1e-200))


class TestMixture:
    @pytest.mark.parametrize("use_full_opt", [False, True])
    def test_first_iteration_is_numpys_e_step_and_the_single_peak_fits(self, two_peaks, use_full_opt):
        x, y = two_peaks
        args = pv_em_arguments(x, y, [(30.0, 6.0, 0.5), (65.0, 6.0, 0.5)], use_full_opt=use_full_opt, max_iter=1)
        start = {k: v.copy() for k, v in args.items() if isinstance(v, np.ndarray)}
        t, ll, rel, _ = run_pv_em_loop(**args)
        assert t == 1 and ll.size == rel.size == 2 and rel[0] == 0.0
        g, ll0 = numpy_e_step(x, y, start["x0"], start["gamma_pv"], start["eta"], start["pi"], (0.0, 100.0))
        assert ll[0] == pytest.approx(ll0, rel=1e-12)
        b = g @ y
        np.testing.assert_allclose(args["pi"], b / b.sum(), rtol=1e-12)
        for k in range(2):
            peak = (start["x0"][k], start["gamma_pv"][k], start["eta"][k])
            if use_full_opt:
                # The EM's own max_iter (1) and r_eps reach the refit.
                expected = pseudo_voigt_mle_full_optimization(x, y * g[k], *peak, 0.0, 100.0, 0.1, 100.0, 1, 1e-9)
            else:
                expected = pseudo_voigt_mle_conditional_max(x, y * g[k], *peak, 0.0, 100.0)
            got = (args["x0"][k], args["gamma_pv"][k], args["eta"][k])
            # The weights differ from NumPy's in the last bits; eta is a grid value either way.
            assert got[2] == expected[2]
            np.testing.assert_allclose(got[:2], expected[:2], rtol=1e-7)

    def test_the_ems_max_iter_and_r_eps_bound_every_refits_alternation(self, two_peaks):
        x, y = two_peaks
        # Starts whose eta is far off: each refit's first step moves eta, and a second step would
        # move the centre and width after it.
        peaks = [(30.0, 9.0, 0.05), (65.0, 3.0, 0.2)]
        g, _ = numpy_e_step(x, y, *np.array(peaks).T, np.full(3, 1 / 3), (0.0, 100.0))

        def single(k, max_iter, r_eps):
            return pseudo_voigt_mle_full_optimization(x, y * g[k], *peaks[k], 0.0, 100.0, 0.1, 100.0, max_iter, r_eps)

        # r_eps so large that the EM stops after one iteration, and each refit after one step.
        args = pv_em_arguments(x, y, peaks, use_full_opt=True, max_iter=5, r_eps=1e300)
        assert run_pv_em_loop(**args)[0] == 1
        for k in range(2):
            expected = single(k, 5, 1e300)
            assert expected == single(k, 1, 0.0) and expected[2] != single(k, 5, 0.0)[2]
            assert args["eta"][k] == expected[2]
            np.testing.assert_allclose([args["x0"][k], args["gamma_pv"][k]], expected[:2], rtol=1e-7)

    @pytest.mark.parametrize("use_full_opt, etas", [(True, (0.4, 0.9)), (False, (0.85, 0.95))])
    def test_recovers_two_peaks_and_the_likelihood_climbs(self, use_full_opt, etas):
        # 40,000 and 30,000 counts over 3,000 flat ones: the centres' standard errors are near
        # gamma / sqrt(N), 0.025 and 0.05, the widths' about twice that relative to the width. The
        # conditional refit only reaches eta in [0.80, 0.99], so its spectrum has its etas there.
        # Tolerances: 4 of those errors, plus what the eta grid can leave (see the C++ recovery test:
        # up to several grid steps, which move the width by about 1.5 % each).
        x = np.linspace(0.0, 100.0, 1000)
        y = counts(x, [(35.0, 5.0, etas[0]), (62.0, 8.0, etas[1])], [40000.0, 30000.0], 3.0, seed=8)
        args = pv_em_arguments(x, y, [(30.0, 6.0, 0.5), (65.0, 6.0, 0.5)], use_full_opt=use_full_opt, max_iter=500)
        t, ll, rel, _ = run_pv_em_loop(**args)
        assert t < 500 and abs(rel[-1]) < 1e-9
        assert np.all(np.diff(ll) >= -1e-9 * np.abs(ll[1:]))
        np.testing.assert_allclose(args["x0"], [35.0, 62.0], atol=0.2)
        np.testing.assert_allclose(args["gamma_pv"], [5.0, 8.0], rtol=0.08)
        np.testing.assert_allclose(args["eta"], etas, atol=0.08)
        grid = np.arange(100) * 0.01 if use_full_opt else np.arange(20) * 0.01 + 0.8
        assert all(np.any(e == grid) for e in args["eta"])

    def test_bad_sizes_and_bounds_raise_and_write_nothing_back(self, two_peaks):
        x, y = two_peaks
        args = pv_em_arguments(x, y, [(30.0, 6.0, 0.5), (65.0, 6.0, 0.5)], use_full_opt=True, max_iter=5)
        args["eta"] = np.array([0.5])
        with pytest.raises(PanicException, match="^index out of bounds: the len is 1 but the index is 1$"):
            run_pv_em_loop(**args)
        args = pv_em_arguments(x, y, [(30.0, 6.0, 0.5), (65.0, 6.0, 0.5)], use_full_opt=True, max_iter=5,
                               gamma_min=math.nan)
        before = {k: v.copy() for k, v in args.items() if isinstance(v, np.ndarray)}
        with pytest.raises(PanicException) as info:
            run_pv_em_loop(**args)
        assert str(info.value) == "min > max, or either was NaN. min = NaN, max = 100.0"
        for name, value in before.items():
            np.testing.assert_array_equal(args[name], value, err_msg=name)
        # The conditional refit has no width bounds: the same call without the full optimisation runs.
        args["use_full_opt"] = False
        assert run_pv_em_loop(**args)[0] == 5
        with pytest.raises(TypeError) as info:
            run_pv_em_loop(**dict(args, use_full_opt=1))
        assert str(info.value) == "argument 'use_full_opt': 'int' object cannot be converted to 'PyBool'"


RAMAN = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "data", "raman_Si_spectrum01.csv")


def test_measured_silicon_line_with_a_background():
    """The silicon phonon near 520.7 cm^-1 of a measured Raman spectrum, 55 samples 2.7 cm^-1 apart
    in the window 450 to 600, intensities in arbitrary units on a bias of about 570. One peak
    plus a uniform or a linear background, either refit, on the axis as recorded and shifted."""
    shift, intensity = np.loadtxt(RAMAN, delimiter=",", skiprows=1, unpack=True)
    inside = (shift >= 450.0) & (shift <= 600.0)
    x, y = shift[inside], intensity[inside]
    window = (450.0, 600.0)

    def mixture_log_likelihood(x0, gamma, eta, pi, s_tri, bg_type):
        peak = reference.density(x, x0, gamma, eta, *window)
        if bg_type == 1:
            background = np.full(x.size, 1.0 / 150.0)
        else:  # the linear background's row at the returned tilt, as the module forms it
            t = (x - 450.0) / 150.0
            background = ((1.0 - s_tri) + 2.0 * s_tri * t) / 150.0
        return float(y @ np.log(pi[0] * peak + pi[1] * background + 1e-200))

    fits = {}
    for use_full_opt in (False, True):
        for bg_type in (1, 3):
            for origin in (0.0, 521.0):
                x0, gamma, eta, pi = np.array([520.0 - origin]), np.array([5.0]), np.array([0.5]), np.array([0.5, 0.5])
                t, ll, rel, s_tri = run_pv_em_loop(x - origin, y, x0, gamma, eta, pi, np.ones(2), [False], [False],
                                                   [False], use_full_opt, 450.0 - origin, 600.0 - origin, 0.1, 50.0,
                                                   1000, 1e-10, bg_type=bg_type)
                assert t < 1000 and np.all(np.diff(ll) >= -1e-9 * np.abs(ll[1:]))
                fits[use_full_opt, bg_type, origin] = (x0[0] + origin, gamma[0], eta[0], pi.copy(), s_tri)
    for (use_full_opt, bg_type, origin), (x0, gamma, eta, pi, s_tri) in fits.items():
        # The axis origin changes nothing but the last bits.
        other = fits[use_full_opt, bg_type, 521.0 - origin]
        np.testing.assert_allclose([x0, gamma, eta], other[:3], rtol=1e-9)
        # The line: within half a sample spacing of the silicon phonon's 520.7 (the spectrum's
        # calibration puts it at 521.3), 5 to 10 wide, holding about a fifth of the intensity.
        assert abs(x0 - 520.7) < 1.35 and 5.0 < gamma < 10.0 and 0.15 < pi[0] < 0.3
        # The EM stopped at a maximum in the centre and width: neither moving raises the mixture's
        # likelihood (computed here with NumPy) by more than its rounding.
        best = mixture_log_likelihood(x0, gamma, eta, pi, s_tri, bg_type)
        for index in (0, 1):
            for step in (-1e-3, 1e-3):
                moved = [x0, gamma]
                moved[index] += step
                assert mixture_log_likelihood(*moved, eta, pi, s_tri, bg_type) <= best + 1e-9 * abs(best)


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity") or len(os.sched_getaffinity(0)) < 2,
                    reason="needs a process affinity of at least two processors")
def test_one_worker_thread_and_two_give_the_same_bits():
    # The worker pool sizes itself from the processors the process may run on. Each child narrows
    # its affinity before the module's first call, fits the same mixture with both refits, and
    # reports how many threads the pool added besides its results: none with one processor, one
    # with two, so the comparison is between one thread and two.
    code = textwrap.dedent(
        """
        import os, sys
        os.sched_setaffinity(0, set(sorted(os.sched_getaffinity(0))[:int(sys.argv[1])]))
        import numpy as np, brivane_core
        threads = len(os.listdir("/proc/self/task"))
        x = np.linspace(0.0, 100.0, 2000)
        rate = 4.0 + sum(a * brivane_core.pseudo_voigt_predict(x, c, 5.0, e, 0.0, 100.0) for a, c, e in
                         ((2e3, 30.0, 0.3), (1e3, 45.0, 0.8), (3e3, 70.0, 0.5)))
        y = np.random.default_rng(9).poisson(rate).astype(float)
        out = []
        for use_full_opt in (False, True):
            x0, gamma, eta, pi = np.array([25.0, 50.0, 75.0]), np.full(3, 8.0), np.full(3, 0.5), np.full(4, 0.25)
            t, ll, rel, _ = brivane_core.run_pv_em_loop(x, y, x0, gamma, eta, pi, np.ones(4), [False] * 3,
                                                        [False] * 3, [False] * 3, use_full_opt, 0.0, 100.0, 0.1,
                                                        50.0, 40, 1e-12, bg_type=1)
            out += [float(v).hex() for v in np.concatenate([ll, x0, gamma, eta, pi])]
        out.append(float(brivane_core.pseudo_voigt_mle_full_optimization(x, y, 40.0, 9.0, 0.5, 0.0, 100.0, 0.1,
                                                                         50.0, 100, 1e-12)[1]).hex())
        print(len(os.listdir("/proc/self/task")) - threads, " ".join(out))
        """
    )
    runs = {}
    for processors in (1, 2):
        out = subprocess.run([sys.executable, "-c", code, str(processors)], capture_output=True, text=True,
                             timeout=300, env=dict(os.environ, OPENBLAS_NUM_THREADS="1"))
        assert out.returncode == 0, out.stderr
        added, results = out.stdout.split(" ", 1)
        runs[processors] = (int(added), results)
    assert runs[1][0] == 0 and runs[2][0] == 1
    assert runs[1][1] == runs[2][1]
