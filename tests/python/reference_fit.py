"""SciPy's L-BFGS-B on the Poisson deviance of a fitted model, written from the model's
definition (reference_model) and the ties' formulas, to check that a fit ended at an optimum."""
import math

import numpy as np
from scipy import optimize

import reference_model as rm

FREE, FIXED, LINEAR_TIE, BRAGG_TIE = 0, 1, 2, 3


def full_vector(phi, d):
    """The whole parameter vector from the free ones, ties followed through their chains."""
    theta = np.array(d["theta"], float)
    role = np.array(d["role"])
    free = np.flatnonzero(role == FREE)
    theta[free] = phi
    done = np.isin(role, (FREE, FIXED))
    while not done.all():
        for j in np.flatnonzero(~done):
            s = d["source"][j]
            if done[s]:
                if role[j] == LINEAR_TIE:
                    theta[j] = d["scale"][j] * theta[s] + d["offset"][j]
                else:
                    theta[j] = 2 * math.degrees(math.asin(d["scale"][j] * math.sin(math.radians(theta[s]) / 2)))
                done[j] = True
    return theta


def polish(d):
    """Minimise the deviance from the result ``d`` (a FitResult's to_dict()) with L-BFGS-B inside
    the same bounds. Returns (deviance at the start, deviance at the end)."""
    x, width = np.array(d["x"]), np.array(d["width"])
    y = np.array(d["counts"])
    args = (d["kind"], d["first"], d["count"], np.array(d["aux"]).reshape(-1, 2))
    rows = None if d["rows"] is None else np.array(d["rows"])
    role = np.array(d["role"])
    free = np.flatnonzero(role == FREE)
    lower = np.array([-np.inf if v is None or v == "-inf" else float(v) for v in d["lower"]])[free]
    upper = np.array([np.inf if v is None or v == "inf" else float(v) for v in d["upper"]])[free]
    phi0 = np.array(d["theta"], float)[free]
    # Each parameter in units of its distance to the start's error scale, so that L-BFGS-B's
    # first steps are of a sensible size whatever the parameter's units.
    scale = np.maximum(np.abs(phi0), 1e-3) * 1e-3

    def deviance(z):
        theta = full_vector(phi0 + z * scale, d)
        mu = rm.model(x, width, *args, theta, rows)
        if np.any(mu <= 0) or not np.all(np.isfinite(mu)):
            return np.inf
        return rm.deviance(y, mu)

    start = deviance(np.zeros(free.size))
    bounds = list(zip((lower - phi0) / scale, (upper - phi0) / scale))
    found = optimize.minimize(deviance, np.zeros(free.size), method="L-BFGS-B", bounds=bounds,
                              options=dict(maxiter=2000, ftol=1e-15, gtol=1e-10, eps=1e-7))
    return start, min(found.fun, start)
