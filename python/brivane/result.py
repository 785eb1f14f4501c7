"""The result of a fit: values, standard errors, goodness of fit, evaluation, report, plot, JSON."""
from __future__ import annotations

import math
from typing import Dict, List, Mapping, Optional, Tuple

import numpy as np
from . import _data, _shapes
from . import _compiled
from .model import BRAGG_TIE, FIXED, FREE, LINEAR_TIE, Compiled
from .terms import _real

__all__ = ["FitResult"]

_PEAK_KINDS = {0: "Gaussian", 1: "Lorentzian", 2: "PseudoVoigt", 3: "Voigt", 4: "DoniachSunjic", 5: "TSDC"}
_BACKGROUND_KINDS = {10: "Constant", 11: "Linear", 12: "Polynomial", 13: "Exponential", 14: "Shirley",
                     15: "Tougaard", 16: "UserRows"}
_FORMAT = "brivane.FitResult/1"


def _log_factorial(y: np.ndarray) -> np.ndarray:
    """ln Gamma(y + 1) for y >= 0, vectorised: arguments below 10 are raised past it by the
    recurrence Gamma(z + 1) = z Gamma(z) (their product divided out at the end), where Stirling's
    series to its z^-9 term is exact to a few units in the last place."""
    z = np.asarray(y, float) + 1.0
    divisor = np.ones_like(z)
    for _ in range(9):
        small = z < 10.0
        if not small.any():
            break
        divisor = np.where(small, divisor * z, divisor)
        z = np.where(small, z + 1.0, z)
    r = 1.0 / z
    r2 = r * r
    series = r * (1.0 / 12 - r2 * (1.0 / 360 - r2 * (1.0 / 1260 - r2 * (1.0 / 1680 - r2 / 1188))))
    return (z - 0.5) * np.log(z) - z + 0.5 * math.log(2.0 * math.pi) + series - np.log(divisor)


def _pearson(y: np.ndarray, mu: np.ndarray) -> np.ndarray:
    """Pearson's chi-square over the last axis. Its squares overflow for counts beyond about 1e154
    (an infinite chi-square, and so infinite scaled errors, for a fit that is fine): only there
    are the residuals divided by sqrt(mu) before squaring, which keeps every other sum as it was."""
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        floor = np.maximum(mu, 1e-300)
        chi_square = np.sum((y - mu) ** 2 / floor, axis=-1)
        if np.all(np.isfinite(chi_square)):
            return chi_square
        residual = (y - mu) / np.sqrt(floor)
        return np.where(np.isfinite(chi_square), chi_square, np.sum(residual * residual, axis=-1))


def _numpy_statistics(y: np.ndarray, mu: np.ndarray):
    """Log-likelihood, deviance and Pearson chi-square of counts y under the model mu, for results
    the engine did not make (the EM's, a start the engine refused, a saved result of an older
    format)."""
    with np.errstate(divide="ignore", invalid="ignore"):
        log_mu = np.log(np.maximum(mu, 1e-300))
        log_likelihood = float(np.sum(y * log_mu - mu - _log_factorial(y)))
        positive = y > 0
        terms = mu - y
        terms[positive] += y[positive] * (np.log(y[positive]) - log_mu[positive])
        deviance = float(2.0 * np.sum(terms))
        chi_square = float(_pearson(y, mu))
    return log_likelihood, deviance, chi_square


def _tie_jacobian(theta, role, source, scale) -> np.ndarray:
    """d theta / d phi (P x F): identity on the free parameters, the ties' derivatives through
    their chains."""
    P = theta.size
    free = np.flatnonzero(role == FREE)
    T = np.zeros((P, free.size))
    T[free, np.arange(free.size)] = 1.0
    done = (role == FREE) | (role == FIXED)
    for _ in range(P):
        for j in np.flatnonzero(~done):
            s = source[j]
            if done[s]:
                if role[j] == LINEAR_TIE:
                    T[j] = scale[j] * T[s]
                elif role[j] == BRAGG_TIE:
                    half = math.radians(theta[s]) / 2.0
                    argument = scale[j] * math.sin(half)
                    T[j] = scale[j] * math.cos(half) / math.sqrt(max(1.0 - argument * argument, 1e-300)) * T[s]
                done[j] = True
    return T


