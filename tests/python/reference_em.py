"""A straightforward NumPy implementation of the Gaussian EM iteration with every background.

It is written from the model's definition, array at a time, independently of the C++ engine: the
tests compare the module's fits with it, and the benchmark times it as the baseline.
"""
import math

import numpy as np
from scipy.optimize import brentq

TILT_UPPER = 0.99999


def gaussian_rows(x, mu, sigma):
    e = 1.0 / (sigma * math.sqrt(2.0))
    q = np.sqrt(sigma * (sigma * 2.0 * math.pi))
    z = (x[None, :] - mu[:, None]) * e[:, None]
    return np.exp(-z * z) / q[:, None]


def background_rows(x, bg_type, x_min, x_max, s_tri, basis):
    inside = (x >= x_min) & (x <= x_max)
    w = x_max - x_min
    if bg_type == 0:
        return np.zeros((0, x.size))
    if bg_type == 1:
        return (np.where(inside, 1.0 / w, 0.0) if w > 0 else np.zeros(x.size))[None, :]
    if bg_type == 2:
        with np.errstate(invalid="ignore"):
            norm = (2.0 / 3.0) * (x_max**1.5 - x_min**1.5) if x_min >= 0 else float("nan")
        if not abs(norm) > 1e-300:
            norm = 1.0
        with np.errstate(invalid="ignore"):
            return np.where(inside & (x >= 0), np.sqrt(np.abs(x)) / norm, 0.0)[None, :]
    if bg_type == 3:
        a = s_tri * 2.0 / (w * w)
        c = (1.0 - s_tri) / w - x_min * a
        return np.where(inside, np.fmax(a * x + c, 0.0), 0.0)[None, :]
    if bg_type == 4:
        return np.zeros((0, x.size)) if basis is None else np.array(basis, dtype=float)
    return np.zeros((1, x.size))


def tilt_score(x, w, x_min, x_max, s):
    width = x_max - x_min
    inside = (x >= x_min) & (x <= x_max)
    g = x * (2.0 / width**2) + (-1.0 / width - x_min * (2.0 / width**2))
    a = 2.0 * s / width**2
    c = (1.0 - s) / width - a * x_min
    return float(np.sum(np.where(inside, g * w / (a * x + c + 1e-5), 0.0)))


def estimate_s_tri(x, w, x_min, x_max):
    """The tilt in [-TILT_UPPER, TILT_UPPER] where the score vanishes, found in [0, TILT_UPPER] or
    else in [-TILT_UPPER, 0]; without a root, the end toward which the likelihood rises."""
    middle = tilt_score(x, w, x_min, x_max, 0.0)
    high = tilt_score(x, w, x_min, x_max, TILT_UPPER)
    if math.isnan(middle) or math.isnan(high) or (middle > 0 and high > 0):
        return TILT_UPPER
    if middle == 0 and high == 0:
        return TILT_UPPER
    score = lambda s: tilt_score(x, w, x_min, x_max, s)  # noqa: E731
    if middle * high <= 0:
        return min(max(brentq(score, 0.0, TILT_UPPER, xtol=1e-12), 0.0), TILT_UPPER)
    low = tilt_score(x, w, x_min, x_max, -TILT_UPPER)
    if math.isnan(low):
        return TILT_UPPER
    if low < 0:
        return -TILT_UPPER
    return min(max(brentq(score, -TILT_UPPER, 0.0, xtol=1e-12), -TILT_UPPER), 0.0)


def run_em(x, intensity, mu, sigma, pi, alpha, fix_mu, fix_sigma, max_iter, r_eps, x_min, x_max,
           bg_type=0, s_tri=0.0, basis=None):
    """Returns (iterations, ll history, relative-change history, s_tri, mu, sigma, pi)."""
    mu, sigma, pi = (np.array(v, dtype=float) for v in (mu, sigma, pi))
    fix_mu, fix_sigma = np.asarray(fix_mu, bool), np.asarray(fix_sigma, bool)
    k = mu.size

    def densities():
        return np.vstack([gaussian_rows(x, mu, sigma), background_rows(x, bg_type, x_min, x_max, s_tri, basis)])

    def e_step(d):
        m = (pi[:, None] * d[: pi.size]).sum(axis=0)
        g = d[: pi.size] * pi[:, None] / (m + 1e-20)
        return g, float(np.sum(intensity * np.log(m + 1e-200)))

    g, ll = e_step(densities())
    lls, rels = [ll], [0.0]
    t = 0
    while t < max_iter:
        b = (intensity[None, :] * g).sum(axis=1) + alpha[: pi.size] - 1.0
        c = b / b.sum()
        c = np.where(c > 0, c, 0.0)
        pi = c / c.sum()
        w = g[:k] * intensity[None, :]
        total = w.sum(axis=1)
        for j in range(k):
            if (fix_mu[j] and fix_sigma[j]) or not total[j] >= 1e-300:
                continue
            if not fix_mu[j]:
                mu[j] = np.sum(x * w[j]) / (total[j] + 1e-100)
            if not fix_sigma[j]:
                v = np.sum(w[j] * (x - mu[j]) ** 2) / (total[j] + 1e-100)
                sigma[j] = max(math.sqrt(v), 1e-5) if v > 0 else 1e-5
        if bg_type == 3:
            s_tri = estimate_s_tri(x, intensity * g[k], x_min, x_max)
        g, new = e_step(densities())
        rel = (new - ll) / abs(ll)
        lls.append(new)
        rels.append(rel)
        t += 1
        ll = new
        if abs(rel) < r_eps:
            break
    return t, np.array(lls), np.array(rels), s_tri, mu, sigma, pi
