"""FitResult: derived quantities and their errors, evaluation, the report, the plot, JSON."""
import json
import math

import numpy as np
import pytest
from scipy import special

import brivane
from brivane import _shapes
from layer_support import load, needs_engine


@needs_engine
class TestDerivedShapes:
    def test_voigt_width_against_the_olivero_longbothum_formula(self):
        # 0.5346 fL + sqrt(0.2166 fL^2 + fG^2) is within 0.02 % of the exact width.
        for sigma, gamma in [(1.0, 0.0), (1.0, 0.3), (0.2, 1.0), (1e-3, 1.0)]:
            density = lambda u: _shapes.voigt(u, sigma, gamma)
            width = _shapes.full_width_at_half_maximum(density, 0.0, sigma + gamma)
            f_l, f_g = 2 * gamma, _shapes.FWHM_PER_SIGMA * sigma
            assert width == pytest.approx(0.5346 * f_l + math.sqrt(0.2166 * f_l ** 2 + f_g ** 2), rel=3e-4)

    def test_voigt_and_its_exact_width_against_scipy(self):
        # The engine's profile against the Faddeeva function, at repeated and unsorted points too;
        # the width against SciPy's root finder on SciPy's profile.
        optimize = pytest.importorskip("scipy.optimize")
        u = np.array([3.0, -1.0, 0.0, 0.25, -1.0, 40.0, -7.5])
        for sigma, gamma in [(1.0, 0.0), (0.7, 0.3), (0.02, 2.0)]:
            reference = lambda v: special.wofz((v + 1j * gamma) / (sigma * math.sqrt(2))).real / (
                sigma * math.sqrt(2 * math.pi))
            np.testing.assert_allclose(_shapes.voigt(u, sigma, gamma), reference(u), rtol=1e-12)
            half = 0.5 * reference(0.0)
            exact = 2 * optimize.brentq(lambda v: reference(v) - half, 0.0, 10 * (sigma + gamma), xtol=1e-15)
            width = _shapes.full_width_at_half_maximum(lambda v: _shapes.voigt(v, sigma, gamma), 0.0, sigma + gamma)
            assert width == pytest.approx(exact, rel=1e-11)

    def test_doniach_sunjic_maximum_and_width(self):
        x = np.linspace(-30, 30, 6001)
        width = np.full_like(x, x[1] - x[0])
        symmetric = _shapes.unit_density(4, [0.0, 0.5, 0.0], x, width)
        assert _shapes.peak_location(4, [0.0, 0.5, 0.0]) == 0.0
        assert _shapes.full_width_at_half_maximum(symmetric, 0.0, 0.5) == pytest.approx(1.0, rel=1e-10)
        location = _shapes.peak_location(4, [0.0, 0.5, 0.2])
        curve = _shapes.doniach_sunjic_curve(x, 0.5, 0.2)
        assert location < 0 and abs(location - x[np.argmax(curve)]) <= x[1] - x[0]

    def test_doniach_sunjic_maximum_against_a_bounded_search_on_both_tail_sides(self):
        optimize = pytest.importorskip("scipy.optimize")
        x = np.linspace(-30, 30, 6001)
        width = np.full_like(x, x[1] - x[0])
        for gamma, alpha in [(0.5, 0.05), (0.3, 0.4), (2.0, 0.9)]:
            found = optimize.minimize_scalar(lambda u: -_shapes.doniach_sunjic_curve(u, gamma, alpha),
                                             bounds=(-20 * gamma, gamma), method="bounded",
                                             options={"xatol": 1e-12})
            assert _shapes.peak_location(4, [1.0, gamma, alpha], -1.0) == pytest.approx(1.0 + found.x, abs=1e-7)
            assert _shapes.peak_location(4, [1.0, gamma, alpha], 1.0) == pytest.approx(1.0 - found.x, abs=1e-7)
            # The mirrored line has the same width, and its density is the mirror image.
            low = _shapes.unit_density(4, [0.0, gamma, alpha], x, width, -1.0)
            high = _shapes.unit_density(4, [0.0, gamma, alpha], x, width, 1.0)
            np.testing.assert_allclose(high(x), low(-x), rtol=1e-13)
            widths = [_shapes.full_width_at_half_maximum(d, _shapes.peak_location(4, [0.0, gamma, alpha], s), gamma)
                      for d, s in ((low, -1.0), (high, 1.0))]
            assert widths[0] == pytest.approx(widths[1], rel=1e-11)
            if alpha > 0.5:
                continue  # its half maximum lies thousands of widths out, in the slow tail
            fine = np.linspace(-10 * gamma, 10 * gamma, 400001)
            curve = _shapes.doniach_sunjic_curve(fine, gamma, alpha)
            above = fine[curve >= 0.5 * curve.max()]
            assert widths[0] == pytest.approx(above[-1] - above[0], abs=2 * (fine[1] - fine[0]))

    def test_tsdc_width_against_a_fine_grid(self):
        t = np.linspace(200, 450, 250001)
        y = _shapes.tsdc(t, 0.85, 305.0, 0.1)
        above = t[y >= 0.5 * y.max()]
        width = _shapes.full_width_at_half_maximum(lambda v: _shapes.tsdc(v, 0.85, 305.0, 0.1), 305.0, 1.0)
        assert width == pytest.approx(above[-1] - above[0], abs=2e-3)

    def test_tsdc_against_scipys_exponential_integral(self):
        t = np.array([-5.0, 0.0, 250.0, 305.0, 290.0, 330.0, 305.0])
        ea, tp, beta, k = 0.85, 305.0, 0.1, _shapes.BOLTZMANN_EV
        beta_tau0 = k * tp * tp / ea * math.exp(-ea / (k * tp))
        z = ea / (k * t[2:])
        expected = np.exp(-z - t[2:] * special.expn(2, z) / beta_tau0) / beta_tau0
        value = _shapes.tsdc(t, ea, tp, beta)
        assert value[0] == 0.0 and value[1] == 0.0
        np.testing.assert_allclose(value[2:], expected, rtol=1e-11)


