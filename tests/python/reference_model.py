"""A plain NumPy/SciPy twin of the compiled engine's model of a spectrum, for the tests.

Written from the definitions of the shapes (unit-area densities over the real line, SciPy's
Faddeeva function and exponential integral), not from the engine's source: each term's expected
counts per channel, the full model, and its Jacobian by central differences. Arguments follow the
engine's layout: term kinds, each term's first parameter and parameter count, two auxiliary
numbers per term, the full parameter vector theta and optional user rows.
"""
import numpy as np
from scipy import special

BOLTZMANN_EV = 8.61733034e-5
FWHM_PER_SIGMA = 2.0 * np.sqrt(2.0 * np.log(2.0))

GAUSSIAN, LORENTZIAN, PSEUDO_VOIGT, VOIGT, DONIACH_SUNJIC, TSDC = range(6)
CONSTANT, LINEAR, POLYNOMIAL, EXPONENTIAL, SHIRLEY, TOUGAARD, USER_ROWS = range(10, 17)
PEAK_KINDS = (GAUSSIAN, LORENTZIAN, PSEUDO_VOIGT, VOIGT, DONIACH_SUNJIC, TSDC)


def channel_widths(x):
    """Width of every channel of an ascending grid: half the distance between its neighbours."""
    x = np.asarray(x, float)
    if x.size == 1:
        return np.ones(1)
    width = np.empty_like(x)
    width[0] = x[1] - x[0]
    width[-1] = x[-1] - x[-2]
    width[1:-1] = 0.5 * (x[2:] - x[:-2])
    return width


def gaussian_density(u, sigma):
    return np.exp(-0.5 * (u / sigma) ** 2) / (sigma * np.sqrt(2.0 * np.pi))


def lorentzian_density(u, fwhm):
    half = 0.5 * fwhm
    return half / (np.pi * (u * u + half * half))


def voigt_density(u, sigma, gamma):
    z = (u + 1j * gamma) / (sigma * np.sqrt(2.0))
    return special.wofz(z).real / (sigma * np.sqrt(2.0 * np.pi))


def doniach_sunjic_curve(u, gamma, alpha, tail=-1.0):
    """The line before normalisation: its heavy tail lies below the centre for alpha > 0 (tail
    -1), or above it, the mirror image (tail +1)."""
    if tail > 0:
        u = -np.asarray(u, float)
    return np.cos(0.5 * np.pi * alpha + (1.0 - alpha) * np.arctan(u / gamma)) / (
        (gamma * gamma + u * u) ** (0.5 * (1.0 - alpha)))


def tsdc_density(t, ea, tp, beta):
    """The current of a first-order relaxation heated at rate beta, unit area over t in (0, inf)."""
    k = BOLTZMANN_EV
    beta_tau0 = k * tp * tp / ea * np.exp(-ea / (k * tp))
    z = ea / (k * t)
    return np.exp(-z - t * special.expn(2, z) / beta_tau0) / beta_tau0


def peak_counts(kind, x, width, p, aux):
    """Expected counts per channel of one peak with parameters p (area last)."""
    area = p[-1]
    if kind == GAUSSIAN:
        return area * gaussian_density(x - p[0], p[1]) * width
    if kind == LORENTZIAN:
        return area * lorentzian_density(x - p[0], p[1]) * width
    if kind == PSEUDO_VOIGT:
        center, fwhm, eta = p[0], p[1], p[2]
        f = eta * gaussian_density(x - center, fwhm / FWHM_PER_SIGMA) + (1 - eta) * lorentzian_density(
            x - center, fwhm)
        return area * f * width
    if kind == VOIGT:
        return area * voigt_density(x - p[0], p[1], p[2]) * width
    if kind == DONIACH_SUNJIC:
        g = doniach_sunjic_curve(x - p[0], p[1], p[2], aux[0]) * width
        return area * g / g.sum()
    if kind == TSDC:
        return area * tsdc_density(x, p[0], p[1], aux[0]) * width
    raise ValueError(f"not a peak kind: {kind}")


def background_counts(kind, x, p, aux, peaks_total, rows):
    if kind == CONSTANT:
        return np.full_like(x, p[0])
    if kind == LINEAR:
        return p[0] + p[1] * (x - aux[0])
    if kind == POLYNOMIAL:
        s = (x - aux[0]) / aux[1]
        return sum(c * s ** k for k, c in enumerate(p))
    if kind == EXPONENTIAL:
        return p[0] * np.exp(-p[1] * (x - aux[0]))
    if kind == SHIRLEY:
        ordered = peaks_total if aux[0] > 0 else peaks_total[::-1]
        below = np.concatenate([[0.0], np.cumsum(ordered)[:-1]]) + 0.5 * ordered
        return p[0] * (below if aux[0] > 0 else below[::-1])
    if kind == TOUGAARD:
        out = np.zeros_like(x)
        for i in range(x.size):
            low = (x < x[i]) if aux[0] > 0 else (x > x[i])
            t = np.abs(x[i] - x[low])
            out[i] = p[0] * np.sum(t / (p[1] + t * t) ** 2 * peaks_total[low])
        return out
    if kind == USER_ROWS:
        return np.asarray(p) @ np.asarray(rows)
    raise ValueError(f"not a background kind: {kind}")


def evaluate(x, width, kind, first, count, aux, theta, rows=None):
    """Each term's expected counts per channel, float64[C, n]."""
    x = np.asarray(x, float)
    width = np.asarray(width, float)
    theta = np.asarray(theta, float)
    out = np.zeros((len(kind), x.size))
    for c, k in enumerate(kind):
        if k in PEAK_KINDS:
            out[c] = peak_counts(k, x, width, theta[first[c]:first[c] + count[c]], aux[c])
    peaks_total = out[[k in PEAK_KINDS for k in kind]].sum(axis=0)
    for c, k in enumerate(kind):
        if k not in PEAK_KINDS:
            out[c] = background_counts(k, x, theta[first[c]:first[c] + count[c]], aux[c],
                                       peaks_total, rows)
    return out


def model(x, width, kind, first, count, aux, theta, rows=None):
    return evaluate(x, width, kind, first, count, aux, theta, rows).sum(axis=0)


def jacobian(x, width, kind, first, count, aux, theta, rows=None, relative_step=1e-6):
    """d model_i / d theta_j by central differences, float64[n, P]."""
    theta = np.asarray(theta, float)
    columns = []
    for j in range(theta.size):
        h = relative_step * max(abs(theta[j]), 1e-3)
        up, down = theta.copy(), theta.copy()
        up[j] += h
        down[j] -= h
        columns.append((model(x, width, kind, first, count, aux, up, rows)
                        - model(x, width, kind, first, count, aux, down, rows)) / (2 * h))
    return np.array(columns).T


def deviance(counts, mu):
    counts = np.asarray(counts, float)
    positive = counts > 0
    terms = mu - counts
    terms[positive] += counts[positive] * np.log(counts[positive] / mu[positive])
    return 2.0 * terms.sum()
