"""The layer's answers to bad input: a TypeError or ValueError naming the argument (and the channel),
never a silent fit, never a PanicException, nothing printed, the caller's arrays untouched."""
import math

import numpy as np
import pytest

import brivane
from layer_support import needs_engine


def spectrum(n=200, seed=3):
    x = np.linspace(10.0, 30.0, n)
    mu = 2000 * 0.1 * np.exp(-0.5 * ((x - 20.0) / 1.2) ** 2) / (1.2 * math.sqrt(2 * math.pi)) + 5.0
    return x, np.random.default_rng(seed).poisson(mu).astype(float)


def gaussian_model(**kw):
    return brivane.Model([brivane.Gaussian(20.0, **kw)], background=brivane.Constant())


class TestData:
    @pytest.mark.parametrize("counts_change, message", [
        (lambda c: c[:-1], "differ in length"),
        (lambda c: np.where(np.arange(c.size) == 17, np.nan, c), r"counts\[17\] is nan"),
        (lambda c: np.where(np.arange(c.size) == 4, np.inf, c), r"counts\[4\] is inf"),
        (lambda c: np.where(np.arange(c.size) == 9, -1.0, c), r"counts\[9\] is negative"),
        (lambda c: c.reshape(2, -1), "counts must be one-dimensional"),
    ])
    def test_bad_counts_name_the_argument_and_channel(self, counts_change, message):
        x, counts = spectrum()
        with pytest.raises(ValueError, match=message):
            brivane.fit(x, counts_change(counts), gaussian_model())

    @pytest.mark.parametrize("x_change, message", [
        (lambda x: np.where(np.arange(x.size) == 50, x[49], x), r"x\[50\] = .* follows x\[49\]"),
        (lambda x: np.where(np.arange(x.size) == 3, np.nan, x), r"x\[3\] is nan"),
        (lambda x: x[np.r_[0:100, 120:200, 100:120]], r"x\[180\]"),
    ])
    def test_bad_x_names_the_channel(self, x_change, message):
        x, counts = spectrum()
        with pytest.raises(ValueError, match=message):
            brivane.fit(x_change(x), counts, gaussian_model())

    @pytest.mark.parametrize("value, argument", [
        ("abc", "x"), ([1 + 2j] * 200, "x"), ([True] * 200, "x"), (None, "x"), ([[1, 2], [3]], "x"),
    ])
    def test_values_that_are_not_real_numbers_are_type_errors(self, value, argument):
        _, counts = spectrum()
        with pytest.raises(TypeError, match=argument):
            brivane.fit(value, counts, gaussian_model())

    @pytest.mark.parametrize("window, error, message", [
        ((30.0, 12.0), ValueError, "reversed"),
        ((20.0, 20.0), ValueError, "reversed or empty"),
        ((5.0, 25.0), ValueError, "outside the data"),
        ((12.0, 45.0), ValueError, "outside the data"),
        ((40.0, 50.0), ValueError, "outside the data"),
        ((12.0, 12.05), ValueError, "holds 1 channels; a fit needs more"),
        ("12-20", TypeError, "window"),
        ((12.0,), TypeError, "window"),
        ((12.0, math.nan), ValueError, "window"),
    ])
    def test_bad_windows(self, window, error, message):
        x, counts = spectrum()
        with pytest.raises(error, match=message):
            brivane.fit(x, counts, gaussian_model(), window=window)

    @pytest.mark.parametrize("keyword, value, error, message", [
        ("method", "lsq", ValueError, "method must be one of"),
        ("method", 1, TypeError, "method"),
        ("errors", "chi2", ValueError, "errors must be one of"),
        ("max_iter", 0, ValueError, "max_iter must be >= 1"),
        ("max_iter", 2.5, TypeError, "max_iter must be an integer"),
        ("tolerance", -1.0, ValueError, "tolerance"),
        ("start", 3, TypeError, "start must be"),
        ("start", "lm", ValueError, "start must be one of"),
        ("start", {"p7.center": 1.0}, ValueError, "unknown parameter 'p7.center'"),
        ("start", {"p0.center": "20"}, TypeError, r"start\['p0.center'\] must be a real number"),
        ("start", {"p0.center": float("nan")}, ValueError, r"start\['p0.center'\] must be finite"),
    ])
    def test_bad_options(self, keyword, value, error, message):
        x, counts = spectrum()
        with pytest.raises(error, match=message):
            brivane.fit(x, counts, gaussian_model(), **{keyword: value})

    def test_model_must_be_a_model(self):
        x, counts = spectrum()
        with pytest.raises(TypeError, match="model must be a brivane.Model"):
            brivane.fit(x, counts, [brivane.Gaussian(20.0)])


