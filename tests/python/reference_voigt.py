"""The Voigt component fit written with NumPy and SciPy, independently of the module: the profile
from scipy.special.wofz, its mass inside the window by the 100-point Gauss-Legendre rule of NumPy
under s = L t / (1 - t), L the peak's widths plus the edge's distance from the centre rounded down to
a power of two (the same rule the module tabulates, computed here by numpy.polynomial), the
window-normalised density, the weighted log-likelihood, and the bounded fit by SciPy's L-BFGS-B on
the same objective with the same forward-difference gradient. Also the NumPy EM iteration of the
Voigt mixture that tests and benchmarks compare with."""
import math

import numpy as np
from scipy.special import wofz

from reference_lbfgsb import FreeParameters, lbfgsb, sample_differences

_nodes, _weights = np.polynomial.legendre.leggauss(100)
_t = (1.0 + _nodes) / 2.0
OFFSETS = _t / (1.0 - _t)
TAIL_WEIGHTS = (_weights / 2.0) / (1.0 - _t) ** 2


def profile(u, sigma, gamma):
    """V(u; sigma, gamma) for an array of offsets; the normal and Cauchy limits where a width is 0."""
    u = np.asarray(u, float)
    with np.errstate(all="ignore"):
        if sigma != 0.0:
            if gamma != 0.0:
                z = (u / sigma) * 0.7071067811865476 + 1j * ((gamma / sigma) * 0.7071067811865476)
                return wofz(z).real / sigma / 2.5066282746310002
            r = u / sigma
            return np.exp(-0.5 * (r * r)) * (0.3989422804014327 / sigma)
        if gamma != 0.0:
            return gamma / np.pi / (u * u + gamma * gamma)
        return np.where(np.isnan(u), u, np.where(u != 0.0, 0.0, np.inf))


def tail_scale(distance, sigma, gamma):
    """L: |sigma| + |gamma| + distance rounded down to a power of two, 1 where not a positive normal number."""
    raw = (abs(sigma) + abs(gamma)) + distance
    if not (raw >= 2.0 ** -1022) or not math.isfinite(raw):
        return 1.0
    return math.ldexp(1.0, math.frexp(raw)[1] - 1)


def _below(e, x0, sigma, gamma):
    """The mass below e, from the tail that does not hold the centre."""
    offset = e - x0
    if x0 >= e:
        scale = tail_scale(-offset, sigma, gamma)
        return scale * float(TAIL_WEIGHTS @ profile(offset - scale * OFFSETS, sigma, gamma))
    scale = tail_scale(offset, sigma, gamma)
    return 1.0 - scale * float(TAIL_WEIGHTS @ profile(offset + scale * OFFSETS, sigma, gamma))


def window_mass(x0, sigma, gamma, x_min, x_max):
    return _below(x_max, x0, sigma, gamma) - _below(x_min, x0, sigma, gamma)


def density(x, x0, sigma, gamma, x_min, x_max):
    return profile(x - x0, sigma, gamma) / max(window_mass(x0, sigma, gamma, x_min, x_max), 1e-300)


def log_densities(x, x0, sigma, gamma, x_min, x_max):
    with np.errstate(all="ignore"):
        return np.log(density(x, x0, sigma, gamma, x_min, x_max) + 1e-200)


def log_likelihood(x, w, params, x_min, x_max):
    n = min(x.size, w.size)
    return float(np.sum(w[:n] * log_densities(x[:n], *params, x_min, x_max)))


def minimise(x, w, params, fixed, bounds, counter=None):
    """Fits the free ones of (x0, sigma, gamma) to the weights w from `params`; bounds are (x_min,
    x_max, sigma_min, sigma_max, gamma_min, gamma_max). Returns (x0, sigma, gamma) and SciPy's result
    (None where nothing was minimised). The gradient is the forward difference of step 1e-7, its
    differences taken sample by sample."""
    free = FreeParameters(params, fixed)
    if w.size == 0 or all(fixed) or np.sum(w) == 0.0:
        return free.params, None
    x_min, x_max = bounds[0], bounds[1]
    n = min(x.size, w.size)
    xs = x[:n]
    objective = sample_differences(free, lambda values: log_densities(xs, *values, x_min, x_max), w[:n], counter)
    result = lbfgsb(objective, free.start(), [(bounds[2 * j], bounds[2 * j + 1]) for j in free.free])
    values = free.full(result.x)
    for j in (1, 2):  # a free width is clamped into its bounds
        if not fixed[j]:
            values[j] = min(max(values[j], bounds[2 * j]), bounds[2 * j + 1])
    return tuple(values), result


class Mixture:
    """The Voigt EM iteration in NumPy with SciPy's refits: K peaks plus a uniform background row on
    the window (x_min, x_max), a flat Dirichlet prior."""

    def __init__(self, x, y, x0, sigma, gamma, pi, bounds):
        self.x, self.y = x, y
        self.params = [tuple(p) for p in zip(x0, sigma, gamma)]
        self.pi = np.array(pi, float)
        self.bounds = bounds
        inside = (x >= bounds[0]) & (x <= bounds[1])
        self.background = np.where(inside, 1.0 / (bounds[1] - bounds[0]), 0.0)
        self.log_likelihood = self.e_step()

    def e_step(self):
        d = np.vstack([density(self.x, *p, *self.bounds[:2]) for p in self.params] + [self.background])
        m = self.pi @ d
        self.g = d * self.pi[:, None] / (m + 1e-20)
        return float(self.y @ np.log(m + 1e-200))

    def iterate(self):
        b = self.g @ self.y
        self.pi = b / b.sum()
        self.params = [minimise(self.x, self.y * self.g[k], p, (False,) * 3, self.bounds)[0]
                       for k, p in enumerate(self.params)]
        self.log_likelihood = self.e_step()
        return self.log_likelihood
