"""Standard errors of a maximum-likelihood fit from the curvature of its log-likelihood, for the
recovery tests of the mixtures: a fit lies within a few standard errors of the truth it was drawn
from, and the errors say how sharp that check is."""
import numpy as np


def standard_errors(log_likelihood, params, steps):
    """sqrt(diag(H^-1)), H the Hessian of -log_likelihood at params by central differences with the
    given steps."""
    p = np.asarray(params, float)
    h = np.asarray(steps, float)
    m = p.size
    hessian = np.empty((m, m))
    centre = log_likelihood(p)
    for a in range(m):
        for b in range(a, m):
            def at(sa, sb):
                q = p.copy()
                q[a] += sa * h[a]
                q[b] += sb * h[b]
                return log_likelihood(q)
            if a == b:
                value = -(at(1, 0) - 2.0 * centre + at(-1, 0)) / (h[a] * h[a])
            else:
                value = -(at(1, 1) - at(1, -1) - at(-1, 1) + at(-1, -1)) / (4.0 * h[a] * h[b])
            hessian[a, b] = hessian[b, a] = value
    return np.sqrt(np.diag(np.linalg.inv(hessian)))


def mixture_log_likelihood(counts, peak_row, per_peak, background_rows):
    """LL(theta) of a mixture whose theta holds the K peaks' parameters (per_peak each, peak after
    peak) and then all weights but the last, which makes their sum 1. peak_row(*parameters) is one
    peak's density row; background_rows is a (B, n) array with B >= 1."""
    def log_likelihood(theta):
        k = (theta.size - background_rows.shape[0] + 1) // (per_peak + 1)
        peaks = theta[:k * per_peak].reshape(k, per_peak)
        weights = np.append(theta[k * per_peak:], 1.0 - theta[k * per_peak:].sum())
        rows = np.vstack([peak_row(*p) for p in peaks] + [background_rows])
        return float(counts @ np.log(weights @ rows + 1e-200))
    return log_likelihood


def expect_recovered(fitted, truth, errors, scale, names):
    """Every fitted value within 5 standard errors of the truth (exceeded with probability 6e-7 per
    value if the errors are right), and every error below 3% of its scale, so that the check is a
    sharp one."""
    for name, f, t, e, s in zip(names, fitted, truth, errors, scale):
        assert e < 0.03 * s, f"{name}: standard error {e:.3g} is not small against {s:.3g}"
        assert abs(f - t) <= 5.0 * e, f"{name}: fitted {f!r}, truth {t!r}, standard error {e:.3g}"
