"""Backgrounds and the EM's translation, against simulations with known truth: every background
term recovered within its errors from rough starts, with the documented conventions (x_ref at the
window's lower end, Shirley's direction), and the EM of every shape expressed in the model's
parameters where maximum likelihood puts them."""
import numpy as np
import pytest

import brivane
import reference_model as rm
from layer_support import needs_engine

pytestmark = needs_engine


def simulate(x, kinds, aux, theta, rows=None, seed=11):
    sizes = {rm.GAUSSIAN: 3, rm.LORENTZIAN: 3, rm.PSEUDO_VOIGT: 4, rm.VOIGT: 4, rm.DONIACH_SUNJIC: 4, rm.TSDC: 3,
             rm.CONSTANT: 1, rm.LINEAR: 2, rm.POLYNOMIAL: 3, rm.EXPONENTIAL: 2, rm.SHIRLEY: 1, rm.TOUGAARD: 2,
             rm.USER_ROWS: 2}
    count = np.array([sizes[k] for k in kinds], np.int64)
    first = np.concatenate([[0], np.cumsum(count)[:-1]]).astype(np.int64)
    mu = rm.model(x, rm.channel_widths(x), np.array(kinds, np.int64), first, count, np.array(aux, float),
                  np.array(theta, float), rows)
    return np.random.default_rng(seed).poisson(mu).astype(float)


def assert_within_errors(result, truth, how_many=4.0):
    for name, value in truth.items():
        assert abs(result.values[name] - value) < how_many * result.stderr[name], (name, result.values[name], value)


X = np.linspace(100.0, 200.0, 400)
PEAKS = [rm.GAUSSIAN, rm.GAUSSIAN]
PEAK_THETA = [135.0, 2.0, 2e4, 160.0, 3.0, 3e4]


def two_peaks():
    return [brivane.Gaussian(134.0), brivane.Gaussian(161.0)]


@pytest.mark.parametrize("label, kind, aux, background_theta, term, names", [
    ("linear", rm.LINEAR, [120.0, 0], [50.0, -0.2], lambda: brivane.Linear(), ("level", "slope")),
    ("polynomial", rm.POLYNOMIAL, [120.0, 80.0], [40.0, 30.0, -20.0], lambda: brivane.Polynomial(2),
     ("c0", "c1", "c2")),
    ("exponential", rm.EXPONENTIAL, [120.0, 0], [80.0, 0.015], lambda: brivane.Exponential(), ("amplitude", "rate")),
])
def test_smooth_backgrounds_from_the_window_lower_end(label, kind, aux, background_theta, term, names):
    # The window starts at 120: x_ref (and x_scale, the window's span of 80) follow it, so the
    # simulated background written with x_ref = 120 is recovered parameter by parameter.
    counts = simulate(X, PEAKS + [kind], [[0, 0], [0, 0], aux], PEAK_THETA + background_theta)
    model = brivane.Model(two_peaks(), background=term())
    result = brivane.fit(X, counts, model, window=(120.0, 199.9))
    assert result.converged
    assert result.x[0] >= 120.0 and result.x[-1] <= 199.9
    # The channel nearest 120 may lie a little above it; the model's x_ref is that channel.
    x_ref = result.x[0]
    truth = dict(zip(names, background_theta))
    if label == "linear":
        truth["level"] = background_theta[0] + background_theta[1] * (x_ref - 120.0)
    elif label == "exponential":
        truth["amplitude"] = background_theta[0] * np.exp(-background_theta[1] * (x_ref - 120.0))
    else:
        s = (x_ref - 120.0) / 80.0
        c0, c1, c2 = background_theta
        span = result.x[-1] - x_ref
        # The same quadratic in (x - x_ref) / span.
        k = span / 80.0
        truth = {"c0": c0 + c1 * s + c2 * s * s, "c1": (c1 + 2 * c2 * s) * k, "c2": c2 * k * k}
    assert_within_errors(result, {f"bg.{n}": v for n, v in truth.items()})
    assert_within_errors(result, {"p0.center": 135.0, "p1.sigma": 3.0, "p1.area": 3e4})


