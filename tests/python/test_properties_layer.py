"""Property-based tests (Hypothesis) over the public calls of brivane: Model construction (peaks,
backgrounds, bounds, fixed flags, ties), brivane.fit (both methods, every form of start),
brivane.fit_many (every form of starts) and the results' methods, with arguments drawn from what
users pass and from what breaks things: wrong types, lists, 2-D and integer arrays, lengths that
do not match, NaN, infinities, subnormal and huge values, integers beyond a float, empty, single
and unsorted grids, windows reversed, outside the data or holding one channel, bounds out of order
or shut, ties to unknown parameters and in cycles.

Asserted for every call:
- it returns, or raises TypeError or ValueError, the layer's documented exceptions (an internal
  error such as IndexError or ZeroDivisionError, or RuntimeError from the engine, is a fault);
- no array, list or dict it is given is changed;
- a fit reported as converged has only finite parameters, no NaN derived value (unless its
  information is singular or the peak's area ended at 0), and errors that are finite or NaN wherever its covariance is finite
  (not for counts near 1e300); n_iterations lies in [0, max_iter], equal to max_iter when the limit was reached;
- fit_many: statuses agree with the converged flags, converged spectra hold finite values, and a
  spectrum's result is fit()'s, to the bit, for the same start.

About 2,500 examples in all by default (500 against the sanitized module;
BRIVANE_LAYER_PROPERTY_EXAMPLES sets the total),
derandomised so that the test command is repeatable; tests/run_properties.py runs more with fresh
randomness.
"""
import collections
import copy
import math
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import brivane
from layer_support import needs_engine
from sanitized import SANITIZED

pytestmark = needs_engine

# Under AddressSanitizer (the test command's second run, its runtime preloaded) a fifth of them.
TOTAL_EXAMPLES = int(os.environ.get("BRIVANE_LAYER_PROPERTY_EXAMPLES", "500" if SANITIZED else "2500"))
RANDOM = os.environ.get("BRIVANE_PROPERTY_RANDOM") == "1"
# The model alone is cheap; fits take the rest, shared by fit and fit_many.
SHARES = {"model": 0.2, "fit": 0.5, "fit_many": 0.3}