def _fisher_covariance(J, mu, theta, role, source, scale, at_bound) -> np.ndarray:
    """Inverse Fisher information over the free parameters not on a bound, mapped to the full
    vector through the ties."""
    T = _tie_jacobian(theta, role, source, scale)
    free = np.flatnonzero(role == FREE)
    inner = ~at_bound[free]
    Jf = J @ T
    information = Jf.T @ (Jf / np.maximum(mu, 1e-300)[:, None])
    covariance_free = np.zeros((free.size, free.size))
    sub = information[np.ix_(inner, inner)]
    try:
        covariance_free[np.ix_(inner, inner)] = np.linalg.inv(sub) if sub.size else sub
    except np.linalg.LinAlgError:
        covariance_free[np.ix_(inner, inner)] = np.nan
    return T @ covariance_free @ T.T


def _derived(kind: int, p: np.ndarray, x: np.ndarray, width: np.ndarray, aux0: float, span: float):
    """(fwhm, height) of a peak with parameters p (area last): width in x units, height in counts
    per unit x at the maximum."""
    fwhm, height = _width_and_height(kind, p, x, width, aux0, span)
    # A peak without area has no height, whatever its width (a width tied to that area is 0,
    # and 0 counts over a width of 0 would be NaN).
    return fwhm, (0.0 if p[-1] == 0.0 else height)


def _width_and_height(kind: int, p: np.ndarray, x: np.ndarray, width: np.ndarray, aux0: float, span: float):
    shape, area = p[:-1], p[-1]
    if kind == 0:
        return _shapes.FWHM_PER_SIGMA * shape[1], area / (shape[1] * math.sqrt(2.0 * math.pi))
    if kind == 1:
        return shape[1], 2.0 * area / (math.pi * shape[1])
    if kind == 2:
        return shape[1], area * float(_shapes.pseudo_voigt(0.0, shape[1], shape[2]))
    density = _shapes.unit_density(kind, shape, x, width, aux0)
    location = _shapes.peak_location(kind, shape, aux0)
    # A first step of about half the width: the sum of the Voigt's two widths, the line's gamma,
    # a fiftieth of a TSDC peak's temperature.
    if kind == 3:
        scale = shape[1] + shape[2]
    elif kind == 4:
        scale = shape[1]
    else:
        scale = 0.02 * shape[1]
    scale = scale if scale > 0 else span * 1e-3
    fwhm = _shapes.full_width_at_half_maximum(density, location, 0.5 * scale)
    if kind == 3 and not math.isfinite(fwhm) and math.isfinite(scale):
        # A centre so far out (1e304, from a tie to an area) that x - centre keeps nothing of the
        # line: the Voigt profile's width does not depend on where it lies, so it is found at 0.
        centred = np.array([0.0, shape[1], shape[2]])
        fwhm = _shapes.full_width_at_half_maximum(_shapes.unit_density(kind, centred), 0.0, 0.5 * scale)
    return fwhm, area * float(density(location))


def build_result(*, method, compiled: Compiled, x, counts, width, theta, covariance_poisson, at_bound,
                 n_iterations, converged, message, errors, likelihood=None, units=None) -> "FitResult":
    """units: the engine's units (brivane._units) when theta and covariance_poisson are in them:
    the expected counts and any information are then formed there, and the results mapped back."""
    c = compiled
    if units is not None:
        terms = (units.x, units.width, c.kind, c.first, c.count, units.aux)
        tie_scale = units.scale
    else:
        terms = (x, width, c.kind, c.first, c.count, c.aux)
        tie_scale = c.scale
    components = _compiled.evaluate(*terms, theta, c.rows)
    mu = components.sum(axis=0)
    if at_bound is None:
        # Values from the EM: on a bound where they touch one.
        tolerance = 1e-9 * np.maximum(1.0, np.abs(theta))
        at_bound = (c.role == FREE) & ((np.abs(theta - c.lower) <= tolerance) | (np.abs(theta - c.upper) <= tolerance))
    if covariance_poisson is None:
        J = _compiled.jacobian(*terms, theta, c.rows)
        covariance_poisson = _fisher_covariance(J, mu, theta, c.role, c.source, tie_scale, at_bound)
    undetermined = np.zeros(theta.size, bool)
    if not np.all(np.isfinite(covariance_poisson)):
        # A peak whose area ended at 0 leaves its position and shape undetermined, which makes the
        # whole information singular; without those parameters the others' errors are defined.
        empty = []
        for t, kind in enumerate(c.kind):
            area = c.first[t] + c.count[t] - 1
            if kind in _PEAK_KINDS and c.role[area] == FREE and at_bound[area] and theta[area] == 0.0:
                empty.append(c.term_names[t])
                for j in range(c.first[t], area):
                    undetermined[j] = c.role[j] == FREE and not at_bound[j]
        if undetermined.any():
            J = _compiled.jacobian(*terms, theta, c.rows)
            recovered = _fisher_covariance(J, mu, theta, c.role, c.source, tie_scale, at_bound | undetermined)
            if np.all(np.isfinite(recovered)):
                covariance_poisson = recovered
                if message.startswith("converged, but the Fisher information is singular"):
                    message = "converged"
                message = (f"{message}; the area of {', '.join(empty)} ended at 0, leaving position and shape "
                           "undetermined (no errors for them; the others' errors come from the rest)")
    if units is not None:
        from ._units import results_from_engine

        theta = results_from_engine(units, c, theta, at_bound)
        covariance_poisson = units.covariance_from_engine(covariance_poisson)
    return FitResult._create(undetermined=undetermined, method=method, compiled=c, x=x, counts=counts, width=width, theta=theta,
                             covariance_poisson=covariance_poisson, at_bound=at_bound, components=components,
                             n_iterations=n_iterations, converged=converged, message=message, errors=errors,
                             likelihood=likelihood)


