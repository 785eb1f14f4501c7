"""The pseudo-Voigt density and both single-peak fits written with NumPy and SciPy, independently of
the module: the same density, log-likelihood, grids, brackets, bounds and forward-difference
gradient, with scipy.optimize.brentq for the root searches and SciPy's L-BFGS-B for the bounded
steps. The stopping rules of those two differ from the module's in their last digits, so results
agree to about the root searches' 1e-10 and the minimiser's tolerance, not bit for bit."""
import math

import numpy as np
from scipy.optimize import brentq

from reference_lbfgsb import lbfgsb, subtracted_differences

FWHM_PER_SIGMA = 2.3548200450309493
EIGHT_LN_TWO = 5.545177444479562


def window_mass(x0, gamma, x_min, x_max):
    h = gamma * 0.5
    with np.errstate(all="ignore"):
        mass = (math.atan((x_max - x0) / h) - math.atan((x_min - x0) / h)) / math.pi if h != 0 else math.nan
    return mass if mass > 1e-300 else 1e-300


def parts(x, x0, gamma):
    """The Gaussian part and the Lorentzian part before division by the window mass."""
    sigma, h = gamma / FWHM_PER_SIGMA, gamma * 0.5
    d = x - x0
    return np.exp(-0.5 * (d / sigma) ** 2) / (sigma * math.sqrt(2.0 * math.pi)), h / ((d * d + h * h) * math.pi)


def density(x, x0, gamma, eta, x_min, x_max):
    g, l = parts(x, x0, gamma)
    return eta * g + l * ((1.0 - eta) / window_mass(x0, gamma, x_min, x_max))


def log_likelihood(x, w, x0, gamma, eta, x_min, x_max):
    m = min(x.size, w.size)
    return float(np.sum(w[:m] * np.log(density(x[:m], x0, gamma, eta, x_min, x_max) + 1e-20)))


def mixing_scores(x, w, x0, gamma, etas, x_min, x_max):
    """The log-likelihood at every eta of `etas`, one row of the grid at a time."""
    g, l = parts(x, x0, gamma)
    mass = window_mass(x0, gamma, x_min, x_max)
    etas = np.asarray(etas)[:, None]
    return np.sum(w * np.log(etas * g + l * ((1.0 - etas) / mass) + 1e-20), axis=1)


# --- Conditional maximisation ----------------------------------------------------------------------

def conditional_max(x, w, x0, gamma, eta, x_min, x_max, fix_x0=False, fix_gamma=False, fix_eta=False):
    """One pass: shares at the start, the joint stationary point of the expected complete-data
    log-likelihood in (x0, gamma) by nested root searches, then eta from 0.80 ... 0.99."""
    if w.size == 0 or (fix_x0 and fix_gamma and fix_eta) or np.sum(w) == 0.0:
        return x0, gamma, eta
    m = min(x.size, w.size)
    xs, ws = x[:m], w[:m]
    if not (fix_x0 and fix_gamma):
        g, l = parts(x, x0, gamma)
        g, l = eta * g, l * ((1.0 - eta) / window_mass(x0, gamma, x_min, x_max))
        q = g + l + 1e-300
        wg, wl = ws * (g / q)[:m], (l / q)[:m] * ws
        a, b = wg.sum(), wl.sum()

        def score(c, width):  # g^3 times the derivative in the width
            h2 = (width / 2.0) ** 2
            d2 = (xs - c) ** 2
            e = (c - x_max) / ((c - x_max) ** 2 + h2) - (c - x_min) / ((c - x_min) ** 2 + h2)
            mass = window_mass(c, width, x_min, x_max)
            lorentz = -np.sum(wl * 0.5 / (d2 + h2)) * width ** 4 - width ** 3 * b * e / (mass * 2.0 * math.pi)
            return (b - a) * width ** 2 + lorentz + EIGHT_LN_TWO * np.sum(d2 * wg)

        def centre(c, width):  # the centre that zeroes the derivative in x0 with the rest taken at c
            h = width / 2.0
            q = (xs - c) ** 2 + h * h
            s = EIGHT_LN_TWO / width ** 2
            slope = h / (((x_min - c) ** 2 + h * h) * math.pi) - h / (((x_max - c) ** 2 + h * h) * math.pi)
            top = np.sum(wg * xs) * s + np.sum(wl * 2.0 * xs / q) - b / window_mass(c, width, x_min, x_max) * slope
            return top / (a * s + np.sum(wl * 2.0 / q) + 1e-300)

        def width_root(c):
            low, high = 0.1, x_max - x_min
            if not score(c, low) * score(c, high) < 0.0:
                return None
            try:
                return brentq(lambda width: score(c, width), low, high, xtol=1e-10, maxiter=100)
            except RuntimeError:
                return None

        def residual(u):
            width = width_root(u)
            return math.nan if width is None else centre(u, width) - u

        coarse = [x_min + k * (x_max - x_min) / 9.0 for k in range(10)]
        qualifying = [u for u in coarse if np.sign(score(u, 0.1)) * np.sign(score(u, x_max - x_min)) < 0]
        candidates = []
        if qualifying and qualifying[-1] - qualifying[0] >= 1e-12:
            fine = [qualifying[0] + j * (qualifying[-1] - qualifying[0]) / 9.0 for j in range(10)]
            rho = [residual(v) for v in fine]
            for j in range(9):
                if not (math.isfinite(rho[j]) and math.isfinite(rho[j + 1]) and rho[j] * rho[j + 1] < 0):
                    continue
                try:
                    u = brentq(lambda v: 0.0 if width_root(v) is None else residual(v), fine[j], fine[j + 1],
                               xtol=1e-10, maxiter=100)
                except RuntimeError:
                    continue
                width = width_root(u)
                if width is not None:
                    candidates.append((u, width))
        if candidates:
            def unnormalised(c, width):
                gg, ll = parts(xs, c, width)
                return np.sum(ws * np.log(eta * gg + (1.0 - eta) * ll + 1e-20))
            scores = [unnormalised(*c) for c in candidates]
            best = 0
            for k in range(1, len(scores)):
                if not scores[best] > scores[k]:
                    best = k
            x0, gamma = candidates[best]
    if not fix_eta:
        etas = np.arange(20) * 0.01 + 0.8
        scores = mixing_scores(xs, ws, x0, gamma, etas, x_min, x_max)
        best = 0
        for k in range(1, 20):
            if not scores[best] > scores[k]:
                best = k
        eta = float(etas[best])
    return x0, gamma, eta