class TestModel:
    @pytest.mark.parametrize("make, error, message", [
        (lambda: brivane.Gaussian(20.0, sigma=0.0), ValueError, "sigma must be > 0"),
        (lambda: brivane.Gaussian(20.0, sigma=-1.0), ValueError, "sigma must be > 0"),
        (lambda: brivane.Lorentzian(20.0, fwhm=-2.0), ValueError, "fwhm must be > 0"),
        (lambda: brivane.PseudoVoigt(20.0, 1.0, eta=1.3), ValueError, r"eta must lie in \[0, 1\]"),
        (lambda: brivane.PseudoVoigt(20.0, 1.0, eta=-0.1), ValueError, r"eta must lie in \[0, 1\]"),
        (lambda: brivane.DoniachSunjic(20.0, 1.0, alpha=1.0), ValueError, r"alpha must lie in \[0, 1\)"),
        (lambda: brivane.Voigt(20.0, 1.0, gamma=-0.5), ValueError, "gamma must be >= 0"),
        (lambda: brivane.Gaussian(math.nan), ValueError, "center must be finite"),
        (lambda: brivane.Gaussian("20"), TypeError, "center must be a real number"),
        (lambda: brivane.Gaussian(20.0, bounds={"width": (0, 1)}), ValueError, "no parameter 'width'"),
        (lambda: brivane.Gaussian(20.0, bounds={"sigma": (2, 1)}), ValueError, "not an ordered pair"),
        (lambda: brivane.Gaussian(20.0, fixed="centre"), ValueError, "no parameter 'centre'"),
        (lambda: brivane.Gaussian(20.0, name="a.b"), ValueError, "name"),
        (lambda: brivane.Polynomial(-1), ValueError, "degree"),
        (lambda: brivane.Polynomial(2, [1.0]), ValueError, "needs 3"),
        (lambda: brivane.UserRows([[1.0, math.nan]]), ValueError, r"rows\[0\]\[1\]"),
        (lambda: brivane.Shirley(direction=0), ValueError, "direction"),
        (lambda: brivane.Model([brivane.Constant()]), TypeError, r"peaks\[0\] must be a peak"),
        (lambda: brivane.Model([brivane.Gaussian(1.0)], background=brivane.Gaussian(2.0)), TypeError,
         r"background\[0\]"),
        (lambda: brivane.Model([brivane.Gaussian(1.0, name="a"), brivane.Gaussian(2.0, name="a")]),
         ValueError, "two terms are named 'a'"),
        (lambda: brivane.Model([brivane.TSDC(0.8, 300.0)]), ValueError, "heating_rate"),
    ])
    def test_bad_terms_are_refused_when_made(self, make, error, message):
        with pytest.raises(error, match=message):
            make()

    def test_ties_to_unknown_parameters_and_cycles(self):
        model = brivane.Model([brivane.Gaussian(20.0), brivane.Gaussian(24.0)])
        with pytest.raises(ValueError, match="source: unknown parameter 'p2.center'"):
            model.tie("p1.center", "p2.center")
        with pytest.raises(ValueError, match="target: unknown parameter 'p1.centre'"):
            model.tie("p1.centre", "p0.center")
        model.tie("p1.sigma", "p0.sigma")
        with pytest.raises(ValueError, match="cycle"):
            model.tie("p0.sigma", "p1.sigma")
        assert model.ties["p1.sigma"].source == "p0.sigma"  # the refused tie left no trace
        assert "p0.sigma" not in model.ties
        with pytest.raises(ValueError, match="kalpha1: unknown term 'p9'"):
            model.tie_kalpha2("p1", "p9")

    def test_starts_outside_bounds_and_nothing_free(self):
        x, counts = spectrum()
        with pytest.raises(ValueError, match=r"start of p0.center, 35, lies outside its bounds \[10, 30\]"):
            brivane.fit(x, counts, brivane.Model([brivane.Gaussian(35.0)]))
        with pytest.raises(ValueError, match="start of p0.sigma"):
            brivane.fit(x, counts, gaussian_model(sigma=1.0, bounds={"sigma": (2.0, 3.0)}))
        fixed = brivane.Model([brivane.Gaussian(20.0, 1.0, 100.0, fixed=("center", "sigma", "area"))])
        with pytest.raises(ValueError, match="no free parameter"):
            brivane.fit(x, counts, fixed)

    def test_a_tied_width_that_becomes_negative_is_refused(self):
        x, counts = spectrum()
        model = brivane.Model([brivane.Gaussian(18.0, 1.0), brivane.Gaussian(22.0)])
        model.tie("p1.sigma", "p0.sigma", scale=1.0, offset=-2.0)
        with pytest.raises(ValueError, match="p1.sigma must be > 0"):
            brivane.fit(x, counts, model)

    def test_the_model_is_never_changed_by_a_fit_or_by_the_callers_terms(self):
        peak = brivane.Gaussian(20.0)
        model = brivane.Model([peak], background=brivane.Constant())
        peak.values["center"] = 25.0  # a later change to the caller's term does not reach the model
        assert model.peaks[0].values == {"center": 20.0, "sigma": None, "area": None}
        assert model.parameter_names == ["p0.center", "p0.sigma", "p0.area", "bg.level"]


