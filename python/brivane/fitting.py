"""``brivane.fit``: Poisson maximum likelihood of a whole spectrum model, or the mixture EM of
brivane_core expressed in the same parameters."""
from __future__ import annotations

import math
import os
import sys
import threading
from typing import Dict, Mapping, Optional, Union

import numpy as np

from . import _data, _shapes
from ._compiled import engine, rows_argument, term_arguments
from ._units import engine_units
from .model import FIXED, FREE, Compiled, Model, Window, compile_model, outside_domains
from .result import FitResult, build_result
from .terms import (Constant, DoniachSunjic, Gaussian, Linear, Lorentzian, PseudoVoigt, TSDC,
                    UserRows, Voigt, _real)

__all__ = ["fit"]

_STATUS = {
    0: "converged: the deviance a further step would remove fell below the tolerance",
    1: "not converged: the iteration limit was reached",
    2: "not converged: no step lowered the deviance further, but the gradient had not vanished",
    3: "not converged: the model is not finite at the start (check the starts and bounds)",
    4: "converged, but the Fisher information is singular: some parameters are not determined by "
       "the data, and the covariance is not defined",
}

StartLike = Union[None, str, FitResult, Mapping[str, float]]


def _start_values(model: Model, start, label: str) -> Dict[str, float]:
    """One start for the model's parameters from a FitResult (its values) or a dict of numbers
    by parameter name; `label` names the argument in errors."""
    if isinstance(start, FitResult):
        return dict(zip(start.parameter_names, start.theta.tolist()))
    names = set(model.parameter_names)
    values = {}
    for key, value in start.items():
        if key not in names:
            raise ValueError(f"{label}: unknown parameter {key!r}")
        values[key] = _real(value, f"{label}[{key!r}]", False)
    return values


def fit(x, counts, model: Model, window=None, method: str = "ml", *, start: StartLike = None,
        errors: str = "scaled", max_iter: Optional[int] = None, tolerance: Optional[float] = None) -> FitResult:
    """Fit ``model`` to a spectrum and return a ``FitResult``.

    x: channel positions (ascending, or descending: the channels are then put in ascending order
    and ``result.notes`` says so); counts: counts per channel (>= 0, finite; lists and integer
    arrays are accepted and copied, never written). window: ``(lower, upper)`` in x units; only
    the channels inside enter the fit (the whole data when None). Channel widths come from the
    whole grid: half the distance between a channel's neighbours.

    method "ml": maximum likelihood of the counts as independent Poisson variables with the
    expected counts of the whole model, every free parameter at once, by damped Fisher scoring in
    the compiled engine (bounds, fixed parameters and ties honoured). method "em": brivane_core's
    mixture EM for the peaks' one shape with its background (Constant, Linear rising or falling,
    or user rows; no ties), its result expressed in the model's parameters.

    start: None (the model's values, rough estimates for those left as None), "em" (run the EM
    first, then maximum likelihood from its result; ties are ignored by that EM pass), an earlier
    ``FitResult``, or a dict of values by full name. Values from an earlier fit are brought inside
    the bounds.

    errors: "scaled" (default) multiplies the inverse Fisher information by Pearson's chi-square
    per degree of freedom, right both for counts (where the factor is close to 1) and for data
    that are not counts (CCD units, Gaussian noise); "poisson" takes it as it is. Both are on the
    result (``stderr_poisson``, ``error_scale``).

    Units: for "ml" the engine works on the axis divided by the least power of two above the
    window's span, and shifted to start at 0 when the window lies more than 64 spans from zero
    (parameters, bounds and ties mapped with it; see brivane._units), so the result in your units
    does not depend on the axis's scale or offset. A model with a K-alpha2 tie or a TSDC
    peak keeps its axis as given.

    The counts are taken as they are: the fit does not depend on their unit either (counts times
    1e-3 or 1e12 give the areas and levels times that factor, the rest the same), since the
    engine's convergence test is measured against the data's own scatter.

    max_iter: iteration limit (default 200 for "ml", 5000 for "em"). tolerance: for "ml", the
    deviance a full Newton step would still remove, relative to the deviance per degree of freedom
    (equally, the remaining step's squared length in the standard errors scaled by the data's
    scatter): default 1e-8, a step of 1e-4 standard errors; for data with almost no noise the
    deviance's share is floored at 1e-9 of the counts per degree of freedom. For "em", the
    relative change of the EM's log-likelihood: default 1e-10.

    Raises TypeError for an argument of the wrong type and ValueError for a value outside its
    domain (data, window, model, start, options; integers beyond a float's or the engine's range
    too), naming the argument; KeyboardInterrupt on Ctrl-C. Nothing the caller passed is changed.
    """
    if not isinstance(model, Model):
        raise TypeError(f"model must be a brivane.Model, not {type(model).__name__}")
    method = _data.choice(method, "method", ("ml", "em"))
    errors = _data.choice(errors, "errors", ("scaled", "poisson"))
    if max_iter is not None:
        max_iter = _data.positive_int(max_iter, "max_iter")
    if tolerance is not None:
        tolerance = _data.positive_float(tolerance, "tolerance")
    data = _data.prepare(x, counts)
    first, stop = _data.window_channels(data, window)
    window_data = Window(data.x[first:stop], data.counts[first:stop], data.width[first:stop])
    channels = data.index[first:stop]
    n_data = data.x.size

    start_values: Optional[Dict[str, float]] = None
    notes = list(data.notes)
    if isinstance(start, str):
        _data.choice(start, "start", ("em",))
        if method == "em":
            raise ValueError("start='em' goes with method='ml'")
        em_result = _fit_em(window_data, channels, n_data, model, errors, None, 1e-10, ties_allowed=True,
                            notes=[])
        start_values = dict(zip(em_result.parameter_names, em_result.theta.tolist()))
        notes.append(f"started from the EM ({em_result.n_iterations} iterations)")
    elif isinstance(start, (FitResult, Mapping)):
        start_values = _start_values(model, start, "start")
    elif start is not None:
        raise TypeError(f"start must be None, 'em', a FitResult or a dict, not {type(start).__name__}")

    if method == "em":
        return _fit_em(window_data, channels, n_data, model, errors, max_iter, tolerance or 1e-10,
                       ties_allowed=False, notes=notes, start=start_values)
    compiled = compile_model(model, window_data, channels, n_data, start_values)
    compiled.notes.extend(notes)
    return _fit_ml(window_data, compiled, errors, max_iter or 200, tolerance or 1e-8)


