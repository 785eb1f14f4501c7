"""The Doniach-Sunjic fit written with NumPy and SciPy's L-BFGS-B, independently of the module: the
same shape normalised by its trapezoid integral over the grid, the same log-likelihood, start
values, bounds and forward-difference gradient."""
import numpy as np

from reference_lbfgsb import FreeParameters, lbfgsb, sample_differences


def shape(x, x0, gamma, alpha):
    d = np.asarray(x, float) - x0
    with np.errstate(all="ignore"):
        return np.cos((1.0 - alpha) * np.arctan(d / gamma) + np.pi * alpha * 0.5) / (d * d + gamma * gamma) ** (
            0.5 * (1.0 - alpha))


def density(x, x0, gamma, alpha):
    v = shape(x, x0, gamma, alpha)
    with np.errstate(all="ignore"):
        total = float(np.sum(np.diff(x) * ((v[:-1] + v[1:]) * 0.5))) if x.size >= 2 else 0.0
        return v / total if abs(total) >= 1e-300 else np.zeros_like(v)


def log_densities(x, n, x0, gamma, alpha):
    with np.errstate(all="ignore"):
        return np.log(density(x, x0, gamma, alpha)[:n] + 1e-200)


def log_likelihood(x, w, x0, gamma, alpha):
    n = min(x.size, w.size)
    return float(np.sum(w[:n] * log_densities(x, n, x0, gamma, alpha)))


def minimise(x, w, x0, gamma, alpha, x_min, x_max, gamma_min, gamma_max, alpha_min, alpha_max,
             fix_x0=False, fix_gamma=False, fix_alpha=False, counter=None):
    """Returns ((x0, gamma, alpha), SciPy's result), the result None where nothing was minimised."""
    fixed = (fix_x0, fix_gamma, fix_alpha)
    bounds = ((x_min, x_max), (gamma_min, gamma_max), (alpha_min, alpha_max))
    free = FreeParameters((x0, gamma, alpha), fixed)
    if all(fixed) or w.size == 0 or not np.sum(w) >= 1e-300:
        return free.params, None
    n = min(x.size, w.size)
    objective = sample_differences(free, lambda values: log_densities(x, n, *values), w[:n], counter)
    result = lbfgsb(objective, free.start(), [bounds[j] for j in free.free])
    values = free.full(result.x)
    for j in (1, 2):  # a free width or asymmetry is clamped into its bounds
        if not fixed[j]:
            values[j] = min(max(values[j], bounds[j][0]), bounds[j][1])
    return tuple(values), result
