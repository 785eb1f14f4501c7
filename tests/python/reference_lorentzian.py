"""The Lorentzian fit written with NumPy and SciPy's L-BFGS-B, independently of the module: the
same density, log-likelihood, start values, bounds and forward-difference gradient."""
import math

import numpy as np

from reference_lbfgsb import lbfgsb, subtracted_differences


def density(x, x0, gamma, x_min, x_max):
    e = 0.5 * gamma
    with np.errstate(all="ignore"):
        mass = math.atan((x_max - x0) / e) / math.pi - math.atan((x_min - x0) / e) / math.pi
    mass = mass if mass > 1e-300 else 1e-300
    d = gamma / (((x - x0) ** 2 + e * e) * (mass * math.pi))
    total = float(np.sum(np.diff(x) * ((d[:-1] + d[1:]) * 0.5))) if x.size >= 2 else 0.0
    return d / (total if total > 1e-300 else 1e-300)


def log_likelihood(x, w, x0, gamma, x_min, x_max):
    return float(np.sum(w * np.log(density(x, x0, gamma, x_min, x_max) + 1e-200)))


def fit(x, w, x0, gamma, x_min, x_max, fix_x0=False, fix_gamma=False, counter=None):
    """Returns (x0, gamma), unchanged where the module leaves them unchanged."""
    return minimise(x, w, x0, gamma, x_min, x_max, fix_x0, fix_gamma, counter)[:2]


def minimise(x, w, x0, gamma, x_min, x_max, fix_x0=False, fix_gamma=False, counter=None):
    """Returns (x0, gamma, SciPy's result), the result None where nothing was minimised."""
    total = w.sum()
    if (fix_x0 and fix_gamma) or w.size == 0 or not total >= 1e-300:
        return x0, gamma, None
    start, bounds = [], []
    if not fix_x0:
        start.append(np.sum(x * w) / total)
        bounds.append((x_min, x_max))
    if not fix_gamma:
        root = math.sqrt(np.sum(x * x * w) / total * 1.3862943611198906)
        start.append(max(root, 0.1) if not math.isnan(root) else 0.1)
        bounds.append((0.1, 2000.0))

    def unpack(p):
        return (x0 if fix_x0 else p[0]), (gamma if fix_gamma else p[0 if fix_x0 else 1])

    def nll(p):
        if counter is not None:
            counter[0] += 1
        return -log_likelihood(x, w, *unpack(p), x_min, x_max)

    result = lbfgsb(subtracted_differences(nll), start, bounds)
    new_x0, new_gamma = unpack(result.x)
    # Only a fitted width is clamped into its bounds; a held one comes back as it was passed.
    return new_x0, (new_gamma if fix_gamma else min(max(new_gamma, 0.1), 2000.0)), result
