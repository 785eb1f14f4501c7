"""The TSDC model and its two single-peak fits written with NumPy and SciPy, independently of the
module: scipy.special.expn for the exponential integrals, scipy.optimize.brentq for the root-finding
fit and scipy.optimize.minimize(method="L-BFGS-B") for the bounded fit, with the same formulas.

Units: temperatures in kelvin, activation energies in electronvolts, beta in kelvin per the time
unit of tau0."""
import numpy as np
from scipy.optimize import brentq
from scipy.special import expn

from reference_lbfgsb import lbfgsb

K = 8.61733034e-5  # eV/K
KINV = 11604.522056653568  # the correctly rounded 1/K


def tau0_from_peak(ea, tp, beta):
    return np.exp(-ea / (K * tp)) * (tp * (K * tp) / (beta * ea))


def raw_curve(t, ea, tau0, beta):
    """The current of a first-order relaxation heated at rate beta; unit mass over (0, inf)."""
    h = np.float64(beta) * np.float64(tau0)  # a zero product gives infinities and NaN, as in C
    with np.errstate(all="ignore"):
        return np.exp(expn(2, ea * KINV / t) * ((-1.0 / h) * t) + (ea / -K) / t) / h


def density(t, ea, tau0, beta):
    """The raw curve over its trapezoid integral on the grid plus 1e-100."""
    t = np.asarray(t, float)
    y = raw_curve(t, ea, tau0, beta)
    integral = float(np.sum(np.diff(t) * ((y[:-1] + y[1:]) * 0.5))) if t.size >= 2 else 0.0
    return y / (integral + 1e-100)


def log_likelihood(t, w, ea, tau0, beta):
    n = min(len(t), len(w))
    return float(np.sum(w[:n] * np.log(density(t, ea, tau0, beta)[:n] + 1e-200)))


def peak_temperature(ea, tau0, beta):
    """The root of ln(T (k T) / (beta ea)) - ea / (k T) - ln tau0 on [1, 2000] K."""
    def g(temperature):
        return np.log(temperature * (K * temperature) / (beta * ea)) - ea / (K * temperature) - np.log(tau0)
    return brentq(g, 1.0, 2000.0, xtol=1e-12)


def sums(t, w, ea):
    """S1 = sum E1(ea / (k t)) w / k and S2 = sum E2(ea / (k t)) w t over the paired samples."""
    n = min(len(t), len(w))
    t, w = t[:n], w[:n]
    return float(np.sum(expn(1, ea / (K * t)) * w / K)), float(np.sum(expn(2, ea * KINV / t) * (w * t)))


def profile_score(t, w, ea, beta):
    """Zero where the likelihood of the raw curve is stationary in ea with tau0 at its best."""
    n = min(len(t), len(w))
    w_total = float(np.sum(w[:n] / (t[:n] * K)))
    n_total = float(np.sum(w))
    s1, s2 = sums(t, w, ea)
    return np.log10((w_total + 1e-10) * beta) + ((np.log10(s2) - np.log10((n_total + 1e-10) * beta)) - np.log10(s1))


def root_fit(t, w, ea, tau0, tp, ea_min, ea_max, beta, fix_ea=False, fix_tp=False, counter=None):
    """(ea, tau0, tp) by the likelihood equations: ea from the profile score, tau0 = S2 / (N beta),
    tp from the peak relation (or, held, tau0 from it). brentq raises ValueError where the module
    raises "brentq failed: NoBracketing"."""
    if fix_ea:
        return ea, tau0, tp

    def score(energy):
        if counter is not None:
            counter[0] += 1
        return profile_score(t, w, energy, beta)

    ea = brentq(score, ea_min, ea_max, xtol=1e-12)
    tau0 = sums(t, w, ea)[1] / (float(np.sum(w)) * beta)
    if fix_tp:
        return ea, float(tau0_from_peak(ea, tp, beta)), tp
    return ea, tau0, peak_temperature(ea, tau0, beta)


def bounded_objective(t, w, beta, ea_given, tp_given, free):
    """f(p) -> (value, gradient over the free entries) of the bounded fit: minus the log-likelihood
    of the grid density, with the gradient of minus the log-likelihood of the raw curve (the grid
    normaliser's derivative is left out, as in the module)."""
    n = min(len(t), len(w))
    n_total = float(np.sum(w))
    w_total = float(np.sum((w[:n] / t[:n]) * KINV))

    @np.errstate(all="ignore")  # where tau0 underflows the value is NaN, in C as here
    def f(p):
        it = iter(p)
        ea = next(it) if free[0] else ea_given
        tp = next(it) if free[1] else tp_given
        tau0 = np.exp(-ea / (K * tp)) * (tp * (K * tp) / (ea * beta))
        value = -log_likelihood(t, w, ea, tau0, beta)
        s1, s2 = sums(t, w, ea)
        v = s2 / (beta * tau0)
        gradient = [-((1.0 / (K * tp) + 1.0 / ea) * (n_total - v) - w_total + s1 / (beta * tau0)),
                    -(ea * KINV / (tp * tp) + 2.0 / tp) * (v - n_total)]
        return value, np.array([g for g, on in zip(gradient, free) if on])

    return f


def bounded_fit(t, w, ea, tau0, tp, ea_min, ea_max, t_min, t_max, beta, fix_ea=False, fix_tp=False):
    """Returns (ea, tau0, tp, SciPy's result), the result None where nothing was minimised."""
    if (fix_ea and fix_tp) or len(w) == 0 or not float(np.sum(w)) >= 1e-300:
        return ea, tau0, tp, None
    free = (not fix_ea, not fix_tp)
    start = [v for v, on in zip((ea, tp), free) if on]
    bounds = [b for b, on in zip(((ea_min, ea_max), (t_min, t_max)), free) if on]
    result = lbfgsb(bounded_objective(t, w, beta, ea, tp, free), start, bounds)
    it = iter(result.x)
    if free[0]:
        ea = min(max(float(next(it)), ea_min), ea_max)
    if free[1]:
        tp = min(max(float(next(it)), t_min), t_max)
    return ea, float(tau0_from_peak(ea, tp, beta)), tp, result