@pytest.mark.parametrize("direction", [1, -1])
def test_shirley_step_either_way(direction):
    counts = simulate(X, PEAKS + [rm.CONSTANT, rm.SHIRLEY], [[0, 0]] * 3 + [[direction, 0]],
                      PEAK_THETA + [20.0, 0.004])
    model = brivane.Model(two_peaks(), background=[brivane.Constant(), brivane.Shirley(direction=direction)])
    result = brivane.fit(X, counts, model)
    assert_within_errors(result, {"bg.level": 20.0, "bg1.k": 0.004, "p0.area": 2e4, "p1.center": 160.0})
    # The wrong direction fits far worse.
    wrong = brivane.Model(two_peaks(), background=[brivane.Constant(), brivane.Shirley(direction=-direction)])
    assert brivane.fit(X, counts, wrong).deviance > result.deviance + 100


def test_tougaard_and_user_rows():
    counts = simulate(X, PEAKS + [rm.CONSTANT, rm.TOUGAARD], [[0, 0]] * 3 + [[1, 0]],
                      PEAK_THETA + [15.0, 400.0, 150.0])
    model = brivane.Model(two_peaks(), background=[brivane.Constant(), brivane.Tougaard(c=100.0)])
    result = brivane.fit(X, counts, model)
    assert_within_errors(result, {"bg1.b": 400.0, "bg1.c": 150.0, "bg.level": 15.0, "p1.area": 3e4})

    rows = np.vstack([np.ones_like(X), np.exp(-((X - 150.0) / 40.0) ** 2)])
    counts = simulate(X, PEAKS + [rm.USER_ROWS], [[0, 0]] * 3, PEAK_THETA + [10.0, 25.0], rows=rows)
    result = brivane.fit(X, counts, brivane.Model(two_peaks(), background=brivane.UserRows(rows)))
    assert_within_errors(result, {"bg.a0": 10.0, "bg.a1": 25.0, "p0.sigma": 2.0})
    # Rows follow the channels when x is given descending.
    down = brivane.fit(X[::-1], counts[::-1], brivane.Model(two_peaks(), background=brivane.UserRows(rows[:, ::-1])))
    assert down.values["bg.a1"] == pytest.approx(result.values["bg.a1"], rel=1e-8)
    with pytest.raises(ValueError, match="have 399 entries each, the data 400"):
        brivane.fit(X, counts, brivane.Model(two_peaks(), background=brivane.UserRows(rows[:, 1:])))
    em = brivane.fit(X, counts, brivane.Model(two_peaks(), background=brivane.UserRows(rows)), method="em")
    assert_within_errors(em, {"bg.a0": 10.0, "bg.a1": 25.0, "p0.area": 2e4})


SHAPES = [
    ("gaussian", rm.GAUSSIAN, [150.0, 3.0, 2e4], lambda: brivane.Gaussian(149.0), ("center", "sigma", "area")),
    ("lorentzian", rm.LORENTZIAN, [150.0, 5.0, 2e4], lambda: brivane.Lorentzian(149.0), ("center", "fwhm", "area")),
    ("pseudo-voigt", rm.PSEUDO_VOIGT, [150.0, 5.0, 0.6, 2e4], lambda: brivane.PseudoVoigt(149.0),
     ("center", "fwhm", "area")),
    ("voigt", rm.VOIGT, [150.0, 1.5, 1.5, 2e4], lambda: brivane.Voigt(149.0), ("center", "sigma", "gamma", "area")),
    ("doniach-sunjic", rm.DONIACH_SUNJIC, [150.0, 2.0, 0.1, 2e4], lambda: brivane.DoniachSunjic(149.0),
     ("center", "gamma", "area")),
]


@pytest.mark.parametrize("label, kind, theta, make, names", SHAPES, ids=[s[0] for s in SHAPES])
def test_em_in_the_models_terms_lands_where_maximum_likelihood_does(label, kind, theta, make, names):
    aux = [1.0 if kind == rm.DONIACH_SUNJIC else 0.0, 0]  # the line's tail toward larger x, the default
    counts = simulate(X, [kind, rm.CONSTANT], [aux, [0, 0]], theta + [20.0], seed=5)
    model = brivane.Model([make()], background=brivane.Constant())
    ml = brivane.fit(X, counts, model)
    em = brivane.fit(X, counts, model, method="em", tolerance=1e-12)
    # The EM normalises its shapes over the window or the grid and its uniform background over
    # the window's length, and searches the pseudo-Voigt's eta on steps of 0.01: the same optimum
    # to within a fraction of an error.
    tolerance = 0.6 if label == "pseudo-voigt" else 0.3
    for name in (f"p0.{n}" for n in names):
        assert abs(em.values[name] - ml.values[name]) < tolerance * ml.stderr[name], (name, em.values[name], ml.values[name])
    assert abs(em.values["bg.level"] - ml.values["bg.level"]) < 0.5 * ml.stderr["bg.level"]
    assert em.deviance >= ml.deviance - 1e-6 * ml.deviance


