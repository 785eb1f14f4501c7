"""A fit does not depend on the units of its data: the axis shifted far from zero or squeezed to
picoscale spacing, and the counts scaled by 1e-3 or 1e12, give the same fit in the caller's units
(positions a x + b, widths a x, areas and levels times the counts' scale, slopes and rates over a).

The axis factors are powers of two near the stated ones (2^-40 ~ 9.1e-13 for the picoscale axis),
and the offsets exact, so that the transformed grid holds exactly the same channels: otherwise
the rounding of the caller's grid itself would move the fit. What remains allowed is 1e-6 of each
standard error plus a few units in the last place of the value (at 1e9, one unit is 1.2e-7).
Counts times 1e-3 are not counts any more (a channel holds 0.001, 0.002, ...): the engine's
convergence test must not assume that they are."""
import math

import numpy as np
import pytest

import brivane

BASE = np.arange(700) * 0.5                      # 0 .. 349.5
AXES = [(1.0, 0.0), (2.0 ** -40, 1.0), (1.0, 1e9)]
COUNT_SCALES = [1e-3, 1.0, 1e12]


def simulate(seed):
    rng = np.random.default_rng(seed)
    mean = (3e4 * np.exp(-0.5 * ((BASE - 120.0) / 6.0) ** 2) / (6.0 * math.sqrt(2 * math.pi)) * 0.5
            + 1.5e4 * 0.5 * (4.0 / math.pi) / ((BASE - 150.0) ** 2 + 16.0)
            + 2e4 * 0.5 * (3.0 / math.pi) / ((BASE - 240.0) ** 2 + 9.0)
            + 1e4 * 0.5 * (3.0 / math.pi) / ((BASE - 252.0) ** 2 + 9.0)
            + 40.0 * np.exp(-0.004 * BASE) + 5.0)
    return rng.poisson(mean).astype(float)


# Each case: the model in units (a, b, s) of axis factor, axis offset and counts' scale, with its
# rough starts mapped as the data are; how each parameter maps ("position", "width", "count",
# "per_x" for a slope or rate, "none").
def gauss_lorentz_linear(a, b, s):
    peaks = [brivane.Gaussian(118.0 * a + b, 5.0 * a, area=2.5e4 * s),
             brivane.Lorentzian(152.0 * a + b, 6.0 * a, area=1.2e4 * s)]
    return brivane.Model(peaks, background=brivane.Linear(level=20.0 * s, slope=-0.02 * s / a))


def tied_pseudo_voigt_exponential(a, b, s):
    peaks = [brivane.PseudoVoigt(238.0 * a + b, 5.0 * a, 0.5, area=1.8e4 * s),
             brivane.PseudoVoigt(250.0 * a + b, 5.0 * a, 0.5, area=0.9e4 * s)]
    model = brivane.Model(peaks, background=brivane.Exponential(amplitude=30.0 * s, rate=0.003 / a))
    model.tie("p1.area", "p0.area", scale=0.5)
    model.tie("p1.fwhm", "p0.fwhm")
    model.tie("p1.center", "p0.center", offset=12.0 * a)
    return model


MAPS = {"center": "position", "sigma": "width", "fwhm": "width", "area": "count", "level": "count",
        "amplitude": "count", "slope": "per_x", "rate": "per_x", "eta": "none", "height": "height"}


def mapped(name, value, a, b, s):
    kind = MAPS[name.split(".", 1)[1]]
    return {"position": a * value + b, "width": a * value, "count": s * value, "per_x": s * value / a
            if name.endswith("slope") else value / a, "none": value, "height": s * value / a}[kind]


def error_factor(name, a, s):
    kind = MAPS[name.split(".", 1)[1]]
    return {"position": a, "width": a, "count": s, "none": 1.0, "height": s / a,
            "per_x": s / a if name.endswith("slope") else 1.0 / a}[kind]


@pytest.mark.parametrize("make", [gauss_lorentz_linear, tied_pseudo_voigt_exponential],
                         ids=["gauss_lorentz_linear", "tied_pseudo_voigt_exponential"])
def test_fit_is_the_same_in_any_units_of_axis_and_counts(make):
    counts = simulate(5)
    reference = brivane.fit(BASE, counts, make(1.0, 0.0, 1.0))
    assert reference.converged, reference.message
    names = [n for n in reference.parameter_names if reference.parameter_status[n] == "free"]
    for a, b in AXES:
        for s in COUNT_SCALES:
            if (a, b, s) == (1.0, 0.0, 1.0):
                continue
            result = brivane.fit(a * BASE + b, s * counts, make(a, b, s))
            assert result.converged, (a, b, s, result.message)
            for name in names:
                expected = mapped(name, reference.values[name], a, b, s)
                error = error_factor(name, a, s) * reference.stderr[name]
                allowed = 1e-6 * error + 4 * np.spacing(abs(expected))
                assert abs(result.values[name] - expected) <= allowed, (a, b, s, name, result.values[name], expected)
                assert result.stderr[name] == pytest.approx(error, rel=1e-6), (a, b, s, name)
            # The fit as the data's own: the expected counts in each channel are the same numbers.
            np.testing.assert_allclose(result.eval(), s * reference.eval(), rtol=1e-7)


def test_fit_many_uses_the_same_units_as_fit():
    a, b, s = 2.0 ** -40, 1.0, 1e12
    x = a * BASE + b
    counts = s * np.stack([simulate(11), simulate(12)])
    model = tied_pseudo_voigt_exponential(a, b, s)
    batch = brivane.fit_many(x, counts, model, threads=2)
    for k in range(2):
        single = brivane.fit(x, counts[k], model)
        assert batch.theta[k].tobytes() == single.theta.tobytes()
        assert batch.covariance[k].tobytes() == single.covariance.tobytes()


def rough_starts(a, b, s):
    # Positions read off a plot; every other start is estimated from the data.
    peaks = [brivane.Gaussian(118.0 * a + b), brivane.Lorentzian(152.0 * a + b),
             brivane.Lorentzian(241.0 * a + b), brivane.Lorentzian(251.0 * a + b)]
    return brivane.Model(peaks, background=brivane.Exponential())


@pytest.mark.parametrize("s", [1e-3, 1e12])
def test_rough_starts_scale_with_the_counts(s):
    # The estimated starts scale as the counts do, so the fit takes the same steps: the same
    # result within 1e-6 of each standard error (before, a floor of one count under the area
    # and level estimates moved the start of counts in thousandths, and the fit stopped elsewhere).
    counts = simulate(7)
    reference = brivane.fit(BASE, counts, rough_starts(1.0, 0.0, 1.0))
    result = brivane.fit(BASE, s * counts, rough_starts(1.0, 0.0, s))
    assert reference.converged and result.converged, (reference.message, result.message)
    assert result.n_iterations == reference.n_iterations
    for name in reference.parameter_names:
        expected = mapped(name, reference.values[name], 1.0, 0.0, s)
        allowed = 1e-6 * error_factor(name, 1.0, s) * reference.stderr[name] + 4 * np.spacing(abs(expected))
        assert abs(result.values[name] - expected) <= allowed, (s, name, result.values[name], expected)