def _float64(a):
    return np.ascontiguousarray(a, dtype=np.float64)


def _fit_ml(window: Window, c: Compiled, errors: str, max_iter: int, tolerance: float) -> FitResult:
    n_free = int(np.sum(c.role == FREE))
    if window.x.size <= n_free:
        raise ValueError(f"the window holds {window.x.size} channels for {n_free} free parameters")
    core = engine()
    # The engine works on the window mapped onto [0, 1] (brivane._units): the same fit, in the
    # caller's units, whatever the axis's offset and scale.
    units = engine_units(c, window.x, window.width)
    try:
        theta, covariance, at_bound, log_likelihood, deviance, chi_square, n_iter, status = core.fit(
            _float64(units.x), _float64(window.counts), _float64(units.width),
            *term_arguments(c.kind, c.first, c.count, units.aux), _float64(c.role), _float64(units.value),
            _float64(units.lower), _float64(units.upper), _float64(c.source), _float64(units.scale),
            _float64(units.offset), int(max_iter), float(tolerance), rows=rows_argument(c.rows))
    except ValueError as error:
        # The layer checks everything the engine does; this names what slipped through in the
        # engine's own terms (its arrays, by index in the parameter vector).
        raise ValueError(f"the compiled engine refused the model: {error} (parameters in order: "
                         f"{', '.join(c.names)})") from None
    except (TypeError, RuntimeError) as error:
        raise RuntimeError(f"the compiled engine failed: {error}") from None
    status = int(status)
    message = _STATUS.get(status, f"not converged: status {status}")
    if status == 1:
        message += f" (max_iter={max_iter})"
    result = build_result(
        method="ml", compiled=c, x=window.x, counts=window.counts, width=window.width,
        theta=np.array(theta, float), covariance_poisson=np.array(covariance, float),
        at_bound=np.array(at_bound, bool), n_iterations=int(n_iter), converged=status in (0, 4),
        message=message, errors=errors, likelihood=(float(log_likelihood), float(deviance), float(chi_square)),
        units=units)
    if result.converged and not np.isfinite(result.theta).all():
        result.converged = False
        result.message = BEYOND_FLOATS
    elif result.converged and outside_domains(c, result.theta):
        result.converged = False
        result.message = OUTSIDE_DOMAIN
    return result