def test_em_of_tsdc_and_its_linear_background():
    t = np.arange(250.0, 360.0, 0.5)
    counts = simulate(t, [rm.TSDC, rm.LINEAR], [[0.1, 0], [250.0, 0]], [0.85, 305.0, 3e4, 10.0, 0.1], seed=8)
    model = brivane.Model([brivane.TSDC(0.8, 303.0)], background=brivane.Linear(), heating_rate=0.1)
    ml = brivane.fit(t, counts, model)
    em = brivane.fit(t, counts, model, method="em", tolerance=1e-12)
    # The EM's peak refits solve the likelihood equations of the grid-normalised curve: within an
    # error of the optimum.
    for name in ("p0.ea", "p0.tp", "p0.area", "bg.level", "bg.slope"):
        assert abs(em.values[name] - ml.values[name]) < ml.stderr[name], name


@pytest.mark.parametrize("slope", [-0.45, 0.3])
def test_em_linear_background_falls_as_well_as_rises(slope):
    # Two Gaussians on a line from 80 down to 35 counts (or up from 10 to 40): the EM's tilt takes
    # either sign, and its line, expressed as level and slope at the window's lower end, lands
    # where maximum likelihood puts it.
    level = 80.0 if slope < 0 else 10.0
    counts = simulate(X, PEAKS + [rm.LINEAR], [[0, 0], [0, 0], [100.0, 0]], PEAK_THETA + [level, slope], seed=3)
    model = brivane.Model(two_peaks(), background=brivane.Linear())
    ml = brivane.fit(X, counts, model)
    em = brivane.fit(X, counts, model, method="em", tolerance=1e-12)
    assert em.converged and np.sign(em.values["bg.slope"]) == np.sign(slope)
    # The EM's line is a density over the window's length (x_max - x_min, a channel short of the
    # channels' total width): its level within half an error, the peaks within a third.
    for name, within in (("bg.level", 0.5), ("bg.slope", 0.5), ("p0.center", 0.3), ("p0.sigma", 0.3),
                         ("p0.area", 0.3), ("p1.area", 0.3)):
        assert abs(em.values[name] - ml.values[name]) < within * ml.stderr[name], (name, em.values[name], ml.values[name])
    assert_within_errors(em, {"bg.level": level, "bg.slope": slope, "p1.center": 160.0})


@pytest.mark.parametrize("tail", ["high", "low"])
def test_doniach_sunjic_tail_on_either_side_by_both_methods(tail):
    # A line whose tail lies on the given side, on a falling line: the fit with that side recovers
    # it, by maximum likelihood and by the EM (which runs on the mirrored axis for "high"); the
    # other side fits far worse.
    aux = [1.0 if tail == "high" else -1.0, 0]
    counts = simulate(X, [rm.DONIACH_SUNJIC, rm.LINEAR], [aux, [100.0, 0]], [150.0, 2.0, 0.2, 3e4, 40.0, -0.1],
                      seed=9)
    model = brivane.Model([brivane.DoniachSunjic(149.0, tail=tail)], background=brivane.Linear())
    ml = brivane.fit(X, counts, model)
    em = brivane.fit(X, counts, model, method="em", tolerance=1e-12)
    assert_within_errors(ml, {"p0.center": 150.0, "p0.gamma": 2.0, "p0.alpha": 0.2, "p0.area": 3e4})
    for name in ("p0.center", "p0.gamma", "p0.alpha", "p0.area", "bg.slope"):
        assert abs(em.values[name] - ml.values[name]) < 0.5 * ml.stderr[name], (name, em.values[name], ml.values[name])
    other = "low" if tail == "high" else "high"
    wrong = brivane.fit(X, counts, brivane.Model([brivane.DoniachSunjic(149.0, tail=other)],
                                                 background=brivane.Linear()))
    assert wrong.deviance > 1.5 * ml.deviance
    with pytest.raises(ValueError, match="tail must be 'high'"):
        brivane.DoniachSunjic(149.0, tail="up")