@needs_engine
class TestFitsAsUsersRunThem:
    def test_lists_and_integer_counts_are_accepted_and_never_written(self, capfd):
        x, counts = spectrum()
        as_int = counts.astype(np.int64)
        frozen_x = x.copy()
        result_from_lists = brivane.fit(list(x), list(as_int), gaussian_model())
        result = brivane.fit(x, as_int, gaussian_model())
        assert np.array_equal(as_int, counts.astype(np.int64)) and np.array_equal(x, frozen_x)
        assert result.values == pytest.approx(result_from_lists.values, rel=1e-12)
        assert abs(result.values["p0.center"] - 20.0) < 0.1
        out = capfd.readouterr()
        assert out.out == "" and out.err == ""

    def test_descending_x_fits_the_same_spectrum_and_says_so(self):
        x, counts = spectrum()
        up = brivane.fit(x, counts, gaussian_model())
        down = brivane.fit(x[::-1], counts[::-1], gaussian_model())
        for name in ("p0.center", "p0.sigma", "p0.area", "bg.level"):
            assert down.values[name] == pytest.approx(up.values[name], rel=1e-8)
        assert any("descending" in note for note in down.notes)

    def test_lorentzian_em_prints_nothing(self, capfd):
        x, counts = spectrum()
        model = brivane.Model([brivane.Lorentzian(20.0)], background=brivane.Constant())
        result = brivane.fit(x, counts, model, method="em")
        assert capfd.readouterr().out == ""
        assert abs(result.values["p0.center"] - 20.0) < 0.2

    def test_iteration_limit_is_reported(self):
        x, counts = spectrum()
        result = brivane.fit(x, counts, gaussian_model(sigma=3.0), max_iter=1)
        assert not result.converged and "iteration limit" in result.message

    def test_em_refuses_what_it_cannot_express(self):
        x, counts = spectrum()
        mixed = brivane.Model([brivane.Gaussian(18.0), brivane.Lorentzian(22.0)])
        with pytest.raises(ValueError, match="one shape"):
            brivane.fit(x, counts, mixed, method="em")
        tied = brivane.Model([brivane.Gaussian(18.0), brivane.Gaussian(22.0)]).tie("p1.sigma", "p0.sigma")
        with pytest.raises(ValueError, match="cannot hold ties"):
            brivane.fit(x, counts, tied, method="em")
        shirley = brivane.Model([brivane.Gaussian(20.0)], background=brivane.Shirley())
        with pytest.raises(ValueError, match="method='ml'"):
            brivane.fit(x, counts, shirley, method="em")

    def test_a_start_from_an_earlier_result_begins_at_its_optimum(self):
        x, counts = spectrum()
        first = brivane.fit(x, counts, gaussian_model(sigma=3.0))
        again = brivane.fit(x, counts, gaussian_model(sigma=3.0), start=first)
        assert again.n_iterations < first.n_iterations and again.n_iterations <= 3
        assert again.values["p0.center"] == pytest.approx(first.values["p0.center"], abs=1e-4 * first.stderr["p0.center"])
        moved = brivane.fit(x, counts, gaussian_model(), start={"p0.center": 21.0, "p0.sigma": 2.0})
        assert moved.values["p0.center"] == pytest.approx(first.values["p0.center"], abs=1e-3 * first.stderr["p0.center"])

    @pytest.mark.parametrize("offset, area, background, seed", [
        (0.0, 300.0, 0.2, 1),            # a few counts per channel, most channels empty
        (0.0, 3e11, 1e8, 2),             # about 1e10 counts per channel at the top
        (2.5e6, 5e4, 20.0, 3),           # an axis far from zero
        (-7.5e5, 5e4, 20.0, 4),
    ])
    def test_small_and_huge_counts_and_far_axes(self, offset, area, background, seed):
        x = offset + np.linspace(-40.0, 40.0, 321)
        mu = area * np.exp(-0.5 * ((x - offset - 3.0) / 2.5) ** 2) / (2.5 * math.sqrt(2 * math.pi)) * 0.25 + background
        counts = np.random.default_rng(seed).poisson(mu)
        start = offset + 2.0  # read off a plot: a channel or so off
        result = brivane.fit(x, counts, brivane.Model([brivane.Gaussian(start)], background=brivane.Constant()))
        assert result.converged, result.message
        for name, truth in (("p0.center", offset + 3.0), ("p0.sigma", 2.5), ("p0.area", area), ("bg.level", background)):
            assert abs(result.values[name] - truth) < 4 * result.stderr[name], (name, result.values[name], truth)


