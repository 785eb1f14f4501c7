"""The peak shapes as plain functions of NumPy arrays, for what the layer computes itself: rough
starts, derived quantities (full width at half maximum, height) and their derivatives by
differences.

Every density has unit area over the real line except the Doniach-Sunjic line, which is not
integrable for alpha > 0 and is normalised over the fit window's channels instead. The Voigt
profile and the TSDC current need special functions (the Faddeeva function, the exponential
integral E2): they are evaluated by the compiled engine on a unit peak, so that the layer's
numbers are the engine's and the package needs nothing beyond NumPy at run time.
"""
from __future__ import annotations

import math

import numpy as np

BOLTZMANN_EV = 8.61733034e-5  # Boltzmann's constant in eV/K
FWHM_PER_SIGMA = 2.0 * math.sqrt(2.0 * math.log(2.0))  # 2.3548200450309493


def gaussian(u, sigma):
    return np.exp(-0.5 * (u / sigma) ** 2) / (sigma * math.sqrt(2.0 * math.pi))


def lorentzian(u, fwhm):
    half = 0.5 * fwhm
    return half / (math.pi * (u * u + half * half))


def pseudo_voigt(u, fwhm, eta):
    return eta * gaussian(u, fwhm / FWHM_PER_SIGMA) + (1.0 - eta) * lorentzian(u, fwhm)


def _engine_density(kind: int, shape, points, aux0: float = 0.0) -> np.ndarray:
    """A unit-area peak of the engine's kind at the given points, per unit x: the engine's expected
    counts of a peak of area 1 over channels of width 1. The engine wants strictly ascending
    channels, so the points are sorted and repeated ones evaluated once."""
    from . import _compiled

    points = np.asarray(points, float)
    flat = points.ravel()
    if flat.size == 0:
        return np.zeros(points.shape)
    unique, inverse = np.unique(flat, return_inverse=True)
    theta = np.append(np.asarray(shape, float), 1.0)
    values = _compiled.evaluate(unique, np.ones(unique.size), [kind], [0], [theta.size], [aux0, 0.0],
                                theta, None)[0]
    return values[inverse].reshape(points.shape)


def voigt(u, sigma, gamma):
    """Voigt profile (Gaussian sigma, Lorentzian half width gamma) at offsets u from its centre."""
    return _engine_density(3, [0.0, sigma, gamma], u)


def doniach_sunjic_curve(u, gamma, alpha, tail=-1.0):
    """The Doniach-Sunjic line before normalisation. ``tail`` -1: the tail lies toward smaller x
    (the line as usually written); +1: toward larger x, the mirror image."""
    u = -np.asarray(u, float) if tail > 0 else np.asarray(u, float)
    return np.cos(0.5 * math.pi * alpha + (1.0 - alpha) * np.arctan(u / gamma)) / (
        (gamma * gamma + u * u) ** (0.5 * (1.0 - alpha)))


def tsdc(t, ea, tp, beta):
    """Current of a first-order relaxation (activation energy ea in eV, maximum at tp in K)
    heated at beta K/s, as a unit-area density over temperature (0 at t <= 0)."""
    t = np.asarray(t, float)
    value = np.zeros(t.shape)
    positive = t > 0
    if np.any(positive):
        value[positive] = _engine_density(5, [ea, tp], t[positive], beta)
    return value


def unit_density(kind: int, p, x_window=None, width_window=None, aux0=0.0):
    """The density of one peak per unit of x (area 1) as a function of x, for parameters p
    (area excluded). The Doniach-Sunjic line needs the window's channels for its normaliser;
    aux0 is the term's first auxiliary value (the heating rate of a TSDC peak, the side of a
    Doniach-Sunjic line's tail)."""
    if kind == 0:
        return lambda x: gaussian(x - p[0], p[1])
    if kind == 1:
        return lambda x: lorentzian(x - p[0], p[1])
    if kind == 2:
        return lambda x: pseudo_voigt(x - p[0], p[1], p[2])
    if kind == 3:
        return lambda x: voigt(np.asarray(x, float) - p[0], p[1], p[2])
    if kind == 4:
        norm = float(np.sum(doniach_sunjic_curve(x_window - p[0], p[1], p[2], aux0) * width_window))
        return lambda x: doniach_sunjic_curve(np.asarray(x, float) - p[0], p[1], p[2], aux0) / norm
    if kind == 5:
        return lambda x: tsdc(x, p[0], p[1], aux0)
    raise ValueError(kind)


def peak_location(kind: int, p, aux0=0.0) -> float:
    """Where the peak's maximum lies: the centre, except for the asymmetric Doniach-Sunjic line."""
    if kind == 5:
        return float(p[1])
    if kind == 4 and p[2] > 0:
        # With u = gamma tan(phi) the line is cos(pi alpha/2 + (1 - alpha) phi) cos(phi)^(1 - alpha)
        # up to a constant; its logarithm's derivative vanishes where
        # tan(pi alpha/2 + (1 - alpha) phi) = -tan(phi), at phi = -pi alpha / (2 (2 - alpha)):
        # the maximum lies that far toward the tail.
        gamma, alpha = p[1], p[2]
        offset = gamma * math.tan(0.5 * math.pi * alpha / (2.0 - alpha))
        return float(p[0] + offset if aux0 > 0 else p[0] - offset)
    return float(p[0])


def _crossing(density, inner: float, outer: float, level: float, tolerance: float) -> float:
    """The point between inner (density above level) and outer (below) where a density that falls
    monotonically from inner to outer crosses level: each round evaluates the density at 32
    points across the bracket in one call and keeps the sub-interval where it crosses, then a
    last linear interpolation."""
    grid = np.linspace(0.0, 1.0, 33)
    for _ in range(40):
        if abs(outer - inner) <= tolerance:
            break
        points = inner + (outer - inner) * grid
        above = np.asarray(density(points), float) >= level
        k = int(np.argmin(above))  # the first point below the level (the last one always is)
        if k == 0:
            return math.nan
        inner, outer = float(points[k - 1]), float(points[k])
    f_inner, f_outer = float(density(inner)), float(density(outer))
    if f_inner == f_outer:
        return 0.5 * (inner + outer)
    return inner + (outer - inner) * (f_inner - level) / (f_inner - f_outer)


def full_width_at_half_maximum(density, location: float, scale: float) -> float:
    """Distance between the two points where a single-maximum density falls to half its maximum,
    bracketed outward from the maximum in steps of the given scale, doubled each time (all tried
    in one call), and then narrowed on both sides."""
    half = 0.5 * float(density(location))
    steps = scale * 2.0 ** np.arange(60)
    tolerance = 1e-13 * max(scale, 1e-300)
    sides = []
    for direction in (+1.0, -1.0):
        outers = location + direction * steps
        # Steps that leave the floats (a peak near 1e300) are not tried: the compiled shapes
        # refuse positions that are not finite.
        outers = outers[np.isfinite(outers)]
        if not outers.size:
            return math.nan
        below = np.asarray(density(outers), float) < half
        if not below.any():
            return math.nan
        k = int(np.argmax(below))
        inner = location if k == 0 else float(outers[k - 1])
        sides.append(_crossing(density, inner, float(outers[k]), half, tolerance))
    return sides[0] - sides[1]