def test_log_factorial_against_scipy():
    from brivane.result import _log_factorial

    y = np.concatenate([np.arange(0.0, 40.0), [0.5, 1e-9, 3.7, 9.999, 10.0, 123.4, 1e5, 3.3e9, 1e15]])
    # Small arguments are shifted past 10, where ln Gamma is about 13: an absolute error of a few
    # units in its last place remains after the product is divided out.
    np.testing.assert_allclose(_log_factorial(y), special.gammaln(y + 1.0), rtol=2e-14, atol=1e-13)


def hpge():
    x, y = load("gamma_HPGe_1070-1190keV_counts.csv")
    model = brivane.Model([brivane.Gaussian(c) for c in (1086.3, 1090.2, 1112.6, 1121.0, 1173.7)],
                          background=brivane.Constant())
    return x, y, model


@needs_engine
class TestResult:
    def test_statistics_and_errors_hang_together(self):
        x, y, model = hpge()
        r = brivane.fit(x, y, model)
        poisson = brivane.fit(x, y, model, errors="poisson")
        assert r.dof == x.size - 16 and r.n_free == 16
        assert r.aic == pytest.approx(2 * 16 - 2 * r.log_likelihood)
        assert r.bic == pytest.approx(16 * math.log(x.size) - 2 * r.log_likelihood)
        mu = r.eval()
        assert r.chi_square == pytest.approx(np.sum((y - mu) ** 2 / mu), rel=1e-12)
        assert r.log_likelihood == pytest.approx(np.sum(y * np.log(mu) - mu - special.gammaln(y + 1)), rel=1e-12)
        assert r.error_scale == pytest.approx(math.sqrt(r.chi_square / r.dof))
        for name in ("p4.center", "p4.fwhm", "p4.height", "bg.level"):
            assert r.stderr[name] == pytest.approx(poisson.stderr[name] * r.error_scale, rel=1e-6)
            assert poisson.stderr[name] == pytest.approx(r.stderr_poisson[name], rel=1e-9)
        # Derived values and their delta-method errors for a Gaussian.
        assert r.values["p4.fwhm"] == pytest.approx(_shapes.FWHM_PER_SIGMA * r.values["p4.sigma"])
        assert r.stderr["p4.fwhm"] == pytest.approx(_shapes.FWHM_PER_SIGMA * r.stderr["p4.sigma"], rel=1e-5)
        assert r.values["p4.height"] == pytest.approx(
            r.values["p4.area"] / (r.values["p4.sigma"] * math.sqrt(2 * math.pi)))
        c = r.correlation
        assert np.allclose(np.diag(c), 1.0) and np.all(np.abs(c[np.isfinite(c)]) <= 1 + 1e-12)
        components = r.components()
        assert list(components) == ["p0", "p1", "p2", "p3", "p4", "bg"]
        np.testing.assert_allclose(sum(components.values()), mu)
        # On a grid ten times finer, each channel holds a tenth of a peak's counts; a background
        # is counts per channel whatever the grid.
        fine = np.linspace(x[0], x[-1], 10 * x.size)
        on_fine = r.components(fine)
        assert on_fine["p4"].sum() == pytest.approx(components["p4"].sum(), rel=1e-3)
        assert 10 * on_fine["p4"].max() == pytest.approx(components["p4"].max(), rel=0.02)
        np.testing.assert_allclose(on_fine["bg"], r.values["bg.level"])
        assert r.components(fine[::-1])["p4"][::-1] == pytest.approx(r.components(fine)["p4"])

    def test_fixed_and_tied_parameters_are_reported_as_such(self):
        x, y, model = hpge()
        model.fix("p1.sigma", 0.75)
        model.tie("p3.sigma", "p2.sigma", scale=1.0)
        r = brivane.fit(x, y, model)
        assert r.values["p1.sigma"] == 0.75 and r.stderr["p1.sigma"] == 0.0
        assert r.parameter_status["p1.sigma"] == "fixed"
        assert r.parameter_status["p3.sigma"] == "tied to p2.sigma"
        assert r.values["p3.sigma"] == r.values["p2.sigma"] and r.stderr["p3.sigma"] == pytest.approx(r.stderr["p2.sigma"])
        assert r.n_free == 14
        text = r.report()
        assert "p1.sigma" in text and "(fixed)" in text and "[tied to p2.sigma]" in text

    def test_report_lists_every_parameter_and_the_fit_statistics(self):
        x, y, model = hpge()
        r = brivane.fit(x, y, model)
        lines = r.report().splitlines()
        assert lines[0].startswith("[[Fit]] method 'ml': converged")
        for name in r.values:
            assert sum(line.strip().startswith(name + " ") for line in lines) == 1, name
        assert any(line.strip().startswith("log-likelihood") for line in lines)
        assert any("AIC" in line and "BIC" in line for line in lines)

    def test_plot_has_the_data_the_model_and_the_residuals(self):
        matplotlib = pytest.importorskip("matplotlib")
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        x, y, model = hpge()
        r = brivane.fit(x, y, model)
        figure = r.plot()
        try:
            top, bottom = figure.axes
            labels = [line.get_label() for line in top.get_lines()]
            assert labels == ["data", "total", "background"]
            peaks = {c.get_label(): c for c in top.collections}
            assert sorted(peaks) == [f"p{k}" for k in range(5)]
            # The region of the strongest peak reaches from the background up to its own counts.
            top_edge = peaks["p4"].get_paths()[0].vertices[:, 1].max()
            assert top_edge == pytest.approx((r.components()["p4"] + r.values["bg.level"]).max())
            np.testing.assert_allclose(top.get_lines()[labels.index("total")].get_ydata(), r.eval())
            np.testing.assert_allclose(bottom.get_lines()[-1].get_ydata(), (y - r.eval()) / np.sqrt(r.eval()))
            assert bottom.get_ylabel() == "residual (sd)"
        finally:
            plt.close(figure)

    def test_to_dict_round_trips_through_json(self, tmp_path):
        x, y, model = hpge()
        model.fix("p1.sigma", 0.75)
        r = brivane.fit(x, y, model)
        text = json.dumps(r.to_dict(), allow_nan=False)
        back = brivane.FitResult.from_dict(json.loads(text))
        assert back.values == pytest.approx(r.values, rel=1e-14)
        for name, error in r.stderr.items():
            assert back.stderr[name] == pytest.approx(error, rel=1e-9, nan_ok=True)
        np.testing.assert_array_equal(back.covariance, r.covariance)
        np.testing.assert_array_equal(back.eval(), r.eval())
        assert back.report() == r.report()
        assert (back.converged, back.message, back.n_iterations, back.deviance) == \
            (r.converged, r.message, r.n_iterations, r.deviance)
        with pytest.raises(ValueError, match="not a brivane fit result"):
            brivane.FitResult.from_dict({"format": "other"})

    def test_threads_can_be_set_and_read(self):
        before = brivane.get_threads()
        try:
            brivane.set_threads(1)
            assert brivane.get_threads() == 1
            x, y, model = hpge()
            one = brivane.fit(x, y, model)
        finally:
            brivane.set_threads(None)
        assert brivane.get_threads() == before
        assert brivane.fit(x, y, model).values == pytest.approx(one.values, rel=1e-12)
        with pytest.raises(ValueError, match="n must be >= 1"):
            brivane.set_threads(0)
        with pytest.raises(TypeError, match="n must be an integer"):
            brivane.set_threads(1.5)

    def test_the_engines_thread_cap_is_one_setting_for_the_process(self):
        from brivane import _engine

        assert {"set_threads", "get_threads"} <= set(_engine.__all__)
        default = _engine.get_threads()
        try:
            _engine.set_threads(1)
            assert _engine.get_threads() == brivane.get_threads() == 1
            _engine.set_threads(2)  # replaces the cap of 1 (two live caps would leave the narrower)
            assert _engine.get_threads() == 2
        finally:
            _engine.set_threads(0)
        assert _engine.get_threads() == default
        for bad, error in ((-1, ValueError), (True, TypeError), (1.0, TypeError), ("2", TypeError)):
            with pytest.raises(error, match="set_threads: n must be"):
                _engine.set_threads(bad)
        assert _engine.get_threads() == default


