"""SciPy's L-BFGS-B as every reference fit runs it, and the two forward-difference objectives of
the module's fits (step 1e-7 added to one free parameter at a time), written once for all of them."""
import numpy as np
from scipy.optimize import minimize

STEP = 1e-7


def lbfgsb(objective, start, bounds):
    """SciPy's L-BFGS-B with the module's settings: 10 correction pairs, projected-gradient
    tolerance 1e-5. ftol=0 switches off SciPy's stop on a small relative reduction of the value, a
    test the module's minimiser does not have: both then stop only at the projected-gradient
    tolerance or when the line search can make no more progress, so neither stops earlier by rule,
    the result is the best SciPy's L-BFGS-B reaches, and the two call counts compare like with
    like."""
    return minimize(objective, np.array(start, float), jac=True, method="L-BFGS-B", bounds=bounds,
                    options=dict(maxcor=10, gtol=1e-5, ftol=0.0, maxiter=10000, maxfun=100000))


def subtracted_differences(nll):
    """The objective (value, gradient) of a negative log-likelihood nll(p), each gradient component
    the difference of two whole values: (nll(p + 1e-7 e_j) - nll(p)) / 1e-7."""
    def objective(p):
        value = nll(p)
        gradient = np.empty_like(p)
        for j in range(p.size):
            shifted = p.copy()
            shifted[j] += STEP
            gradient[j] = (nll(shifted) - value) / STEP
        return value, gradient

    return objective


class FreeParameters:
    """The free ones of a parameter set: the minimiser's vector holds them in order, the fixed
    ones keep the values given."""

    def __init__(self, params, fixed):
        self.params = tuple(float(p) for p in params)
        self.free = [j for j in range(len(self.params)) if not fixed[j]]

    def start(self):
        return [self.params[j] for j in self.free]

    def full(self, p):
        values = list(self.params)
        for j, v in zip(self.free, p):
            values[j] = v
        return values


def sample_differences(free, log_densities, weights, counter=None):
    """The objective (-LL, gradient) with LL = sum w ln d, log_densities(values) giving ln d at the
    whole parameter set; each gradient component from the difference of the two log-density rows,
    sample by sample: -sum w (ln d' - ln d) / 1e-7. `counter[0]` counts the calls."""
    def objective(p):
        if counter is not None:
            counter[0] += 1
        base = log_densities(free.full(p))
        gradient = np.empty(len(free.free))
        for k in range(len(free.free)):
            moved = np.array(p, float)
            moved[k] += STEP
            gradient[k] = -float(np.sum(weights * (log_densities(free.full(moved)) - base))) / STEP
        return -float(np.sum(weights * base)), gradient

    return objective