# A fit whose values, finite in the engine's units, overflow in the caller's (a slope of 1e302
# counts per channel over a window 1e-11 wide): fit_many's status 9.
BEYOND_FLOATS = "not converged: a fitted value lies beyond a float's range in the units of x and counts"
# A fit that ends with a value outside its parameter's domain (a width tied to a centre that
# went below 0, bounds set past 0): fit_many's status 10.
OUTSIDE_DOMAIN = ("not converged: a value ended outside its parameter's domain (a width <= 0, say), "
                  "through a tie or bounds that reach past it")


# ------------------------------------------------------------------------------------------------
# The mixture EM of brivane_core, in the model's terms.

_PEAK_SHAPES = {Gaussian: "run_em_loop", Lorentzian: "run_lorentzian_em_loop",
                PseudoVoigt: "run_pv_em_loop", Voigt: "run_voigt_em_loop",
                DoniachSunjic: "run_ds_em_loop", TSDC: "run_tsdc_em_loop"}

# The Lorentzian refit writes a line to file descriptor 1 after every minimisation; the layer
# prints nothing, so the descriptor is pointed at the null device for the call. One EM at a time
# may do this in a process.
_stdout_lock = threading.Lock()


class _QuietDescriptor:
    def __enter__(self):
        _stdout_lock.acquire()
        try:
            sys.stdout.flush()
        except Exception:
            pass
        self.saved = os.dup(1)
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        os.close(null)
        return self

    def __exit__(self, *exc):
        os.dup2(self.saved, 1)
        os.close(self.saved)
        _stdout_lock.release()
        return False


def _em_backgrounds(model: Model, c: Compiled, window: Window):
    """bg_type, s_tri, rows (as densities) and how to turn background weights into parameters."""
    backgrounds = model.backgrounds
    if not backgrounds:
        return 0, 0.0, None, []
    if len(backgrounds) == 1 and isinstance(backgrounds[0], Constant):
        return 1, 0.0, None, ["uniform"]
    if len(backgrounds) == 1 and isinstance(backgrounds[0], Linear):
        # The EM's line is the density (1 - s)/w + 2 s (x - x_min)/w^2 on the window of length w,
        # its tilt s in [-0.99999, 0.99999]: falling as well as rising. Its start is the model's
        # line: the slope over twice the level at the window's middle, times w.
        j = c.first[len(model.peaks)]
        level, slope = float(c.value[j]), float(c.value[j + 1])
        span = float(window.x[-1] - window.x[0])
        middle = level + slope * (0.5 * (window.x[0] + window.x[-1]) - float(c.aux[len(model.peaks)][0]))
        tilt = slope * span / (2.0 * middle) if middle > 0 and span > 0 else 0.0
        return 3, float(np.clip(tilt, -0.99999, 0.99999)), None, ["linear"]
    if all(isinstance(b, (Constant, UserRows)) for b in backgrounds):
        rows, kinds = [], []
        offset = 0
        for b in backgrounds:
            if isinstance(b, Constant):
                block = np.ones((1, window.x.size))
            else:
                assert isinstance(b, UserRows) and c.rows is not None
                block = c.rows[offset:offset + b.rows.shape[0]]
                offset += b.rows.shape[0]
            for row in block:
                if np.any(row < 0) or not np.any(row > 0):
                    raise ValueError("method='em' needs user rows that are >= 0 and not all 0")
                # A row of counts per channel becomes a density whose EM weight times the total
                # counts gives back counts per channel: divide by the channel width and the sum.
                total = float(row.sum())
                rows.append(row / (window.width * total))
                kinds.append(total)
        return 4, 0.0, rows, kinds
    raise ValueError("method='em' takes a Constant, a Linear, or Constant and UserRows backgrounds; "
                     "use method='ml' for the others")


def _em_normaliser(kind: int, p, window: Window, heating_rate) -> float:
    """The mass that the EM's density of a shape gives one unit of the model's area: the EM
    normalises some shapes over the grid (trapezoid) or the window, the model over the real line."""
    def mass(density):
        return float(_trapezoid(density, window.x))

    if kind in (1, 3, 5):
        return mass(_shapes.unit_density(kind, p, window.x, window.width, heating_rate or 0.0)(window.x))
    if kind == 2:
        # The EM's pseudo-Voigt is eta G + (1 - eta) L / (L's mass in the window): its counts in
        # the window are kept when the model's area is the EM's divided by this ratio.
        center, fwhm, eta = p
        gaussian = mass(_shapes.gaussian(window.x - center, fwhm / _shapes.FWHM_PER_SIGMA))
        lorentzian = mass(_shapes.lorentzian(window.x - center, fwhm))
        return (eta * gaussian + (1.0 - eta) * lorentzian) / (eta * gaussian + (1.0 - eta))
    return 1.0