def property_settings(share):
    return settings(max_examples=max(1, int(TOTAL_EXAMPLES * share)), deadline=None, derandomize=not RANDOM,
                    database=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


DOCUMENTED = (TypeError, ValueError)
# How the calls ended, by call: tests/run_properties.py prints it.
OUTCOMES = collections.Counter()

SPECIAL = [0.0, -0.0, 5e-324, 2.2e-308, 1e-300, 1e-12, 1e12, 1e300, -1e300, 1.7976931348623157e308,
           math.inf, -math.inf, math.nan]
ODD = [None, "1", [1.0], 1j, True, 10**400, -10**400, np.float32(2.5), np.int64(3), (1.0, 2.0), {}]
SHAPES = ("Gaussian", "Lorentzian", "PseudoVoigt", "Voigt", "DoniachSunjic", "TSDC")
BACKGROUNDS = ("Constant", "Linear", "Polynomial", "Exponential", "Shirley", "Tougaard", "UserRows")


class Draw:
    """Every value comes from a NumPy generator that Hypothesis seeds: drawing each through
    Hypothesis would cost more than the fits themselves. The failing call is printed in full."""

    def __init__(self, rng):
        self.rng = rng
        # Most examples are uses as meant, with values anywhere in their range; the others are
        # misuses, each argument wrong now and then.
        self.bad = self.chance(0.4)

    def integer(self, low, high):
        return int(self.rng.integers(low, high + 1))

    def chance(self, p):
        return bool(self.rng.random() < p)

    def pick(self, options):
        return options[self.integer(0, len(options) - 1)]

    def number(self, typical, odd=0.1):
        """``typical`` (a float) mostly, otherwise a special value or something that is no number
        (never, in an example of good use)."""
        if not self.bad:
            return float(typical)
        u = self.rng.random()
        if u < odd / 2:
            return self.pick(ODD)
        if u < odd:
            return self.pick(SPECIAL)
        return float(typical)

    def maybe(self, typical, none=0.35, odd=0.1):
        return None if self.chance(none) else self.number(typical, odd)


# -- data --------------------------------------------------------------------------------------------

def grid(d):
    """An axis as users have them (near zero or far from it, spacings from 1e-12 to 10), and now
    and then one that is no axis at all."""
    n = d.pick([0, 1, 2, 3, 8, 30, 60, 60, 80]) if d.bad else d.pick([8, 30, 60, 80])
    start = d.pick([0.0, -50.0, 300.0, 1e9, 1.0])
    step = d.pick([1.0, 0.5, 2.0 ** -40, 1e-3, 10.0])
    x = start + step * np.arange(n, dtype=np.float64)
    kind = d.integer(0, 19) if d.bad else d.pick([0, 3, 9, 9, 9, 9, 9, 9])
    if kind == 0:
        x = x[::-1].copy()                               # descending: accepted
    elif kind == 1 and n > 2:
        d.rng.shuffle(x)                                  # unsorted
    elif kind == 2 and n:
        x[d.integer(0, n - 1)] = d.pick([math.nan, math.inf, -math.inf])
    elif kind == 3:
        return x.tolist(), x                              # a list
    elif kind == 4:
        return x.reshape(1, -1), x                        # 2-D
    elif kind == 5:
        return x.astype(np.float32), x
    elif kind == 6:
        return np.full(n, start), x                        # constant
    elif kind == 7:
        return d.pick(ODD), x
    return x, x


def expected_counts(d, x, scale):
    """A peak or two on a background, in counts per channel: the data the models are meant for."""
    lo, hi = (float(np.min(x)), float(np.max(x))) if x.size else (0.0, 0.0)
    span = hi - lo
    if x.size < 2 or not np.isfinite(x).all() or not 0 < span < math.inf:
        return np.full(x.size, 10.0 * scale)
    mean = np.full(x.size, d.rng.uniform(0.0, 30.0))
    for _ in range(d.integer(1, 2)):
        center = d.rng.uniform(lo, hi)
        sigma = span * d.rng.uniform(0.01, 0.2)
        height = d.rng.uniform(5.0, 2000.0)
        mean = mean + height * np.exp(-0.5 * ((x - center) / sigma) ** 2)
    return mean * scale


def counts_for(d, x_clean):
    n = x_clean.size
    scale = d.pick([1.0, 1.0, 1.0, 1e-3, 1e12, 5e-324, 1e-300, 1e300])
    kind = d.integer(0, 19) if d.bad else d.pick([0, 3, 6, 9, 9, 9, 9, 9, 9, 9])
    mean = expected_counts(d, x_clean, 1.0)
    counts = d.rng.poisson(mean).astype(np.float64) * scale
    if kind == 0:
        return np.zeros(n)
    if kind == 1 and n:
        counts[d.integer(0, n - 1)] = d.pick([math.nan, math.inf, -1.0, -5e-324])
    elif kind == 2:
        return np.zeros(max(0, n + d.pick([-1, 1])))
    elif kind == 3:
        return counts.astype(np.int64) if scale >= 1.0 else counts.tolist()
    elif kind == 4:
        return counts.astype(bool)
    elif kind == 5:
        return d.pick(ODD)
    elif kind == 6:
        return mean * scale                                 # no noise at all
    return counts


def window_for(d, x_clean):
    kind = d.integer(0, 9) if d.bad else d.integer(0, 6)
    if kind <= 4 or x_clean.size < 2 or not np.isfinite(x_clean).all():
        return None
    lo, hi = float(np.min(x_clean)), float(np.max(x_clean))
    span = hi - lo
    if kind <= 6:
        a, b = sorted(d.rng.uniform(lo, hi, 2))
        return (float(a), float(b))
    return d.pick([(hi, lo), (lo - span, hi), (lo, lo), (lo, math.nan), (lo,), "all", (lo, hi + 1e300),
                   (lo, lo + 0.5 * span / max(x_clean.size, 1)), [lo, hi], (np.float32(lo), hi)])


# -- models --------------------------------------------------------------------------------------------

def peak(d, shape, x_clean):
    finite = x_clean.size >= 2 and np.isfinite(x_clean).all()
    lo, hi = (float(np.min(x_clean)), float(np.max(x_clean))) if finite else (0.0, 1.0)
    span = max(hi - lo, 1e-300)
    if d.bad:
        position = d.number(d.rng.uniform(lo - 0.1 * span, hi + 0.1 * span) if d.chance(0.95) else lo + 10 * span)
        width = span * d.rng.uniform(0.005, 0.3)
    else:
        position, width = d.rng.uniform(lo, hi), span * d.rng.uniform(0.03, 0.3)
    area = d.rng.uniform(10.0, 5e4)
    kwargs = {}
    if d.bad and d.chance(0.1):
        kwargs["name"] = d.pick(["a", "a", "b.c", "", 3, "bg"])
    if d.chance(0.15):
        keys = ["center", "area", "sigma", "fwhm", "gamma", "eta", "alpha", "ea", "tp", "nope"] if d.bad else \
            ["center", "area"]
        kwargs["bounds"] = {d.pick(keys): bounds_pair(d, position if isinstance(position, float) else 0.0)}
    if d.chance(0.1):
        kwargs["fixed"] = d.pick(["center", "area", ["area"], {"center": True}, "nope", 3, None] if d.bad
                                 else ["center", "area", ["area"], {"center": True}, None])
    if shape == "Gaussian":
        return brivane.Gaussian(position, d.maybe(width / 2.355), d.maybe(area), **kwargs)
    if shape == "Lorentzian":
        return brivane.Lorentzian(position, d.maybe(width), d.maybe(area), **kwargs)
    if shape == "PseudoVoigt":
        return brivane.PseudoVoigt(position, d.maybe(width), d.maybe(d.rng.uniform(0, 1)), d.maybe(area), **kwargs)
    if shape == "Voigt":
        return brivane.Voigt(position, d.maybe(width / 4), d.maybe(width / 4), d.maybe(area), **kwargs)
    if shape == "DoniachSunjic":
        if d.chance(0.5):
            kwargs["tail"] = d.pick(["high", "low", "low", "middle"] if d.bad else ["high", "low"])
        return brivane.DoniachSunjic(position, d.maybe(width / 2), d.maybe(d.rng.uniform(0, 0.5)), d.maybe(area),
                                     **kwargs)
    return brivane.TSDC(d.maybe(d.rng.uniform(0.1, 2.0)), position, d.maybe(area), **kwargs)


def bounds_pair(d, around):
    kind = d.integer(0, 5) if d.bad else d.pick([0, 3])
    if kind == 0:
        return (around - 1.0, around + 1.0)
    if kind == 1:
        return (around + 1.0, around - 1.0)           # reversed
    if kind == 2:
        return (around, around)                         # shut
    if kind == 3:
        return (None, d.number(around))
    if kind == 4:
        return (d.pick(SPECIAL), d.pick(SPECIAL))
    return d.pick([(1.0,), "ab", None, (1.0, 2.0, 3.0), ([1.0], 2.0)])


def background(d, kind, x_clean, n_data):
    kwargs = {}
    if d.bad and d.chance(0.1):
        kwargs["name"] = d.pick(["bg", "p0", "x.y"])
    if d.bad and d.chance(0.1):
        kwargs["bounds"] = {d.pick(["level", "slope", "k", "b", "c", "a0", "c0", "rate", "zz"]): bounds_pair(d, 0.0)}
    level = d.rng.uniform(0.0, 50.0)
    if kind == "Constant":
        return brivane.Constant(d.maybe(level), **kwargs)
    if kind == "Linear":
        return brivane.Linear(d.maybe(level), d.maybe(d.rng.normal(0, 0.1)), x_ref=d.maybe(0.0, none=0.8), **kwargs)
    if kind == "Polynomial":
        degree = d.pick([0, 1, 2, 3, -1, 2.5, True]) if d.bad and d.chance(0.1) else d.integer(0, 3)
        coefficients = None
        if d.chance(0.4) and isinstance(degree, int) and degree >= 0:
            coefficients = [d.number(level)] * (degree + (2 if d.bad and d.chance(0.1) else 1))
        return brivane.Polynomial(degree, coefficients, x_ref=d.maybe(0.0, none=0.8),
                                  x_scale=d.maybe(1.0, none=0.8), **kwargs)
    if kind == "Exponential":
        return brivane.Exponential(d.maybe(level), d.maybe(d.rng.normal(0, 0.01)), x_ref=d.maybe(0.0, none=0.8),
                                   **kwargs)
    if kind == "Shirley":
        return brivane.Shirley(d.maybe(d.rng.uniform(0, 0.01)), direction=d.pick([1, -1, "up", 0]) if d.bad
                               else d.pick([1, -1]), **kwargs)
    if kind == "Tougaard":
        return brivane.Tougaard(d.maybe(d.rng.uniform(0, 1)), d.maybe(1643.0), direction=d.pick([1, -1]), **kwargs)
    rows = d.rng.random((d.integer(1, 2), n_data + 1 if d.bad and d.chance(0.1) else n_data))
    if d.bad and d.chance(0.1) and rows.size:
        rows[0, 0] = d.pick([math.nan, math.inf, -1.0])
    rows_in = rows.tolist() if d.chance(0.2) else rows
    amplitudes = None if d.chance(0.6) else [d.number(level)] * (1 if d.bad and d.chance(0.1) else rows.shape[0])
    return brivane.UserRows(rows_in, amplitudes, **kwargs)


def model_for(d, x_clean, n_data):
    """A model drawn term by term, with its bounds, fixed flags and ties changed afterwards as users
    do; returns (model or None, the exception its making raised or None)."""
    shapes = [d.pick(SHAPES[:-1]) if d.chance(0.95) else "TSDC" for _ in range(d.pick([0, 1, 1, 2, 2, 3]))]
    if shapes and d.chance(0.5):
        shapes = [shapes[0]] * len(shapes)            # one shape: what method="em" takes
    peaks = [peak(d, s, x_clean) for s in shapes]
    backgrounds = [background(d, d.pick(BACKGROUNDS), x_clean, n_data) for _ in range(d.pick([0, 1, 1, 1, 2]))]
    heating_rate = d.maybe(0.1, none=0.7 if "TSDC" not in shapes else 0.1)
    model = brivane.Model(peaks if d.chance(0.9) else peaks[0] if peaks else [],
                          background=backgrounds if len(backgrounds) != 1 or d.chance(0.5) else backgrounds[0],
                          heating_rate=heating_rate)
    names = model.parameter_names + (["p9.center", "bg.nope", "nothing", 3] if d.bad else [])
    for _ in range(d.pick([0, 0, 1, 2, 3])):
        name = d.pick(names)
        action = d.integer(0, 6) if d.bad else d.integer(0, 5)
        if action == 0:
            pair = bounds_pair(d, 0.0)
            if isinstance(pair, tuple) and len(pair) >= 2:
                model.set_bounds(name, pair[0], pair[1])
            else:
                model.set_bounds(name, pair)
        elif action == 1:
            value = model._lookup(name)[0].values[model._lookup(name)[1]] if name in model.parameter_names else None
            model.set_value(name, d.number(d.rng.uniform(0, 10)) if d.bad or value is None else
                            value * d.rng.uniform(0.9, 1.1))
        elif action == 2:
            model.fix(name, d.maybe(d.rng.uniform(0, 10), none=0.6))
        elif action == 3:
            model.free(name)
        elif action == 4:
            model.tie(name, d.pick(names), scale=d.number(d.pick([1.0, 0.5])), offset=d.number(0.0))
        elif action == 5:
            model.untie(name)
        else:
            model.tie_kalpha2(d.pick(model.names + ["zz"]), d.pick(model.names + ["zz"]),
                              area_ratio=d.maybe(0.5, none=0.5), same_shape=d.chance(0.5))
    return model


def middle(x):
    """A position for a fallback model's peak: the grid's middle when it has one."""
    finite = x[np.isfinite(x)]
    return float(np.median(finite)) if finite.size else 0.0


def snapshot(value):
    return copy.deepcopy(value)


def assert_unchanged(before, after, what):
    if isinstance(before, np.ndarray):
        assert isinstance(after, np.ndarray) and before.dtype == after.dtype and \
            np.array_equal(before, after, equal_nan=before.dtype.kind in "fc"), f"{what} was changed"
    elif isinstance(before, (list, tuple, dict)):
        assert repr(before) == repr(after), f"{what} was changed"


def call(name, function, *args, **kwargs):
    """Calls ``function``; returns (result, None) or (None, the documented exception). Anything
    else propagates, and fails the test."""
    try:
        result = function(*args, **kwargs)
    except DOCUMENTED as error:
        OUTCOMES[name, type(error).__name__] += 1
        return None, error
    OUTCOMES[name, "returned"] += 1
    return result, None


# -- assertions on results ---------------------------------------------------------------------------

def check_fit_result(result, max_iter, method):
    limit = max_iter if max_iter is not None else (200 if method == "ml" else 5000)
    assert 0 <= result.n_iterations <= limit, (result.n_iterations, limit)
    if "iteration limit" in result.message:
        assert result.n_iterations == limit and not result.converged, result.message
    if result.converged:
        assert np.isfinite(result.theta).all(), f"converged with values {result.theta}"
        # Derived widths and heights where the information determines every parameter (a derived
        # height, area over width, may exceed a float: 1e303 counts on a 1e-12 grid).
        # (nor for a peak whose area ended at 0, its shape reported undetermined).
        if not result.message.startswith("converged, but the Fisher information is singular"):
            empty = {n.split(".")[0] for n, flag in zip(result.parameter_names, result.undetermined) if flag}
            assert not any(math.isnan(v) for n, v in result.values.items() if n.split(".")[0] not in empty), \
                result.values
        # An infinite error only where the variance itself lies beyond a float's range (counts
        # near 1e300, whose areas' variances are their squares).
        if np.isfinite(result.covariance).all():
            assert not any(math.isinf(result.stderr[n]) for n in result.parameter_names), result.stderr
        assert np.isfinite(result.eval()).all()
    assert set(result.values) == set(result.stderr)


def exercise_result(d, result, x_clean):
    """Every method of a FitResult with good and bad arguments."""
    text, _ = call("FitResult.report", result.report)
    assert text is None or isinstance(text, str)
    for argument in (None, x_clean, d.pick(ODD), np.array([1.0, math.nan, 3.0]), np.array([3.0, 1.0, 2.0]),
                     [0.0, 1.0], np.ones((2, 3))):
        shape = None if argument is None else np.shape(argument)
        counts, _ = call("FitResult.eval", result.eval, argument)
        if counts is not None:
            assert counts.shape == (result.x.size,) if argument is None else counts.shape == shape
        call("FitResult.components", result.components, argument)
    assert result.residuals.shape == result.x.shape
    names = result.parameter_names
    weights = d.pick([{names[0]: 1.0}, {names[-1]: -1.0, names[0]: 1.0}, {"zz": 1.0}, {names[0]: "a"},
                      {names[0]: None}, [names[0]], "abc", {}])
    call("FitResult.combination", result.combination, weights)
    call("FitResult.ratio", result.ratio, d.pick(names + ["zz", 3]), d.pick(names + [None]))
    as_dict = result.to_dict()
    again, _ = call("FitResult.from_dict", brivane.FitResult.from_dict, copy.deepcopy(as_dict))
    assert again is not None and np.array_equal(again.theta, result.theta, equal_nan=True)
    broken = copy.deepcopy(as_dict)
    key = d.pick(sorted(broken))
    if d.chance(0.5):
        del broken[key]
    else:
        broken[key] = d.pick([None, "x", [], [1.0], {"a": 1}, 3])
    rebuilt, _ = call("FitResult.from_dict broken", brivane.FitResult.from_dict, broken)
    if rebuilt is not None:
        call("FitResult.report broken", rebuilt.report)
    call("FitResult.from_dict", brivane.FitResult.from_dict, d.pick([None, [], "x", {"format": "x"}]))
    repr(result)


# -- the tests -----------------------------------------------------------------------------------------

@property_settings(SHARES["model"])
@given(seed=st.integers(0, 2**64 - 1))
def test_model_construction_raises_documented_errors_only(seed):
    d = Draw(np.random.default_rng(seed))
    x_arg, x_clean = grid(d)
    n_data = x_clean.size
    model, error = call("Model", model_for, d, x_clean, n_data)
    if model is None:
        return
    names = model.parameter_names
    assert len(set(names)) == len(names)
    # A model is a description: its evaluation needs every value, and checks the grid as fit does.
    before = snapshot(x_arg)
    counts, _ = call("Model.evaluate", model.evaluate, x_arg, components=d.chance(0.3))
    assert_unchanged(before, x_arg, "x")
    if counts is not None and not isinstance(counts, dict):
        assert counts.shape == np.shape(x_arg)
    copied = model.copy()
    assert copied.parameter_names == names and repr(copied) == repr(model)


@property_settings(SHARES["fit"])
@given(seed=st.integers(0, 2**64 - 1))
def test_fit_raises_documented_errors_only_and_reports_no_nan_as_a_fit(seed):
    d = Draw(np.random.default_rng(seed))
    x_arg, x_clean = grid(d)
    counts = counts_for(d, x_clean)
    model, _ = call("Model", model_for, d, x_clean, x_clean.size)
    if model is None:
        model = brivane.Model([brivane.Gaussian(middle(x_clean))], background=brivane.Constant())
    window = window_for(d, x_clean)
    method = d.pick(["ml"] * 8 + ["em", "em"] + (["EM", None] if d.bad else []))
    start = None
    if d.chance(0.3):
        start = d.pick(["em", {}, {n: d.number(1.0) for n in model.parameter_names[:2]}] +
                       (["neighbour", {"zz": 1.0}, [1.0], 3.0] if d.bad else []))
    max_iter = d.pick([None, None, None, 1, 2, 5, 50] + ([0, -1, 2.5, True, 10**30, "9"] if d.bad else []))
    tolerance = d.pick([None, None, None, 1e-8, 1e-300, 5e-324, 0.5, 1e300] +
                       ([math.inf, math.nan, 0.0, -1.0, "x"] if d.bad else []))
    errors = d.pick(["scaled"] * 4 + ["poisson", "poisson"] + (["bayes", None] if d.bad else []))
    arguments = dict(window=window, method=method, start=start, errors=errors, max_iter=max_iter,
                     tolerance=tolerance)
    before = {"x": snapshot(x_arg), "counts": snapshot(counts), "start": snapshot(start),
              "model": repr(model), "ties": repr(model.ties)}
    result, _ = call(f"fit {method}", brivane.fit, x_arg, counts, model, **arguments)
    assert_unchanged(before["x"], x_arg, "x")
    assert_unchanged(before["counts"], counts, "counts")
    assert_unchanged(before["start"], start, "start")
    assert repr(model) == before["model"] and repr(model.ties) == before["ties"], "the model was changed"
    if result is None:
        return
    check_fit_result(result, max_iter, "ml" if start == "em" else method)
    exercise_result(d, result, x_clean)
    # From its own result, a fit starts where it ended.
    again, _ = call("fit from a result", brivane.fit, x_arg, counts, model, window=window, start=result,
                    max_iter=max_iter, tolerance=tolerance)
    if again is not None:
        check_fit_result(again, max_iter, "ml")


@property_settings(SHARES["fit_many"])
@given(seed=st.integers(0, 2**64 - 1))
def test_fit_many_raises_documented_errors_only_and_agrees_with_fit(seed):
    d = Draw(np.random.default_rng(seed))
    x_arg, x_clean = grid(d)
    n = x_clean.size
    shape = d.pick([(0,), (1,), (3,), (2, 2), (3,), ()])
    spectra = [counts_for(d, x_clean) if d.chance(0.2) else
               d.rng.poisson(expected_counts(d, x_clean, 1.0)).astype(np.float64)
               for _ in range(int(np.prod(shape)))]
    try:
        counts = np.array(spectra, dtype=np.float64).reshape(shape + (n,))
    except (TypeError, ValueError, OverflowError):
        counts = spectra                                   # ragged: no array at all
    if d.bad and d.chance(0.2):
        counts = d.pick([counts.tolist() if isinstance(counts, np.ndarray) else counts, d.pick(ODD),
                         np.zeros((2, n + 1)), np.zeros((2, n), dtype=np.complex128)])
    model, _ = call("Model", model_for, d, x_clean, n)
    if model is None:
        model = brivane.Model([brivane.Lorentzian(middle(x_clean))], background=brivane.Linear())
    names = model.parameter_names
    P = len(names)
    S = shape
    value = d.pick([1.0, 0.0, 1e300, 5e-324, -1e300] + ([math.nan, math.inf] if d.bad else []))
    starts = d.pick([None, None, None, "neighbour", {names[0]: d.number(1.0)}, {names[0]: np.full(S, value)},
                     np.full(S + (P,), value), [[value] * P]] +
                    (["neighbours", {names[0]: np.ones(7)}, np.ones(P + 1), np.ones((5, P)), object()] if d.bad else []))
    window = window_for(d, x_clean)
    max_iter = d.pick([None, None, 1, 3, 40] + ([0, -2, 10**30, 1.5] if d.bad else []))
    tolerance = d.pick([None, None, 1e-8, 1e-300] + ([math.nan, -1.0, math.inf] if d.bad else []))
    threads = d.pick([None, None, 1, 2] + ([0, -1, True, "2", 2**70] if d.bad else []))
    before = {"x": snapshot(x_arg), "counts": snapshot(counts), "starts": snapshot(starts)}
    batch, _ = call("fit_many", brivane.fit_many, x_arg, counts, model, starts=starts, window=window,
                    max_iter=max_iter, tolerance=tolerance, threads=threads)
    assert_unchanged(before["x"], x_arg, "x")
    assert_unchanged(before["counts"], counts, "counts")
    if isinstance(starts, (np.ndarray, dict)):
        assert_unchanged(before["starts"], starts, "starts") if isinstance(starts, np.ndarray) else \
            [assert_unchanged(before["starts"][k], starts[k], f"starts[{k!r}]") for k in starts]
    if batch is None:
        return
    limit = 200 if max_iter is None else max_iter
    assert batch.shape == np.shape(counts)[:-1] and batch.theta.shape == batch.shape + (P,)
    assert np.array_equal(batch.converged, np.isin(batch.status, (0, 4)))
    assert ((batch.n_iterations >= 0) & (batch.n_iterations <= limit)).all()
    assert np.isfinite(batch.theta[batch.converged]).all(), batch.theta
    for name in batch.values:
        term = [j for j, n in enumerate(names) if n.split(".")[0] == name.split(".")[0]]
        determined = (batch.status == 0) & ~batch.undetermined[..., term].any(axis=-1)
        assert not np.isnan(batch.values[name][determined]).any()
    for name in names:
        assert np.isfinite(batch.values[name][batch.converged]).all()
        representable = batch.converged & np.isfinite(batch.covariance).all(axis=(-2, -1))
        assert not np.isinf(batch.stderr[name][representable]).any()
    for k in range(min(batch.size, 2)):
        index = np.unravel_index(k, batch.shape)
        message = batch.message(index)
        assert isinstance(message, str) and message
    # Spectrum by spectrum, fit() from the same start gives the same bits.
    if batch.size and (starts is None or isinstance(starts, dict) and all(np.isscalar(v) for v in starts.values())):
        first = np.asarray(counts, float).reshape(-1, n)[0]
        single, _ = call("fit (beside fit_many)", brivane.fit, x_arg, first, model, window=window,
                         start=starts or None, max_iter=max_iter, tolerance=tolerance)
        index = np.unravel_index(0, batch.shape)
        if single is not None and batch.status[index] <= 5:
            assert batch.theta[index].tobytes() == single.theta.tobytes(), (batch.theta[index], single.theta)
            assert int(batch.n_iterations[index]) == single.n_iterations
            assert bool(batch.converged[index]) == single.converged
    # A BatchResult's own answers may start the next batch.
    if batch.size and d.chance(0.3):
        again, _ = call("fit_many from a batch", brivane.fit_many, x_arg, counts, model, starts=batch, window=window,
                        max_iter=max_iter, tolerance=tolerance, threads=threads)
        if again is not None:
            assert np.isfinite(again.theta[again.converged]).all()


if __name__ == "__main__":
    pytest.main([__file__, "-q"])