def test_version_is_the_distributions():
    from importlib import metadata

    try:
        expected = metadata.version("brivane")
    except metadata.PackageNotFoundError:
        expected = "0.1.0"
    assert brivane.__version__ == expected


@needs_engine
def test_model_evaluate_previews_a_model_without_data():
    import reference_model as rm

    x = np.linspace(-5.0, 25.0, 301)
    model = brivane.Model([brivane.Voigt(8.0, 0.6, 0.4, 1200.0), brivane.Gaussian(40.0, 1.0, 100.0, name="far")],
                          background=[brivane.Linear(3.0, 0.1, x_ref=0.0), brivane.Shirley(0.002)])
    parts = model.evaluate(x, components=True)
    assert list(parts) == ["p0", "far", "bg", "bg1"]
    width = rm.channel_widths(x)
    np.testing.assert_allclose(parts["p0"], 1200.0 * rm.voigt_density(x - 8.0, 0.6, 0.4) * width, rtol=1e-9)
    np.testing.assert_allclose(parts["bg"], 3.0 + 0.1 * x, rtol=1e-12)
    assert np.all(parts["far"] < 1e-45)  # a peak beyond the grid (15 sigma) is allowed in a preview
    np.testing.assert_allclose(model.evaluate(x[::-1]), model.evaluate(x)[::-1], rtol=1e-12)
    with pytest.raises(ValueError, match="missing: p0.area"):
        brivane.Model([brivane.Gaussian(8.0, 1.0)]).evaluate(x)


