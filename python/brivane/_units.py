"""The engine's own units: the fit window's axis scaled to a span of order one.

The engine's floors, difference steps and convergence test are meant for numbers of order one; an
axis spaced by 1e-12 would put every position and width many orders of magnitude away from them.
So the layer hands the engine

    x' = (x - x_ref) / x_scale,   x_scale = the least power of two above the window's span,
    x_ref = 0, or the window's lower end when that lies more than 64 spans from zero,

and every parameter in the matching units, theta = k theta' + r with, per parameter:

    peak position                 k = x_scale, r = x_ref
    widths (sigma, fwhm, gamma)   k = x_scale
    Linear slope, Exponential rate           k = 1 / x_scale
    Tougaard b, c                 k = x_scale^3, x_scale^2 (T/(c + T^2)^2 has units x^-3)
    areas, levels, coefficients, eta, alpha, Shirley k, amplitudes: unchanged

with the terms' reference points (x_ref of Linear, Polynomial, Exponential) and Polynomial's
x_scale mapped as x is, and the channel widths divided by x_scale (a peak's counts per channel,
area f(x) width, do not change). Bounds map as their parameters; a linear tie
theta_j = s theta_i + o becomes theta'_j = (s k_i / k_j) theta'_i + (s r_i + o - r_j) / k_j. The
expected counts, and so the likelihood and deviance, are the same numbers in both units; the
results come back as theta = k theta' + r and covariance K C' K with K = diag(k).

Without a shift (x_ref = 0, the common case) the mapping there and back is exact, a power of two:
a start taken from a result in the caller's units gives the engine the very numbers it ended on,
so fit_many's neighbour starts give the bits of fit() from that neighbour's result. With a shift
(an axis near 1e9, or 1 + 1e-12 x), the way back rounds each position once, to the caller's own
resolution there, and neighbour starts agree with fit() to that rounding, not to the bit.

Two cases keep the caller's axis as it is (k = 1): a model with a K-alpha2 tie (Bragg's law
needs the angles in degrees themselves) and a model with a TSDC peak (its temperatures are
absolute). The counts are not mapped: the Poisson optimum moves with their scale (every expected count by
the same factor), and neither the engine's steps nor its stopping test depend on it (the test
measures the remaining step against the deviance per degree of freedom, which carries the
counts' unit, with a floor that is a share of the counts themselves).
"""
from __future__ import annotations

import dataclasses
import math

import numpy as np

from .model import BRAGG_TIE, LINEAR_TIE, Compiled

# Peak kinds: which parameters are widths (offsets in the term's block); the position is first.
_PEAK_WIDTHS = {0: (1,), 1: (1,), 2: (1,), 3: (1, 2), 4: (1,)}
_TSDC = 5
# A window whose lower end lies further from zero than this many spans is shifted to start at 0.
_FAR = 64.0


@dataclasses.dataclass
class EngineUnits:
    x_ref: float
    x_scale: float
    k: np.ndarray          # theta = k theta' + r, per parameter
    r: np.ndarray
    x: np.ndarray          # the window in the engine's units
    width: np.ndarray
    aux: np.ndarray        # flattened, as the engine takes it
    value: np.ndarray
    lower: np.ndarray
    upper: np.ndarray
    scale: np.ndarray
    offset: np.ndarray

    def to_engine(self, theta) -> np.ndarray:
        """Parameter vectors (the last axis) in the engine's units."""
        return (np.asarray(theta, float) - self.r) / self.k

    def from_engine(self, theta) -> np.ndarray:
        return np.asarray(theta, float) * self.k + self.r

    def covariance_from_engine(self, covariance) -> np.ndarray:
        return np.asarray(covariance, float) * np.multiply.outer(self.k, self.k)


