"""lorentzian_mle and run_lorentzian_em_loop."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from brivane_core import PanicException, lorentzian_mle, run_lorentzian_em_loop
import reference_lorentzian
from mixture_shapes import cauchy_counts, expect_first_e_step, lorentzian_arguments as em_arguments, lorentzian_two_peaks

LINE = "LBFGSB finished\n"


@pytest.fixture
def peak():
    x = np.linspace(-30.0, 30.0, 1201)
    return x, cauchy_counts(x, [2.5], [3.0], [1.0], 40000, seed=11)


class TestSinglePeakFit:
    def test_agrees_with_scipy_on_the_same_objective(self, peak, capfd):
        x, counts = peak
        for window in ((-30.0, 30.0), (-10.0, 12.0)):
            got = lorentzian_mle(x, counts, 0.0, 1.0, *window)
            expected = reference_lorentzian.fit(x, counts, 0.0, 1.0, *window)
            # Both minimisers stop at a projected gradient of 1e-5 on a log-likelihood whose
            # curvature is of order the count total, so the optima agree far below 1e-4.
            np.testing.assert_allclose(got, expected, rtol=1e-4, atol=1e-4)
        assert capfd.readouterr().out == LINE * 2

    def test_recovers_the_peak(self, peak, capfd):
        # 40,000 counts: the centre's standard error is about gamma / (2 sqrt(N/2)) ~ 0.01 and the
        # width's about 0.02; the grid's truncation at +-30 is taken care of by the normalisation.
        x, counts = peak
        x0, gamma = lorentzian_mle(x, counts, -25.0, 50.0, -30.0, 30.0)
        assert x0 == pytest.approx(2.5, abs=0.06)
        assert gamma == pytest.approx(3.0, abs=0.1)
        assert capfd.readouterr().out == LINE

    def test_starting_centre_has_no_influence(self, peak, capfd):
        x, counts = peak
        assert lorentzian_mle(x, counts, -29.0, 1.0, -30, 30) == lorentzian_mle(x, counts, 29.0, 1.0, -30, 30)
        capfd.readouterr()

    def test_fixed_centre(self, peak, capfd):
        x, counts = peak
        x0, gamma = lorentzian_mle(x, counts, 1.0, 7.0, -30.0, 30.0, fix_x0=True)
        assert x0 == 1.0
        expected = reference_lorentzian.fit(x, counts, 1.0, 7.0, -30.0, 30.0, fix_x0=True)
        assert gamma == pytest.approx(expected[1], rel=1e-4)
        assert capfd.readouterr().out == LINE

    def test_fixed_width(self, peak, capfd):
        x, counts = peak
        x0, gamma = lorentzian_mle(x, counts, 0.0, 5.0, -30.0, 30.0, fix_gamma=np.True_)
        assert gamma == 5.0 and x0 == pytest.approx(2.5, abs=0.1)
        assert capfd.readouterr().out == LINE

    @pytest.mark.parametrize("case", ["both fixed", "zero intensity", "empty", "reversed window"])
    def test_degenerate_inputs_return_the_inputs_and_print_nothing(self, peak, capfd, case):
        x, counts = peak
        if case == "both fixed":
            result = lorentzian_mle(x, counts, 0.5, 2.0, -30.0, 30.0, True, True)
        elif case == "zero intensity":
            result = lorentzian_mle(x, np.zeros_like(x), 0.5, 2.0, -30.0, 30.0)
        elif case == "empty":
            result = lorentzian_mle(np.array([]), np.array([]), 0.5, 2.0, -30.0, 30.0)
        else:  # x_min above x_max: the minimiser refuses the centre's bounds
            result = lorentzian_mle(x, counts, 0.5, 2.0, 30.0, -30.0)
        assert result == (0.5, 2.0)
        assert capfd.readouterr().out == ""

    def test_results_stay_inside_their_bounds(self, capfd):
        x = np.linspace(0.0, 10.0, 501)
        narrow = np.zeros_like(x)
        narrow[250] = 1000.0  # a spike: the width wants to go below 0.1
        assert lorentzian_mle(x, narrow, 5.0, 1.0, 0.0, 10.0)[1] == 0.1
        flat = np.ones_like(x)  # flat counts: the width wants to be as large as possible
        x0, gamma = lorentzian_mle(x, flat, 5.0, 1.0, 4.0, 6.0)
        assert 4.0 <= x0 <= 6.0 and 0.1 <= gamma <= 2000.0
        wide = cauchy_counts(x, [1.0], [4.0], [1.0], 5000, seed=2)
        x0, _ = lorentzian_mle(x, wide, 5.0, 1.0, 3.0, 9.0)  # true centre left of the window
        assert x0 == 3.0
        assert capfd.readouterr().out == LINE * 3

    def test_argument_conversion(self, peak):
        x, counts = peak
        with pytest.raises(TypeError) as info:
            lorentzian_mle(x, counts, 0.0, 1.0, -30.0, 30.0, fix_x0=1)
        assert str(info.value) == "argument 'fix_x0': 'int' object cannot be converted to 'PyBool'"
        with pytest.raises(TypeError) as info:
            lorentzian_mle(x, counts, 0.0, 1.0, -30.0, 30.0, fix_gamma=None)
        assert str(info.value) == "argument 'fix_gamma': 'NoneType' object cannot be converted to 'PyBool'"
        with pytest.raises(TypeError) as info:
            lorentzian_mle(x.astype(np.float32), counts, 0.0, 1.0, -30.0, 30.0)
        assert str(info.value) == "argument 'x': 'ndarray' object cannot be converted to 'PyArray<T, D>'"
        with pytest.raises(TypeError) as info:
            lorentzian_mle(x, counts, 0.0, 1.0, -30.0)
        assert str(info.value) == "lorentzian_mle() missing 1 required positional argument: 'x_max'"
        with pytest.raises(TypeError) as info:
            lorentzian_mle(x, counts, 0.0, 1.0, -30.0, 30.0, False, False, False)
        assert str(info.value) == "lorentzian_mle() takes from 6 to 8 positional arguments but 9 were given"

    def test_failed_print_is_a_panic(self):
        code = textwrap.dedent(
            """
            import os, sys, numpy as np, brivane_core
            x = np.linspace(-5, 5, 101)
            counts = 10 / (1 + x * x)
            os.close(1)
            try:
                brivane_core.lorentzian_mle(x, counts, 0.0, 1.0, -5.0, 5.0)
            except brivane_core.PanicException as error:
                sys.stderr.write("panic: " + str(error))
            """
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert "panic: failed printing to stdout: Bad file descriptor (os error 9)" in out.stderr, out.stderr


@pytest.fixture
def two_peaks():
    return lorentzian_two_peaks()


class TestMixture:
    def test_first_iteration_agrees_with_numpy_and_scipy(self, two_peaks, capfd):
        x, counts = two_peaks
        args = em_arguments(x, counts, [30.0, 65.0], [6.0, 6.0], bg_type=1, max_iter=1, r_eps=0.0)
        start = {k: v.copy() for k, v in args.items() if isinstance(v, np.ndarray)}
        t, ll, rel, s_tri = run_lorentzian_em_loop(**args)
        assert t == 1 and ll.size == 2
        # The reference iteration: E-step, weight update, refits from intensity * responsibility.
        d = np.vstack([reference_lorentzian.density(x, c, g, 0.0, 100.0) for c, g in zip(start["x0"], start["gamma_lo"])]
                      + [np.full(x.size, 0.01)])
        g = expect_first_e_step(counts, d, start["pi"], ll, args["pi"])
        for k in range(2):
            expected = reference_lorentzian.fit(x, counts * g[k], start["x0"][k], start["gamma_lo"][k], 0.0, 100.0)
            np.testing.assert_allclose([args["x0"][k], args["gamma_lo"][k]], expected, rtol=1e-4)
        assert capfd.readouterr().out == LINE * 2

    def test_recovers_two_peaks_and_prints_one_line_per_refit(self, two_peaks, capfd):
        x, counts = two_peaks
        args = em_arguments(x, counts, [30.0, 65.0], [6.0, 6.0], bg_type=1, max_iter=300)
        t, ll, rel, s_tri = run_lorentzian_em_loop(**args)
        assert t < 300 and np.all(np.diff(ll) > -1e-6 * np.abs(ll[1:]))
        np.testing.assert_allclose(args["x0"], [35.0, 60.0], atol=0.15)
        np.testing.assert_allclose(args["gamma_lo"], [4.0, 8.0], rtol=0.05)
        out = capfd.readouterr().out
        assert out == LINE * (2 * t)  # whole lines only, one per refit

    def test_max_iter_zero_prints_nothing(self, two_peaks, capfd):
        x, counts = two_peaks
        args = em_arguments(x, counts, [30.0, 65.0], [6.0, 6.0], max_iter=0)
        assert run_lorentzian_em_loop(**args)[0] == 0
        assert args["x0"].tolist() == [30.0, 65.0]
        assert capfd.readouterr().out == ""

    def test_component_without_responsibility_keeps_its_values(self, two_peaks, capfd):
        # A third peak whose weight is 0 gets no responsibility: its weights sum to 0, values kept,
        # and only the two live peaks print.
        x, counts = two_peaks
        args = em_arguments(x, counts, [35.0, 60.0, 80.0], [4.0, 8.0, 3.0], max_iter=3, r_eps=0.0)
        args["pi"] = np.array([0.5, 0.5, 0.0])
        run_lorentzian_em_loop(**args)
        assert args["x0"][2] == 80.0 and args["gamma_lo"][2] == 3.0
        assert capfd.readouterr().out == LINE * 6

    def test_sizes_and_borrows(self, two_peaks):
        x, counts = two_peaks
        args = em_arguments(x, counts, [30.0, 65.0], [6.0], max_iter=3)
        with pytest.raises(PanicException, match="^index out of bounds: the len is 1 but the index is 1$"):
            run_lorentzian_em_loop(**args)
        args = em_arguments(x, counts, [30.0, 65.0], [6.0, 6.0], max_iter=3)
        args["gamma_lo"] = args["x0"]
        with pytest.raises(PanicException, match="AlreadyBorrowed$"):
            run_lorentzian_em_loop(**args)


RAMAN = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "data", "raman_Si_spectrum01.csv")


@pytest.fixture(scope="module")
def silicon_line():
    """The silicon phonon of a measured Raman spectrum, window 450 to 600 cm^-1, as recorded."""
    shift, intensity = np.loadtxt(RAMAN, delimiter=",", skiprows=1, unpack=True)
    inside = (shift >= 450.0) & (shift <= 600.0)
    return shift[inside], intensity[inside]


class TestMeasuredRamanLine:
    """A user's spectrum: an axis hundreds of units from zero, a bias under the line, intensities
    in arbitrary units. The start width from the raw second moment is then about 600, a hundred
    times the line's, so the minimiser must travel far through a shallow likelihood."""

    def test_fit_does_not_depend_on_where_the_axis_starts_or_on_the_intensity_unit(self, silicon_line, capfd):
        x, y = silicon_line
        bias = np.median(np.concatenate([y[:10], y[-10:]]))
        counts = np.maximum(y - bias, 0.0)
        expected = reference_lorentzian.fit(x, counts, 0.0, 1.0, 450.0, 600.0)
        fits = {}
        for origin in (0.0, x[0], 521.0):
            for scale in (1e-3, 1.0, 100.0, 1e4):
                x0, gamma = lorentzian_mle(x - origin, counts * scale, 0.0, 1.0, 450.0 - origin, 600.0 - origin)
                fits[origin, scale] = (x0 + origin, gamma)
        capfd.readouterr()
        centres, widths = np.array(list(fits.values())).T
        # SciPy's L-BFGS-B on the same objective: width 4.8291.
        assert abs(expected[1] - 4.8291) < 1e-4
        # Every case lands within 1e-5 of the width of that fit. At scale 1e-3 the likelihood's
        # curvature is a thousand times smaller, and the projected-gradient tolerance of 1e-5
        # can be met up to about 4e-5 from the optimum.
        tolerance = 1e-5 * expected[1]
        np.testing.assert_allclose(widths, expected[1], atol=tolerance)
        np.testing.assert_allclose(centres, expected[0], atol=tolerance)

    def test_mixture_with_background_climbs_and_does_not_depend_on_the_axis_origin(self, silicon_line, capfd):
        x, y = silicon_line
        results = []
        for origin in (0.0, 521.0):
            x0, width, pi = np.array([520.0 - origin]), np.array([5.0]), np.array([0.5, 0.5])
            iterations, ll, rel, _ = run_lorentzian_em_loop(
                x - origin, y, x0, width, pi, np.ones(2), [False], [False],
                450.0 - origin, 600.0 - origin, 1000, 1e-9, bg_type=1)
            assert iterations < 1000
            assert abs(rel[-1]) < 1e-9
            # Every M-step maximises its own objective, so the likelihood never falls (beyond
            # the rounding of its sum).
            assert np.all(np.diff(ll) >= -1e-9 * np.abs(ll[1:])), np.diff(ll)
            results.append((x0[0] + origin, width[0], pi[0]))
        capfd.readouterr()
        (c1, w1, p1), (c2, w2, p2) = results
        assert 521.0 < c1 < 521.6 and 5.0 < w1 < 7.0
        np.testing.assert_allclose([c1, w1, p1], [c2, w2, p2], rtol=1e-6)