@needs_engine
def test_a_peak_whose_area_ends_at_zero_leaves_the_others_errors_defined():
    x = np.linspace(0, 40, 401)
    mu = 20 + 3000 * 0.1 * np.exp(-0.5 * ((x - 15) / 1.5) ** 2) / (1.5 * np.sqrt(2 * np.pi))
    counts = np.random.default_rng(0).poisson(mu)  # nothing at 30: the second peak's area ends at 0
    both = brivane.fit(x, counts, brivane.Model([brivane.Gaussian(15.0), brivane.Gaussian(30.0, 1.0, 50.0)],
                                                background=brivane.Constant()))
    alone = brivane.fit(x, counts, brivane.Model([brivane.Gaussian(15.0)], background=brivane.Constant()))
    assert both.converged and "area of p1 ended at 0" in both.message
    assert both.values["p1.area"] == 0.0 and both.parameter_status["p1.area"] == "at lower bound"
    for name in ("p1.center", "p1.sigma"):
        assert both.parameter_status[name].startswith("undetermined") and np.isnan(both.stderr[name])
    assert np.isnan(both.stderr["p1.fwhm"]) and np.isnan(both.stderr["p1.height"])
    # The other parameters' errors are those of the model without the empty peak.
    for name in ("p0.center", "p0.sigma", "p0.area", "bg.level", "p0.fwhm"):
        assert both.stderr_poisson[name] == pytest.approx(alone.stderr_poisson[name], rel=1e-6), name
    back = brivane.FitResult.from_dict(json.loads(json.dumps(both.to_dict())))
    assert back.parameter_status == both.parameter_status