def engine_units(c: Compiled, x: np.ndarray, width: np.ndarray) -> EngineUnits:
    """The mapping of the compiled model ``c`` over the window ``x`` (ascending) into the engine's
    units."""
    P = len(c.names)
    kind = np.asarray(c.kind, np.int64)
    keep_axis = x.size < 2 or bool(np.any(kind == _TSDC)) or bool(np.any(np.asarray(c.role) == BRAGG_TIE))
    # A power of two: the mapping there and back is exact (a start taken from a result in the
    # caller's units gives the engine the very numbers it ended on), and an axis scaled by a power
    # of two gives the engine the same numbers.
    x_ref, x_scale = 0.0, 1.0
    if not keep_axis:
        span = float(x[-1] - x[0])
        x_scale = math.ldexp(1.0, math.frexp(span)[1])
        if abs(float(x[0])) > _FAR * span:
            x_ref = float(x[0])
    k, r = np.ones(P), np.zeros(P)
    aux = np.array(c.aux, float).reshape(-1, 2)
    for t, term_kind in enumerate(kind.tolist()):
        first = int(c.first[t])
        if term_kind in _PEAK_WIDTHS:
            k[first], r[first] = x_scale, x_ref
            for offset in _PEAK_WIDTHS[term_kind]:
                k[first + offset] = x_scale
        elif term_kind == 11:   # Linear: slope per unit x
            k[first + 1] = 1.0 / x_scale
            aux[t, 0] = (aux[t, 0] - x_ref) / x_scale
        elif term_kind == 12:   # Polynomial in (x - x_ref) / x_scale
            aux[t, 0] = (aux[t, 0] - x_ref) / x_scale
            aux[t, 1] = aux[t, 1] / x_scale
        elif term_kind == 13:   # Exponential: rate per unit x
            k[first + 1] = 1.0 / x_scale
            aux[t, 0] = (aux[t, 0] - x_ref) / x_scale
        elif term_kind == 15:   # Tougaard
            k[first], k[first + 1] = x_scale ** 3, x_scale ** 2
    role = np.asarray(c.role)
    source = np.asarray(c.source, np.int64)
    scale = np.array(c.scale, float)
    offset = np.array(c.offset, float)
    for j in np.flatnonzero(role == LINEAR_TIE):
        i = source[j]
        s, o = scale[j], offset[j]
        scale[j] = s * k[i] / k[j]
        offset[j] = (s * r[i] + o - r[j]) / k[j]
    with np.errstate(invalid="ignore"):
        lower = (np.asarray(c.lower, float) - r) / k
        upper = (np.asarray(c.upper, float) - r) / k
    return EngineUnits(x_ref=x_ref, x_scale=x_scale, k=k, r=r,
                       x=(np.asarray(x, float) - x_ref) / x_scale, width=np.asarray(width, float) / x_scale,
                       aux=aux.ravel(), value=(np.asarray(c.value, float) - r) / k, lower=lower, upper=upper,
                       scale=scale, offset=offset)


def results_from_engine(units: EngineUnits, c: Compiled, theta, at_bound) -> np.ndarray:
    """Fitted vectors (the last axis) back in the caller's units: a free parameter that the engine
    left on a bound is put on the caller's bound itself (the mapping there and back may move it by
    a rounding), every free one inside its bounds, and a fixed one at its given value."""
    from .model import FIXED, FREE

    theta = units.from_engine(theta)
    role = np.asarray(c.role)
    lower, upper = np.asarray(c.lower, float), np.asarray(c.upper, float)
    free = role == FREE
    with np.errstate(invalid="ignore"):
        clipped = np.minimum(np.maximum(theta, lower), upper)
        nearer_lower = np.abs(theta - lower) <= np.abs(theta - upper)
    theta = np.where(free, clipped, theta)
    theta = np.where(free & np.asarray(at_bound, bool), np.where(nearer_lower, lower, upper), theta)
    # A spectrum that was not fitted stays all NaN.
    fitted = np.isfinite(theta).all(axis=-1, keepdims=True)
    return np.where((role == FIXED) & fitted, np.asarray(c.value, float), theta)
