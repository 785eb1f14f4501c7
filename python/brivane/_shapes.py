"""The peak shapes as plain NumPy functions, for what the layer computes itself: rough starts,
derived quantities (full width at half maximum, height) and their derivatives by differences.

Every density has unit area over the real line except the Doniach-Sunjic line, which is not
integrable for alpha > 0 and is normalised over the fit window's channels instead.
"""
from __future__ import annotations

import math

import numpy as np
from scipy import optimize, special

BOLTZMANN_EV = 8.61733034e-5  # Boltzmann's constant in eV/K
FWHM_PER_SIGMA = 2.0 * math.sqrt(2.0 * math.log(2.0))  # 2.3548200450309493


def gaussian(u, sigma):
    return np.exp(-0.5 * (u / sigma) ** 2) / (sigma * math.sqrt(2.0 * math.pi))


def lorentzian(u, fwhm):
    half = 0.5 * fwhm
    return half / (math.pi * (u * u + half * half))


def pseudo_voigt(u, fwhm, eta):
    return eta * gaussian(u, fwhm / FWHM_PER_SIGMA) + (1.0 - eta) * lorentzian(u, fwhm)


def voigt(u, sigma, gamma):
    z = (np.asarray(u, float) + 1j * gamma) / (sigma * math.sqrt(2.0))
    return special.wofz(z).real / (sigma * math.sqrt(2.0 * math.pi))


def doniach_sunjic_curve(u, gamma, alpha):
    """The Doniach-Sunjic line before normalisation (its tail lies below the centre)."""
    return np.cos(0.5 * math.pi * alpha + (1.0 - alpha) * np.arctan(u / gamma)) / (
        (gamma * gamma + u * u) ** (0.5 * (1.0 - alpha)))


def tsdc(t, ea, tp, beta):
    """Current of a first-order relaxation (activation energy ea in eV, maximum at tp in K)
    heated at beta K/s, as a unit-area density over temperature."""
    k = BOLTZMANN_EV
    beta_tau0 = k * tp * tp / ea * math.exp(-ea / (k * tp))
    t = np.asarray(t, float)
    z = ea / (k * t)
    with np.errstate(over="ignore", under="ignore", invalid="ignore"):
        value = np.exp(-z - t * special.expn(2, z) / beta_tau0) / beta_tau0
    return np.where(t > 0, value, 0.0)


def unit_density(kind: int, p, x_window=None, width_window=None, aux0=0.0):
    """The density of one peak per unit of x (area 1) as a function of x, for parameters p
    (area excluded). The Doniach-Sunjic line needs the window's channels for its normaliser."""
    if kind == 0:
        return lambda x: gaussian(x - p[0], p[1])
    if kind == 1:
        return lambda x: lorentzian(x - p[0], p[1])
    if kind == 2:
        return lambda x: pseudo_voigt(x - p[0], p[1], p[2])
    if kind == 3:
        return lambda x: voigt(x - p[0], p[1], p[2])
    if kind == 4:
        norm = float(np.sum(doniach_sunjic_curve(x_window - p[0], p[1], p[2]) * width_window))
        return lambda x: doniach_sunjic_curve(np.asarray(x, float) - p[0], p[1], p[2]) / norm
    if kind == 5:
        return lambda x: tsdc(x, p[0], p[1], aux0)
    raise ValueError(kind)


def peak_location(kind: int, p) -> float:
    """Where the peak's maximum lies: the centre, except for the asymmetric Doniach-Sunjic line."""
    if kind == 5:
        return float(p[1])
    if kind == 4 and p[2] > 0:
        gamma, alpha = p[1], p[2]
        # The maximum solves (1 - alpha) gamma = -u tan(...) near the centre; a bounded search
        # of the curve over a few widths below the centre finds it without the closed form.
        found = optimize.minimize_scalar(
            lambda u: -float(doniach_sunjic_curve(u, gamma, alpha)),
            bounds=(-5.0 * gamma, gamma), method="bounded", options={"xatol": 1e-10 * gamma})
        return float(p[0] + found.x)
    return float(p[0])


def full_width_at_half_maximum(density, location: float, scale: float) -> float:
    """Distance between the two points where a single-maximum density falls to half its maximum,
    found by bracketing outward from the maximum in steps of the given scale."""
    half = 0.5 * float(density(location))

    def crossing(direction):
        step = scale
        inner = location
        for _ in range(200):
            outer = location + direction * step
            if float(density(outer)) < half:
                return optimize.brentq(lambda v: float(density(v)) - half, min(inner, outer),
                                       max(inner, outer), xtol=1e-13 * max(scale, 1e-300),
                                       rtol=4 * np.finfo(float).eps)
            inner = outer
            step *= 2.0
        return math.nan

    return crossing(+1.0) - crossing(-1.0)