def _trapezoid(y, x):
    return float(np.sum(0.5 * (y[1:] + y[:-1]) * np.diff(x)))


def _fit_em(window: Window, channels, n_data: int, model: Model, errors: str, max_iter, tolerance,
            ties_allowed: bool, notes, start=None) -> FitResult:
    import brivane_core

    if not model.peaks:
        raise ValueError("method='em' needs at least one peak")
    shape = type(model.peaks[0])
    if any(type(p) is not shape for p in model.peaks):
        raise ValueError("method='em' fits peaks of one shape; this model mixes "
                         + ", ".join(sorted({type(p).__name__ for p in model.peaks})))
    if model.ties and not ties_allowed:
        raise ValueError("method='em' cannot hold ties; use method='ml' (start='em' is allowed)")
    c = compile_model(model, window, channels, n_data, start)
    bg_type, s_tri, rows, bg_info = _em_backgrounds(model, c, window)
    x = _float64(window.x)
    y = _float64(window.counts)
    # brivane_core's Doniach-Sunjic line has its tail toward smaller x: lines whose tail lies
    # toward larger x are fitted on the mirrored axis -x (channels reversed, centres negated, the
    # linear background's tilt of the other sign) and their values mirrored back.
    tails = {p.tail for p in model.peaks if isinstance(p, DoniachSunjic)}
    mirror = tails == {"high"}
    if len(tails) > 1:
        raise ValueError("method='em' fits Doniach-Sunjic lines with their tails on one side; "
                         "use method='ml' for a model that mixes tail='high' and tail='low'")
    total = float(y.sum())
    if total <= 0:
        raise ValueError("counts: the window holds no counts")
    K = len(model.peaks)
    B = len(rows) if rows is not None else (1 if bg_type else 0)
    params = [c.value[c.first[k]:c.first[k] + c.count[k]] for k in range(K)]
    fixed = [[bool(c.role[c.first[k] + i] == FIXED) for i in range(c.count[k])] for k in range(K)]
    heating_rate = model.heating_rate
    # Weights from the starts: each peak's expected counts, the background's share the rest.
    peak_counts = np.array([max(p[-1], 1e-12) for p in params])
    background_counts = max(total - peak_counts.sum(), 0.05 * total) if B else 0.0
    pi = np.concatenate([peak_counts, np.full(B, background_counts / max(B, 1))])
    pi = pi / pi.sum()
    alpha = np.ones(K + B)
    x_min, x_max = float(x[0]), float(x[-1])
    iterations = max_iter or 5000
    arrays = [np.array([p[i] for p in params], float) for i in range(len(params[0]) - 1)]
    flags = [[f[i] for f in fixed] for i in range(len(params[0]) - 1)]
    lower = c.lower
    upper = c.upper

    def bound(i, which, default):
        values = [(lower if which == 0 else upper)[c.first[k] + i] for k in range(K)]
        value = min(values) if which == 0 else max(values)
        return float(value) if math.isfinite(value) else default

    if mirror:
        x, y = _float64(-x[::-1]), _float64(y[::-1])
        arrays[0] = -arrays[0]
        s_tri = -s_tri
        rows = None if rows is None else [_float64(r[::-1]) for r in rows]
        x_min, x_max = -x_max, -x_min
    common = dict(bg_type=bg_type, s_tri=s_tri, spline_basis_preds=rows)
    try:
        if shape is Gaussian:
            result = brivane_core.run_em_loop(x, y, arrays[0], arrays[1], pi, alpha, flags[0], flags[1],
                                              iterations, tolerance, x_min, x_max, **common)
        elif shape is Lorentzian:
            with _QuietDescriptor():
                result = brivane_core.run_lorentzian_em_loop(x, y, arrays[0], arrays[1], pi, alpha, flags[0],
                                                             flags[1], x_min, x_max, iterations, tolerance,
                                                             **common)
        elif shape is PseudoVoigt:
            result = brivane_core.run_pv_em_loop(
                x, y, arrays[0], arrays[1], arrays[2], pi, alpha, flags[0], flags[1], flags[2], True, x_min,
                x_max, bound(1, 0, 0.1), bound(1, 1, 2 * window.span), iterations, tolerance, **common)
        elif shape is Voigt:
            result = brivane_core.run_voigt_em_loop(
                x, y, arrays[0], arrays[1], arrays[2], pi, alpha, flags[0], flags[1], flags[2], x_min, x_max,
                bound(1, 0, 1e-3), bound(1, 1, window.span), bound(2, 0, 0.0), bound(2, 1, window.span),
                iterations, tolerance, **common)
        elif shape is DoniachSunjic:
            result = brivane_core.run_ds_em_loop(
                x, y, arrays[0], arrays[1], arrays[2], pi, alpha, flags[0], flags[1], flags[2], x_min, x_max,
                bound(1, 0, 1e-3), bound(1, 1, window.span), bound(2, 0, 0.0), bound(2, 1, 0.95),
                iterations, tolerance, **common)
        else:  # TSDC: ea, tp; tau0 from the peak relation
            ea, tp = arrays
            assert heating_rate is not None  # the model refuses TSDC peaks without it
            k_b = _shapes.BOLTZMANN_EV
            tau0 = np.exp(-ea / (k_b * tp)) * k_b * tp ** 2 / (heating_rate * ea)
            result = brivane_core.run_tsdc_em_loop(
                x, y, ea, tau0, tp, pi, alpha, flags[0], flags[1], heating_rate, bound(0, 0, 0.05),
                bound(0, 1, 10.0), x_min, x_max, iterations, tolerance, **common)
    except BaseException as error:  # brivane_core's PanicException derives from BaseException
        if isinstance(error, (KeyboardInterrupt, SystemExit)):
            raise
        raise RuntimeError(f"brivane_core's EM failed: {error}") from None
    n_iter, log_likelihood_history, relative_change, s_tri = result
    if mirror:
        arrays[0] = -arrays[0]
        s_tri = -s_tri
        x_min, x_max = -x_max, -x_min

    theta = c.value.copy()
    for k in range(K):
        for i, array in enumerate(arrays):
            theta[c.first[k] + i] = array[k]
        p = theta[c.first[k]:c.first[k] + c.count[k] - 1]
        theta[c.first[k] + c.count[k] - 1] = total * pi[k] / _em_normaliser(c.kind[k], p, window, heating_rate)
    width = float(np.mean(window.width))
    span = x_max - x_min
    for b, term in enumerate(model.backgrounds):
        j = c.first[K + b]
        if bg_type == 1:
            theta[j] = total * pi[K] * width / span
        elif bg_type == 3:
            # The EM's linear density goes from (1 - s)/w at x_min to (1 + s)/w at x_max (s < 0:
            # a falling line).
            scale = total * pi[K] * width
            x_ref = c.aux[K + b][0]
            theta[j] = scale * ((1.0 - s_tri) / span + 2.0 * s_tri / span ** 2 * (x_ref - x_min))
            theta[j + 1] = scale * 2.0 * s_tri / span ** 2
    if bg_type == 4:
        r = 0
        for b, term in enumerate(model.backgrounds):
            j = c.first[K + b]
            size = term.rows.shape[0] if isinstance(term, UserRows) else 1
            for i in range(size):
                theta[j + i] = total * pi[K + r] / bg_info[r]
                r += 1
    # Ties the EM ignored are imposed again on its values for the start of what follows.
    from .model import _resolve
    theta = _resolve(theta, c.role, c.source, c.scale, c.offset)
    converged = bool(n_iter < iterations)
    message = ("converged: the relative change of the log-likelihood fell below the tolerance"
               if converged else f"not converged: the iteration limit was reached (max_iter={iterations})")
    # brivane_core's EM returns its start after no iteration where the start's peaks put no counts
    # in the window, and stops at a log-likelihood that is not a number: neither is a fit.
    history = np.asarray(log_likelihood_history, float)
    if history.size == 0 or not math.isfinite(float(history[-1])):
        converged = False
        message = ("not converged: the EM's log-likelihood is not a number at its start or end (do the "
                   "starts put the peaks' counts in the window?)")
    c.notes.extend(notes)
    c.notes.append(f"EM of brivane_core ({_PEAK_SHAPES[shape]}); errors from the Fisher information "
                   "of the model at the EM's values")
    result = build_result(method="em", compiled=c, x=window.x, counts=window.counts, width=window.width,
                          theta=theta, covariance_poisson=None, at_bound=None, n_iterations=int(n_iter),
                          converged=converged, message=message, errors=errors)
    if result.converged and not math.isfinite(result.deviance):
        # The model at the EM's values gives no finite likelihood of the counts (a channel with
        # counts where the model has none): not a fit either.
        result.converged = False
        result.message = ("not converged: the model at the EM's values is not finite, or is 0 where "
                          "there are counts")
    return result