class FitResult:
    """What a fit found. Attributes:

    values, stderr: dicts by full parameter name (``"p0.center"``), with each peak's derived
    ``fwhm`` (x units), ``height`` (counts per unit x at the maximum; times the channel width it
    is counts per channel) and ``area`` (counts); errors by the delta method. A fixed parameter has
    error 0; one that ended on a bound has NaN, and the other errors come from the parameters off
    their bounds. ``parameter_status`` says "free", "fixed", "tied to ..." or "at lower bound" /
    "at upper bound".

    covariance, correlation: arrays over ``parameter_names`` (the model's parameters, in order).
    errors: "scaled" (the covariance is the inverse Fisher information times ``error_scale**2``,
    Pearson's chi-square per degree of freedom) or "poisson" (unscaled); ``stderr_poisson`` holds
    the unscaled errors either way.

    log_likelihood (Poisson, with the log-factorial term), deviance (Poisson), chi_square
    (Pearson), dof (channels in the window minus free parameters), aic, bic, n_iterations,
    converged, message, method, notes; x, counts, width: the window's channels (ascending x).
    For counts beyond about 1e150 the (scaled) variances of areas and levels may lie beyond a
    float's range: those entries of the covariance, and their errors, are then inf.
    """

    method: str
    errors: str
    message: str
    converged: bool
    n_iterations: int
    notes: List[str]
    parameter_names: List[str]
    term_names: List[str]
    parameter_status: Dict[str, str]
    theta: np.ndarray
    at_bound: np.ndarray
    undetermined: np.ndarray
    covariance: np.ndarray
    covariance_poisson: np.ndarray
    correlation: np.ndarray
    x: np.ndarray
    counts: np.ndarray
    width: np.ndarray
    log_likelihood: float
    deviance: float
    chi_square: float
    n_free: int
    dof: int
    aic: float
    bic: float
    error_scale: float
    _kind: np.ndarray
    _first: np.ndarray
    _count: np.ndarray
    _aux: np.ndarray
    _rows: Optional[np.ndarray]
    _role: np.ndarray
    _source: np.ndarray
    _scale: np.ndarray
    _offset: np.ndarray
    _lower: np.ndarray
    _upper: np.ndarray
    _components: np.ndarray
    _values: Dict[str, float]
    _stderr: Dict[str, float]
    _stderr_poisson: Dict[str, float]
    _derived_done: bool

    # -- construction ------------------------------------------------------------------------------
    @classmethod
    def _create(cls, *, method, compiled, x, counts, width, theta, covariance_poisson, at_bound, components,
                n_iterations, converged, message, errors, undetermined=None, likelihood=None):
        self = cls.__new__(cls)
        c = compiled
        # The arrays are the caller's own, made for this result (the compiled model, the engine's
        # outputs, the window's slices of the layer's copy of the data): kept, not copied.
        self.method = method
        self.errors = errors
        self.parameter_names = list(c.names)
        self.term_names = list(c.term_names)
        self._kind = np.asarray(c.kind, np.int64)
        self._first = np.asarray(c.first, np.int64)
        self._count = np.asarray(c.count, np.int64)
        self._aux = np.asarray(c.aux, float).reshape(-1, 2)
        self._rows = None if c.rows is None else np.asarray(c.rows, float)
        self._role = np.asarray(c.role, np.int64)
        self._source = np.asarray(c.source, np.int64)
        self._scale = np.asarray(c.scale, float)
        self._offset = np.asarray(c.offset, float)
        self._lower = np.asarray(c.lower, float)
        self._upper = np.asarray(c.upper, float)
        self.theta = np.asarray(theta, float)
        self.x = np.asarray(x, float)
        self.counts = np.asarray(counts, float)
        self.width = np.asarray(width, float)
        self._components = np.asarray(components, float)
        self.at_bound = np.asarray(at_bound, bool)
        self.undetermined = np.zeros(self.at_bound.size, bool) if undetermined is None else np.asarray(undetermined, bool)
        self.n_iterations = int(n_iterations)
        self.converged = bool(converged)
        self.message = str(message)
        self.notes = list(c.notes)
        self.covariance_poisson = np.asarray(covariance_poisson, float)
        self._statistics(likelihood)
        return self

    def _statistics(self, likelihood=None):
        """likelihood: (log-likelihood, deviance[, Pearson chi-square]) as the engine computed them
        at theta, or None to compute them here. The engine's are taken when all are finite (a
        start the engine could not use leaves them NaN): fit_many takes the same numbers from the
        same place, so each spectrum of a batch has a lone fit's bits without a second pass over
        its channels."""
        y = self.counts
        n = y.size
        self.n_free = int(np.sum(self._role == FREE))
        self.dof = n - self.n_free
        if likelihood is not None and all(math.isfinite(v) for v in likelihood):
            self.log_likelihood, self.deviance = float(likelihood[0]), float(likelihood[1])
            chi_square = float(likelihood[2]) if len(likelihood) > 2 else None
        else:
            self.log_likelihood, self.deviance, chi_square = _numpy_statistics(y, self._components.sum(axis=0))
        if chi_square is None:
            chi_square = _numpy_statistics(y, self._components.sum(axis=0))[2]
        self.chi_square = chi_square
        self.aic = 2.0 * self.n_free - 2.0 * self.log_likelihood
        self.bic = self.n_free * math.log(n) - 2.0 * self.log_likelihood
        self.error_scale = math.sqrt(self.chi_square / self.dof) if self.dof > 0 else math.nan
        factor = self.error_scale ** 2 if self.errors == "scaled" else 1.0
        self.covariance = self.covariance_poisson * factor
        # Plain lists: the loops below run once per parameter, where NumPy scalars cost more than
        # the arithmetic.
        roles, sources = self._role.tolist(), self._source.tolist()
        at_bound, theta = self.at_bound.tolist(), self.theta.tolist()
        undetermined = self.undetermined.tolist()
        lower, upper = self._lower.tolist(), self._upper.tolist()
        has_covariance = np.any(self.covariance_poisson != 0, axis=1).tolist()
        diagonal = np.diag(self.covariance).copy()
        with np.errstate(invalid="ignore", divide="ignore"):
            sd_array = np.sqrt(np.where(diagonal >= 0, diagonal, np.nan))
            self.correlation = self.covariance / np.outer(sd_array, sd_array)
        sd = sd_array.tolist()
        poisson_sd = np.sqrt(np.abs(np.diag(self.covariance_poisson))).tolist()
        self.parameter_status = {}
        self._values = {}
        self._stderr = {}
        self._stderr_poisson = {}
        for j, name in enumerate(self.parameter_names):
            role = roles[j]
            if role == FIXED:
                status = "fixed"
            elif role != FREE:
                status = f"tied to {self.parameter_names[sources[j]]}"
            elif undetermined[j]:
                status = "undetermined: its peak's area is 0"
            elif at_bound[j]:
                status = "at lower bound" if abs(theta[j] - lower[j]) <= abs(theta[j] - upper[j]) else "at upper bound"
            else:
                status = "free"
            self.parameter_status[name] = status
            self._values[name] = theta[j]
            # A tied parameter without covariance follows a fixed root exactly, or one on a bound.
            root = j
            for _ in range(len(roles)):
                if roles[root] in (FREE, FIXED):
                    break
                root = sources[root]
            if role == FIXED or (roles[root] == FIXED and not has_covariance[j]):
                error, poisson = 0.0, 0.0
            elif at_bound[j] or undetermined[j] or ((at_bound[root] or undetermined[root]) and not has_covariance[j]):
                error, poisson = math.nan, math.nan
            else:
                error, poisson = sd[j], poisson_sd[j]
            self._stderr[name] = error
            self._stderr_poisson[name] = poisson
        self._derived_done = False

    # The derived widths and heights need root searches (Voigt, Doniach-Sunjic and TSDC widths)
    # and their differences for the delta method: they are computed when first asked for, so that
    # a fit whose caller reads only the parameters does not pay for them.
    @property
    def values(self) -> Dict[str, float]:
        """Fitted values by name, with each peak's derived ``fwhm`` and ``height``."""
        self._derived_quantities()
        return self._values

    @property
    def stderr(self) -> Dict[str, float]:
        """Standard errors by name (scaled or not, as ``errors`` says), derived ones included."""
        self._derived_quantities()
        return self._stderr

    @property
    def stderr_poisson(self) -> Dict[str, float]:
        """Standard errors from the unscaled inverse Fisher information, by name."""
        self._derived_quantities()
        return self._stderr_poisson

    def _derived_quantities(self):
        if self._derived_done:
            return
        self._derived_done = True
        span = float(self.x[-1] - self.x[0]) if self.x.size > 1 else 1.0
        for t, kind in enumerate(self._kind):
            if kind not in _PEAK_KINDS:
                continue
            first, count = self._first[t], self._count[t]
            block = slice(first, first + count)
            p = self.theta[block]
            aux0 = self._aux[t][0]

            def derived(q):
                return np.array(_derived(int(kind), q, self.x, self.width, aux0, span), float)

            value = derived(p)
            gradient = np.zeros((2, count))
            for i in range(count):
                if not np.any(self.covariance_poisson[first + i]):
                    continue  # fixed, or on a bound: no error to carry
                h = 1e-6 * max(abs(p[i]), 1e-6 * span)
                up, down = p.copy(), p.copy()
                up[i] += h
                down[i] -= h
                gradient[:, i] = (derived(up) - derived(down)) / (2.0 * h)
            name = self.term_names[t]
            parameters = [n.split(".", 1)[1] for n in self.parameter_names[block]]
            unknown = bool(self.undetermined[block].any())
            for row, label in enumerate(("fwhm", "height")):
                full = f"{name}.{label}"
                if label in parameters:
                    continue
                self._values[full] = float(value[row])
                if unknown:
                    self._stderr[full] = self._stderr_poisson[full] = math.nan
                    continue
                for target, covariance in ((self._stderr, self.covariance),
                                           (self._stderr_poisson, self.covariance_poisson)):
                    variance = float(gradient[row] @ covariance[block, block] @ gradient[row])
                    target[full] = math.sqrt(variance) if variance >= 0 else math.nan

    def combination(self, weights: Dict[str, float]):
        """A linear combination of parameters, ``sum w * value``, with its standard error from the
        covariance: ``result.combination({"p1.center": 1, "p0.center": -1})`` is a doublet's
        splitting. Returns (value, stderr)."""
        if not isinstance(weights, Mapping):
            raise TypeError(f"weights must be a dict of weights by parameter name, not {type(weights).__name__}")
        g = np.zeros(self.theta.size)
        for name, w in weights.items():
            if name not in self.parameter_names:
                raise ValueError(f"weights: unknown parameter {name!r}")
            g[self.parameter_names.index(name)] += _real(w, f"weights[{name!r}]", False)
        variance = float(g @ self.covariance @ g)
        return float(g @ self.theta), (math.sqrt(variance) if variance >= 0 else math.nan)

    def ratio(self, numerator: str, denominator: str):
        """``value(numerator) / value(denominator)`` with its standard error by the delta method
        (an area ratio, say). Returns (value, stderr)."""
        for argument, name in (("numerator", numerator), ("denominator", denominator)):
            if name not in self.parameter_names:
                raise ValueError(f"{argument}: unknown parameter {name!r}")
        i, j = self.parameter_names.index(numerator), self.parameter_names.index(denominator)
        a, b = self.theta[i], self.theta[j]
        g = np.zeros(self.theta.size)
        g[i] += 1.0 / b
        g[j] -= a / (b * b)
        variance = float(g @ self.covariance @ g)
        return float(a / b), (math.sqrt(variance) if variance >= 0 else math.nan)

    # -- evaluation --------------------------------------------------------------------------------
    def _evaluate(self, x) -> Tuple[np.ndarray, Optional[np.ndarray]]:
        if x is None:
            return self._components.copy(), None
        if self._rows is not None:
            raise ValueError("x: a model with user rows can be evaluated only on the fitted channels (x=None)")
        grid = _data.as_vector(x, "x")
        if grid.size < 2:
            raise ValueError("x must have at least two channels")
        bad = np.flatnonzero(~np.isfinite(grid))
        if bad.size:
            raise ValueError(f"x[{bad[0]}] is {grid[bad[0]]}: every x must be finite")
        step = np.diff(grid)
        if np.all(step < 0):
            order = np.arange(grid.size)[::-1]
        elif np.all(step > 0):
            order = np.arange(grid.size)
        else:
            raise ValueError("x must be strictly ascending or strictly descending")
        ascending = grid[order]
        width = _data.channel_widths(ascending)
        components = _compiled.evaluate(ascending, width, self._kind, self._first, self._count, self._aux,
                                        self.theta, None)
        out = np.empty_like(components)
        out[:, order] = components
        return out, grid

    def eval(self, x=None) -> np.ndarray:
        """The model's expected counts per channel on the fitted channels (x=None) or on the grid
        ``x`` (each channel's width from that grid, as for the data, so a peak's counts per channel
        follow the grid's spacing; backgrounds are counts per channel as fitted, whatever the grid;
        Doniach-Sunjic lines are normalised over that grid, Shirley and Tougaard steps accumulate
        over it)."""
        components, _ = self._evaluate(x)
        return components.sum(axis=0)

    def components(self, x=None) -> Dict[str, np.ndarray]:
        """Each term's expected counts per channel, by term name (peaks and backgrounds)."""
        components, _ = self._evaluate(x)
        return {name: components[t] for t, name in enumerate(self.term_names)}

    @property
    def residuals(self) -> np.ndarray:
        """(counts - expected) / sqrt(expected) on the fitted channels: Pearson residuals."""
        mu = self._components.sum(axis=0)
        return (self.counts - mu) / np.sqrt(np.maximum(mu, 1e-300))

    # -- report and plot ---------------------------------------------------------------------------
    def report(self) -> str:
        """A text report: the fit's ending and goodness of fit, then every parameter with its
        error and status, each peak's derived width and height, and the strong correlations."""
        lines = []
        kinds = [(_PEAK_KINDS.get(k) or _BACKGROUND_KINDS.get(k)) for k in self._kind]
        lines.append(f"[[Fit]] method {self.method!r}: {self.message}")
        lines.append(f"    terms: {', '.join(f'{n} ({k})' for n, k in zip(self.term_names, kinds))}")
        lines.append(f"    channels: {self.x.size} in [{self.x[0]:.6g}, {self.x[-1]:.6g}], "
                     f"counts {self.counts.sum():.6g}")
        lines.append(f"    free parameters: {self.n_free}, degrees of freedom: {self.dof}, "
                     f"iterations: {self.n_iterations}")
        lines.append("[[Goodness of fit]]")
        lines.append(f"    log-likelihood {self.log_likelihood:.8g}, deviance {self.deviance:.8g} "
                     f"(per dof {self.deviance / max(self.dof, 1):.4g})")
        lines.append(f"    Pearson chi-square {self.chi_square:.8g} (per dof {self.chi_square / max(self.dof, 1):.4g})")
        lines.append(f"    AIC {self.aic:.8g}, BIC {self.bic:.8g}")
        scaled = "scaled by sqrt(chi-square/dof) = " + f"{self.error_scale:.4g}" if self.errors == "scaled" \
            else "Poisson (unscaled)"
        lines.append(f"[[Parameters]] standard errors {scaled}")
        width = max(len(n) for n in self.values)
        for name in self.parameter_names:
            lines.append(self._line(name, width, self.parameter_status[name]))
        derived = [n for n in self.values if n not in self.parameter_names]
        if derived:
            lines.append("[[Derived]] fwhm in x units, height in counts per unit x")
            for name in derived:
                lines.append(self._line(name, width, ""))
        pairs = []
        names = self.parameter_names
        for i in range(len(names)):
            for j in range(i + 1, len(names)):
                r = self.correlation[i, j]
                if np.isfinite(r) and abs(r) >= 0.5 and self._role[i] == FREE and self._role[j] == FREE:
                    pairs.append((abs(r), r, names[i], names[j]))
        if pairs:
            lines.append("[[Correlations]] |r| >= 0.5")
            for _, r, a, b in sorted(pairs, reverse=True):
                lines.append(f"    ({a}, {b}) = {r:+.3f}")
        for note in self.notes:
            lines.append(f"note: {note}")
        return "\n".join(lines)

    def _line(self, name, width, status):
        value, error = self.values[name], self.stderr[name]
        if status == "fixed":
            text = "(fixed)"
        elif math.isnan(error):
            text = "+/- n/a"
        else:
            relative = f" ({100 * error / abs(value):.2f}%)" if value != 0 else ""
            text = f"+/- {error:.6g}{relative}"
        status = "" if status in ("free", "fixed", "") else f"  [{status}]"
        return f"    {name:<{width}} = {value:.10g} {text}{status}"

    def plot(self, ax=None, *, log=False, title=None):
        """A matplotlib figure: the counts, the model's total, each component (peaks drawn on the
        sum of the backgrounds) and, below, the residuals in standard deviations,
        (counts - expected) / sqrt(expected). Returns the figure; nothing is shown or saved."""
        import matplotlib.pyplot as plt

        if ax is None:
            figure, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(9, 6),
                                                 gridspec_kw=dict(height_ratios=[3, 1], hspace=0.05))
        else:
            top = ax
            figure = ax.figure
            bottom = None
        components = self._components
        total = components.sum(axis=0)
        is_peak = np.array([k in _PEAK_KINDS for k in self._kind])
        base = components[~is_peak].sum(axis=0) if np.any(~is_peak) else np.zeros_like(total)
        top.plot(self.x, self.counts, ".", ms=3, color="0.4", label="data")
        top.plot(self.x, total, color="k", lw=1.2, label="total")
        if np.any(~is_peak):
            top.plot(self.x, base, "--", lw=1.0, color="0.2", label="background")
        # Each peak as the region it adds above the backgrounds, so that overlapping peaks and
        # the total stay visible together.
        for t, name in enumerate(self.term_names):
            if is_peak[t]:
                top.fill_between(self.x, base, base + components[t], alpha=0.35, lw=0, label=name)
        top.set_ylabel("counts per channel")
        if log:
            top.set_yscale("log")
        top.legend(fontsize=8, ncol=2)
        top.set_title(title or f"brivane fit ({self.method}): deviance/dof "
                               f"{self.deviance / max(self.dof, 1):.3g}")
        if bottom is not None:
            bottom.axhline(0.0, color="k", lw=0.8)
            bottom.plot(self.x, self.residuals, ".", ms=3, color="C3")
            bottom.set_ylabel("residual (sd)")
            bottom.set_xlabel("x")
        else:
            top.set_xlabel("x")
        return figure

    # -- JSON --------------------------------------------------------------------------------------
    def to_dict(self) -> dict:
        """Everything needed to rebuild the result with ``FitResult.from_dict``, as plain lists,
        numbers and strings (JSON-ready; NaN and infinities become None and strings)."""
        def floats(a):
            return [_encode(v) for v in np.asarray(a, float).ravel().tolist()]

        return {
            "format": _FORMAT,
            "method": self.method, "errors": self.errors, "message": self.message,
            "converged": self.converged, "n_iterations": self.n_iterations, "notes": list(self.notes),
            "parameter_names": list(self.parameter_names), "term_names": list(self.term_names),
            "kind": self._kind.tolist(), "first": self._first.tolist(), "count": self._count.tolist(),
            "aux": floats(self._aux), "role": self._role.tolist(), "source": self._source.tolist(),
            "scale": floats(self._scale), "offset": floats(self._offset),
            "lower": floats(self._lower), "upper": floats(self._upper),
            "rows": None if self._rows is None else [floats(r) for r in self._rows],
            "theta": floats(self.theta), "at_bound": self.at_bound.tolist(),
            "undetermined": self.undetermined.tolist(),
            "x": floats(self.x), "counts": floats(self.counts), "width": floats(self.width),
            "components": [floats(r) for r in self._components],
            "covariance_poisson": [floats(r) for r in self.covariance_poisson],
            "log_likelihood": _encode(self.log_likelihood), "deviance": _encode(self.deviance),
            "chi_square": _encode(self.chi_square),
            "values": {k: _encode(v) for k, v in self.values.items()},
            "stderr": {k: _encode(v) for k, v in self.stderr.items()},
        }

    @classmethod
    def from_dict(cls, d: dict) -> "FitResult":
        """Rebuild a result written by ``to_dict`` (after a trip through JSON, say). Raises
        ValueError for anything else (a dict missing entries or holding entries of other shapes)."""
        if not isinstance(d, dict) or d.get("format") != _FORMAT:
            raise ValueError(f"d is not a brivane fit result (its format must be {_FORMAT!r})")
        try:
            return cls._from_dict(d)
        except (KeyError, IndexError, TypeError, ValueError, AttributeError) as error:
            raise ValueError(f"d is not a whole brivane fit result ({type(error).__name__}: {error})") from None

    @classmethod
    def _from_dict(cls, d: dict) -> "FitResult":

        def arr(key, dtype=float):
            value = d[key]
            if dtype is float:
                return np.array(_decode_nested(value), float)
            return np.array(value, dtype)

        compiled = Compiled(
            names=list(d["parameter_names"]), term_names=list(d["term_names"]), kind=arr("kind", np.int64),
            first=arr("first", np.int64), count=arr("count", np.int64), aux=arr("aux").reshape(-1, 2),
            role=arr("role", np.int64), value=arr("theta"), lower=arr("lower"), upper=arr("upper"),
            source=arr("source", np.int64), scale=arr("scale"), offset=arr("offset"),
            rows=None if d["rows"] is None else arr("rows"), notes=list(d["notes"]))
        n = len(d["x"])
        _check_parts(compiled, d, n)
        return cls._create(method=d["method"], compiled=compiled, x=arr("x"), counts=arr("counts"),
                           width=arr("width"), theta=arr("theta"),
                           covariance_poisson=arr("covariance_poisson").reshape(len(d["theta"]), -1),
                           at_bound=np.array(d["at_bound"], bool),
                           undetermined=np.array(d.get("undetermined", [False] * len(d["theta"])), bool),
                           components=arr("components").reshape(-1, n), n_iterations=d["n_iterations"],
                           converged=d["converged"], message=d["message"], errors=d["errors"],
                           likelihood=tuple(_decode_nested(d[key]) for key in ("log_likelihood", "deviance",
                                                                               "chi_square") if key in d)
                           if "log_likelihood" in d and "deviance" in d else None)

    def __repr__(self):
        return (f"<FitResult {self.method} {'converged' if self.converged else 'NOT converged'}, "
                f"{self.n_free} free parameters, deviance {self.deviance:.6g}, dof {self.dof}>")