# --- Full optimisation -----------------------------------------------------------------------------

def bounded_step(x, w, x0, gamma, eta, x_min, x_max, gamma_min, gamma_max, fix_x0=False, fix_gamma=False,
                 counter=None):
    """One minimisation of the negative log-likelihood in the free ones of (x0, gamma) at the eta
    held, from the values given. Returns (x0, gamma, SciPy's result)."""
    start, bounds = [], []
    if not fix_x0:
        start.append(x0)
        bounds.append((x_min, x_max))
    if not fix_gamma:
        start.append(gamma)
        bounds.append((gamma_min, gamma_max))

    def unpack(p):
        return (x0 if fix_x0 else p[0]), (gamma if fix_gamma else p[0 if fix_x0 else 1])

    def nll(p):
        if counter is not None:
            counter[0] += 1
        return -log_likelihood(x, w, *unpack(p), eta, x_min, x_max)

    result = lbfgsb(subtracted_differences(nll), start, bounds)
    new_x0, new_gamma = unpack(result.x)
    return new_x0, (new_gamma if fix_gamma else min(max(new_gamma, gamma_min), gamma_max)), result


def full_optimization(x, w, x0, gamma, eta, x_min, x_max, gamma_min, gamma_max, max_iter, r_eps, fix_x0=False,
                      fix_gamma=False, fix_eta=False):
    """Bounded steps in (x0, gamma) alternating with eta from 0.00 ... 0.99 until the relative
    gain of the log-likelihood falls below r_eps or max_iter steps have run."""
    if (fix_x0 and fix_gamma and fix_eta) or w.size == 0 or np.sum(w) == 0.0:
        return x0, gamma, eta
    m = min(x.size, w.size)
    xs, ws = x[:m], w[:m]
    start_eta = eta
    previous = log_likelihood(xs, ws, x0, gamma, eta, x_min, x_max)
    etas = np.arange(100) * 0.01
    for _ in range(max_iter):
        if not (fix_x0 and fix_gamma):
            x0, gamma, _ = bounded_step(xs, ws, x0, gamma, eta, x_min, x_max, gamma_min, gamma_max, fix_x0, fix_gamma)
        if not fix_eta:
            scores = mixing_scores(xs, ws, x0, gamma, etas, x_min, x_max)
            scores = np.where(np.isnan(scores), -np.inf, scores)
            eta = float(etas[int(np.argmax(scores))]) if np.max(scores) > -np.inf else start_eta
        latest = log_likelihood(xs, ws, x0, gamma, eta, x_min, x_max)
        if (latest - previous) / max(abs(previous), 1e-300) < r_eps:
            break
        previous = latest
    return x0, gamma, eta
