"""doniach_sunjic_mle and run_ds_em_loop against NumPy and SciPy, on synthetic spectra drawn with
fixed seeds. (The single-peak fit's comparison with SciPy's L-BFGS-B over a whole case set is in
fit_comparison.py.)"""
import numpy as np
import pytest

from brivane_core import PanicException, doniach_sunjic_mle, run_ds_em_loop
import reference_doniach_sunjic as reference
from mixture_errors import expect_recovered, mixture_log_likelihood, standard_errors
from mixture_shapes import DOUBLET, DS_BOUNDS, DS_ROUGH as ROUGH, ds_arguments as em_arguments, ds_counts, ds_doublet
from mixture_shapes import expect_first_e_step


# A C 1s-like line on a binding-energy axis far from zero: x0, gamma, alpha.
LINE = (284.8, 0.45, 0.12)
LINE_BOUNDS = (0.01, 5.0, 0.0, 0.6)  # gamma_min, gamma_max, alpha_min, alpha_max


@pytest.fixture(scope="module")
def line():
    x = np.linspace(278.0, 292.0, 1401)
    return x, ds_counts(x, [LINE + (200000,)], 0.0, seed=41)


class TestSinglePeakFit:
    def test_recovers_the_line_from_a_rough_start(self, line):
        x, counts = line
        fitted = doniach_sunjic_mle(x, counts, 286.0, 2.0, 0.3, x[0], x[-1], *LINE_BOUNDS)
        log_likelihood = lambda p: reference.log_likelihood(x, counts, *p)  # noqa: E731
        errors = standard_errors(log_likelihood, fitted, [1e-4] * 3)
        expect_recovered(fitted, LINE, errors, [LINE[1], LINE[1], LINE[2]], ["x0", "gamma", "alpha"])
        assert log_likelihood(fitted) >= log_likelihood(LINE)

    def test_a_common_factor_on_the_counts_changes_no_fitted_value(self, line):
        # The maximum-likelihood line depends on the counts' proportions only. The projected-gradient
        # tolerance 1e-5 pins it down within about 1e-5 over the curvature, which is of order the
        # count total: 2e2 at the small end (1e-3 of the counts) and 2e11 at the large one.
        x, counts = line
        fits = np.array([doniach_sunjic_mle(x, counts * f, 286.0, 2.0, 0.3, x[0], x[-1], *LINE_BOUNDS)
                         for f in (1e-3, 1.0, 1e6)])
        np.testing.assert_allclose(fits[2], fits[1], rtol=0, atol=1e-7)
        np.testing.assert_allclose(fits[0], fits[1], rtol=0, atol=1e-4)

    def test_held_parameters_come_back_as_passed(self, line):
        x, counts = line
        for flags in ((True, False, False), (False, True, False), (False, False, True), (True, False, True)):
            start = (284.5, 0.7, 0.2)
            fitted = doniach_sunjic_mle(x, counts, *start, x[0], x[-1], *LINE_BOUNDS, *flags)
            expected, _ = reference.minimise(x, counts, *start, x[0], x[-1], *LINE_BOUNDS, *flags)
            for held, got, passed, scipy in zip(flags, fitted, start, expected):
                assert got == passed if held else got == pytest.approx(scipy, abs=1e-4)

    def test_only_the_first_intensities_enter_when_they_are_fewer_than_the_samples(self, line):
        # The density is still normalised over the whole grid: a fit to the left half of the
        # counts is not a fit to the left half of the grid.
        x, counts = line
        half = counts[: x.size // 2].copy()
        fitted = doniach_sunjic_mle(x, half, 284.0, 1.0, 0.1, x[0], x[-1], *LINE_BOUNDS)
        expected, _ = reference.minimise(x, half, 284.0, 1.0, 0.1, x[0], x[-1], *LINE_BOUNDS)
        assert reference.log_likelihood(x, half, *fitted) >= reference.log_likelihood(x, half, *expected) - 1e-9
        assert fitted != doniach_sunjic_mle(x[: x.size // 2], half, 284.0, 1.0, 0.1, x[0], x[-1], *LINE_BOUNDS)

    @pytest.mark.parametrize("case", ["all held", "no counts", "empty grid", "one sample", "gamma bounds reversed",
                                      "centre bounds reversed"])
    def test_degenerate_inputs_return_the_start(self, line, case):
        x, counts = line
        start = (284.5, 0.7, 0.2)
        bounds = (x[0], x[-1]) + LINE_BOUNDS
        if case == "all held":
            fitted = doniach_sunjic_mle(x, counts, *start, *bounds, True, True, True)
        elif case == "no counts":
            fitted = doniach_sunjic_mle(x, np.zeros_like(x), *start, *bounds)
        elif case == "empty grid":
            fitted = doniach_sunjic_mle(np.array([]), np.array([]), *start, *bounds)
        elif case == "one sample":
            # One sample has no trapezoid: the density is 0 and the objective flat.
            fitted = doniach_sunjic_mle(x[:1], counts[:1] + 5.0, *start, *bounds)
        elif case == "gamma bounds reversed":
            fitted = doniach_sunjic_mle(x, counts, *start, x[0], x[-1], 5.0, 0.01, 0.0, 0.6)
        else:
            fitted = doniach_sunjic_mle(x, counts, *start, x[-1], x[0], *LINE_BOUNDS)
        assert fitted == start

    def test_nan_bounds_of_a_free_parameter_raise(self, line):
        x, counts = line
        with pytest.raises(PanicException, match=r"^min > max, or either was NaN\. min = 0\.0, max = NaN$"):
            doniach_sunjic_mle(x, counts, 284.5, 0.7, 0.2, x[0], x[-1], 0.01, 5.0, 0.0, float("nan"))
        # Held, the same parameter's bounds are never looked at.
        assert doniach_sunjic_mle(x, counts, 284.5, 0.7, 0.2, x[0], x[-1], 0.01, 5.0, 0.0, float("nan"),
                                  fix_alpha=True)[2] == 0.2

    def test_argument_conversion(self, line):
        x, counts = line
        with pytest.raises(TypeError) as info:
            doniach_sunjic_mle(x, counts, 284.5, 0.7, 0.2, x[0], x[-1], *LINE_BOUNDS, fix_alpha=1)
        assert str(info.value) == "argument 'fix_alpha': 'int' object cannot be converted to 'PyBool'"
        with pytest.raises(TypeError) as info:
            doniach_sunjic_mle(list(x), counts, 284.5, 0.7, 0.2, x[0], x[-1], *LINE_BOUNDS)
        assert str(info.value) == "argument 'x': 'list' object cannot be converted to 'PyArray<T, D>'"
        assert doniach_sunjic_mle(x[::-1][::-1], counts, 284.5, 0.7, 0.2, x[0], x[-1], *LINE_BOUNDS,
                                  fix_x0=np.True_, fix_gamma=np.True_, fix_alpha=np.True_) == (284.5, 0.7, 0.2)


@pytest.fixture(scope="module")
def doublet():
    return ds_doublet()


class TestMixture:
    def test_first_iteration_agrees_with_numpy_and_scipy(self, doublet):
        x, counts = doublet
        args = em_arguments(x, counts, **ROUGH, bg_type=1, max_iter=1, r_eps=0.0)
        t, ll, rel, _ = run_ds_em_loop(**args)
        assert t == 1 and ll.size == rel.size == 2
        rows = np.vstack([reference.density(x, *p) for p in zip(*ROUGH.values())] + [np.full(x.size, 0.05)])
        g = expect_first_e_step(counts, rows, np.full(3, 1.0 / 3.0), ll, args["pi"])
        for k in range(2):
            weights = counts * g[k]
            module = (args["x0"][k], args["gamma_ds"][k], args["alpha"][k])
            expected, _ = reference.minimise(x, weights, *(v[k] for v in ROUGH.values()), x[0], x[-1], *DS_BOUNDS)
            # At least as high as SciPy's optimum of the same objective, and beside it.
            objective = lambda p: reference.log_likelihood(x, weights, *p)  # noqa: E731
            assert objective(module) >= objective(expected) - 1e-10 * abs(objective(expected))
            np.testing.assert_allclose(module, expected, atol=1e-4)

    def test_recovers_the_doublet_from_rough_starts(self, doublet):
        x, counts = doublet
        args = em_arguments(x, counts, **ROUGH, bg_type=1)
        t, ll, _, _ = run_ds_em_loop(**args)
        assert t < 500 and np.all(np.diff(ll) >= -1e-9 * np.abs(ll[1:]))
        fitted = np.concatenate([np.column_stack([args["x0"], args["gamma_ds"], args["alpha"]]).ravel(),
                                 args["pi"][:-1]])
        background = np.full((1, x.size), 1.0 / (x[-1] - x[0]))
        log_likelihood = mixture_log_likelihood(counts, lambda c, g, a: reference.density(x, c, g, a), 3, background)
        errors = standard_errors(log_likelihood, fitted, np.concatenate([np.full(6, 1e-4), np.full(2, 1e-6)]))
        total = sum(p[3] for p in DOUBLET) + 30.0 * x.size
        truth = np.concatenate([np.ravel([p[:3] for p in DOUBLET]), [p[3] / total for p in DOUBLET]])
        scale = np.concatenate([[0.3, 0.3, 0.1] * 2, truth[6:]])
        names = [f"{n}[{k}]" for k in range(2) for n in ("x0", "gamma", "alpha")] + ["pi[0]", "pi[1]"]
        expect_recovered(fitted, truth, errors, scale, names)
        assert log_likelihood(fitted) >= log_likelihood(truth)

    def test_the_window_bounds_centres_but_leaves_the_peak_densities_alone(self, doublet):
        # Without a background and with the centres held, the window plays no part at all.
        x, counts = doublet
        results = []
        for window in ((80.0, 100.0), (85.0, 95.0), (-1e3, 1e3)):
            args = em_arguments(x, counts, **ROUGH, window=window, fix_x0=[True, True], max_iter=5, r_eps=0.0)
            ll = run_ds_em_loop(**args)[1]
            results.append((ll.tolist(), args["gamma_ds"].tolist(), args["alpha"].tolist(), args["pi"].tolist()))
        assert results[1] == results[0] and results[2] == results[0]

    def test_a_grid_of_one_sample_leaves_the_background_alone(self):
        # One sample has no trapezoid: every peak row is 0 and the mixture is the background's.
        x, counts = np.array([5.0]), np.array([7.0])
        args = em_arguments(x, counts, [5.0], [1.0], [0.1], window=(0.0, 10.0), bg_type=1, max_iter=3, r_eps=0.0)
        t, ll, _, _ = run_ds_em_loop(**args)
        assert ll[0] == pytest.approx(7.0 * np.log(0.5 * 0.1), rel=1e-15)
        assert args["pi"].tolist() == [0.0, 1.0] and args["x0"].tolist() == [5.0]

    def test_small_counts_climb_and_keep_to_the_bounds(self):
        # 80 counts on 500 samples far below zero.
        x = np.linspace(-520.0, -500.0, 500)
        counts = ds_counts(x, [(-510.0, 0.5, 0.2, 70)], 0.02, seed=43)
        assert counts.sum() < 100
        args = em_arguments(x, counts, [-508.0], [2.0], [0.0], bg_type=1)
        _, ll, _, _ = run_ds_em_loop(**args)
        assert np.all(np.diff(ll) >= -1e-9 * np.abs(ll[1:]))
        assert abs(args["x0"][0] + 510.0) < 0.5
        assert 0.01 <= args["gamma_ds"][0] <= 5.0 and 0.0 <= args["alpha"][0] <= 0.5