# Parameters per term of each kind (Polynomial and UserRows: as many as they have).
_PARAMETER_COUNTS = {0: 3, 1: 3, 2: 4, 3: 4, 4: 4, 5: 3, 10: 1, 11: 2, 13: 2, 14: 1, 15: 2}


def _check_parts(c: Compiled, d: dict, n: int):
    """The parts of a result read back agree with each other (sizes, kinds, indices); a dict that
    was changed on its way would otherwise fail later, inside a method, with an IndexError."""
    P, T = len(c.names), len(c.term_names)
    problems = []
    if not all(isinstance(name, str) and "." in name for name in c.names) or \
            not all(isinstance(name, str) for name in c.term_names):
        problems.append("parameter and term names must be strings")
    for key in ("theta", "lower", "upper", "scale", "offset", "role", "source", "at_bound"):
        if np.shape(d[key]) != (P,):
            problems.append(f"{key} must hold {P} values")
    for key, value in (("kind", c.kind), ("first", c.first), ("count", c.count)):
        if value.shape != (T,):
            problems.append(f"{key} must hold {T} values")
    if c.aux.shape != (T, 2):
        problems.append(f"aux must hold {2 * T} values")
    for key in ("x", "counts", "width"):
        if np.shape(d[key]) != (n,):
            problems.append(f"{key} must hold {n} values")
    if np.shape(d["components"]) != (T, n) or np.shape(d["covariance_poisson"]) != (P, P):
        problems.append("components or covariance_poisson have the wrong shape")
    if not problems:
        if not set(c.kind.tolist()) <= set(_PEAK_KINDS) | set(_BACKGROUND_KINDS) or \
                not set(c.role.tolist()) <= {FREE, FIXED, LINEAR_TIE, BRAGG_TIE} or \
                np.any((c.source < 0) | (c.source >= P)) or np.any(c.count < 1) or \
                not np.array_equal(c.first, np.concatenate([[0], np.cumsum(c.count)[:-1]]).astype(np.int64)) or \
                int(np.sum(c.count)) != P or \
                any(k in _PARAMETER_COUNTS and n != _PARAMETER_COUNTS[k] for k, n in zip(c.kind.tolist(), c.count.tolist())):
            problems.append("kinds, roles, sources or the terms' blocks are not a model's")
    if d["method"] not in ("ml", "em") or d["errors"] not in ("scaled", "poisson") or \
            not isinstance(d["message"], str) or not isinstance(d["converged"], bool) or \
            isinstance(d["n_iterations"], bool) or not isinstance(d["n_iterations"], int) or \
            d["n_iterations"] < 0 or not all(isinstance(note, str) for note in c.notes):
        problems.append("method, errors, message, converged, n_iterations or notes are not a result's")
    if problems:
        raise ValueError("; ".join(problems))


def _encode(v):
    if isinstance(v, float) and not math.isfinite(v):
        return None if math.isnan(v) else ("inf" if v > 0 else "-inf")
    return v


def _decode(v):
    if v is None:
        return math.nan
    if v == "inf":
        return math.inf
    if v == "-inf":
        return -math.inf
    return v


def _decode_nested(value):
    if isinstance(value, list):
        return [_decode_nested(v) for v in value]
    return _decode(value)