class TestWhatThePropertyRunsFound:
    """Each case once leaked an internal error (OverflowError, KeyError, AttributeError) or gave
    an infinite error for a good fit."""

    @pytest.mark.parametrize("call", [
        lambda: brivane.Gaussian(10**400),
        lambda: brivane.Gaussian(20.0, bounds={"center": (0, 10**400)}),
        lambda: gaussian_model().set_bounds("p0.center", -10**400, 30.0),
        lambda: brivane.fit(*spectrum(), gaussian_model(), max_iter=2**64),
        lambda: brivane.fit(*spectrum(), gaussian_model(), window=(10**400, 20.0)),
        lambda: brivane.fit_many(spectrum()[0], spectrum()[1][None], gaussian_model(), threads=2**70),
        lambda: brivane.set_threads(2**70),
        # The level at the window put 1e4 e-folds away: exp overflowed.
        lambda: brivane.fit(*spectrum(), brivane.Model([brivane.Gaussian(20.0)],
                                                       background=brivane.Exponential(rate=10.0, x_ref=-1e3))),
    ])
    def test_values_beyond_a_float_are_value_errors(self, call):
        with pytest.raises(ValueError):
            call()

    def test_result_methods_and_a_result_read_back(self):
        result = brivane.fit(*spectrum(), gaussian_model())
        with pytest.raises(TypeError, match="weights must be a dict"):
            result.combination(["p0.center"])
        d = result.to_dict()
        for change in ({"parameter_names": [1.5, "p0.sigma", "p0.area", "bg.level"]}, {"theta": [1.0]},
                       {"first": [0, 7]}, {"n_iterations": -1}, {"count": [1, 3], "first": [0, 1]}):
            with pytest.raises(ValueError, match="fit result"):
                brivane.FitResult.from_dict({**d, **change})
        del d["counts"]
        with pytest.raises(ValueError, match="whole brivane fit result"):
            brivane.FitResult.from_dict(d)

    def test_counts_near_1e300_keep_finite_errors_where_the_variances_are_floats(self):
        # Pearson's squares overflowed beyond counts of about 1e154: error_scale and every scaled
        # error became inf. The positions' and widths' variances are small numbers here.
        x, counts = spectrum()
        result = brivane.fit(x, 1e200 * counts, gaussian_model(area=2e203, sigma=1.2))
        reference = brivane.fit(x, counts, gaussian_model(area=2e3, sigma=1.2))
        assert result.converged and math.isfinite(result.chi_square)
        assert result.error_scale == pytest.approx(1e100 * reference.error_scale, rel=1e-9)
        for name in ("p0.center", "p0.sigma"):
            assert result.stderr[name] == pytest.approx(reference.stderr[name], rel=1e-6)
        batch = brivane.fit_many(x, 1e200 * counts[None], gaussian_model(area=2e203, sigma=1.2))
        assert batch.chi_square[0] == result.chi_square and batch.theta[0].tobytes() == result.theta.tobytes()

    def test_an_em_that_never_started_is_not_a_fit(self):
        # The EM returns its start after no iteration when the start's peak puts no counts in
        # the window (a TSDC maximum at 1 K on a 0-70 K axis); this was reported as converged.
        t = np.arange(8) * 10.0
        counts = np.array([12.0, 11.0, 20.0, 53.0, 296.0, 846.0, 1416.0, 1398.0])
        model = brivane.Model([brivane.TSDC(1.0, 1.0, area=2e4)], heating_rate=0.1)
        result = brivane.fit(t, counts, model, method="em", max_iter=50)
        assert not result.converged and "not converged" in result.message

    def test_a_fit_beyond_a_float_in_the_callers_units_is_not_converged(self):
        # A line rising by 1e300 counts per channel over channels 2^-40 apart: 1e312 counts per
        # unit x, finite in the engine's units only (it was reported converged with slope inf).
        x = 2.0 ** -40 * np.arange(60)
        counts = 1e300 * (1.0 + np.arange(60))
        model = brivane.Model(background=brivane.Linear(level=1e300, slope=1e307))
        result = brivane.fit(x, counts, model)
        assert not result.converged and "beyond a float's range" in result.message
        batch = brivane.fit_many(x, counts[None], model)
        assert batch.status[0] == 9 and not batch.converged[0] and "beyond" in batch.message(0)
