"""``brivane.fit_many``: one model fitted to many spectra (a map, a detector's frames) in one call
into the compiled engine, on every core, with results as arrays over the spectra."""
from __future__ import annotations

import math
from typing import Dict, List, Mapping, Optional, Tuple

import numpy as np

from . import _data
from ._compiled import engine, rows_argument, term_arguments
from ._units import engine_units, results_from_engine
from .fitting import _STATUS, BEYOND_FLOATS, OUTSIDE_DOMAIN, _start_values
from .model import FIXED, FREE, Compiled, Model, Window, compile_model, outside_domains
from .result import FitResult, build_result
from .terms import _real

__all__ = ["fit_many", "BatchResult"]

# Statuses of a spectrum beyond a single fit's: the engine's codes 6-8.
MESSAGES: Dict[int, str] = {
    **_STATUS,
    5: "not converged: interrupted",
    6: "not fitted: counts negative or not finite",
    7: "not fitted: the start is not finite or lies outside its bounds",
    8: "not fitted: the fit failed inside the engine",
    9: BEYOND_FLOATS,
    10: OUTSIDE_DOMAIN,
}


def _leading_counts(counts, n: int) -> np.ndarray:
    if isinstance(counts, (str, bytes)):
        raise TypeError(f"counts must be an array of real numbers, not {type(counts).__name__}")
    try:
        array = np.asarray(counts)
    except Exception:
        raise TypeError("counts must be an array of real numbers of shape (..., n_channels)") from None
    if array.dtype.kind not in "iuf":
        raise TypeError(f"counts must hold real numbers, not {array.dtype} values")
    if array.ndim < 1 or array.shape[-1] != n:
        raise ValueError(f"counts must have shape (..., {n}) for the {n} channels of x, got {array.shape}")
    return array


def _needs_estimates(model: Model) -> bool:
    return any(t.values[p] is None for t in model.terms for p in t.parameters)


def _start_rows(starts, model: Model, c: Compiled, shape: Tuple[int, ...]) -> Optional[np.ndarray]:
    """Per-spectrum starts (S x P) from an array, a dict of values or arrays, a FitResult or a
    BatchResult; None for one start for all (already in ``c.value``). Free parameters' values are
    brought inside their bounds, as ``fit`` does with a start from an earlier result."""
    names = c.names
    P = len(names)
    S = int(np.prod(shape, dtype=np.int64))
    if isinstance(starts, BatchResult):
        if starts.parameter_names != names:
            raise ValueError("starts: the BatchResult is of another model")
        starts = starts.theta
    if isinstance(starts, FitResult):
        return None
    if isinstance(starts, Mapping):
        columns = {}
        for key, value in starts.items():
            if key not in names:
                raise ValueError(f"starts: unknown parameter {key!r}")
            v = np.asarray(value, dtype=float) if not np.isscalar(value) else np.asarray(
                _real(value, f"starts[{key!r}]", False), dtype=float)
            try:
                columns[key] = np.broadcast_to(v, shape).reshape(S)
            except ValueError:
                raise ValueError(f"starts[{key!r}] has shape {v.shape}, not the spectra's {shape}") from None
        rows = np.broadcast_to(c.value, (S, P)).copy()
        for key, column in columns.items():
            rows[:, names.index(key)] = column
        given = np.array([n in columns for n in names])
    else:
        try:
            array = np.asarray(starts, dtype=float)
        except (TypeError, ValueError):
            raise TypeError("starts must be None, 'neighbour', a dict, a FitResult, a BatchResult or an "
                            f"array of shape (..., {P})") from None
        if array.shape[-1:] != (P,):
            raise ValueError(f"starts must have shape (..., {P}) (parameters in the order "
                             f"{', '.join(names)}), got {array.shape}")
        try:
            rows = np.broadcast_to(array, shape + (P,)).reshape(S, P).copy()
        except ValueError:
            raise ValueError(f"starts has shape {array.shape}, not the spectra's {shape + (P,)}") from None
        given = np.ones(P, bool)
    # As fit() takes a start: fixed parameters keep the model's values, the others are brought
    # inside their bounds (the engine reads only the free ones).
    for j in range(P):
        if c.role[j] == FIXED or not given[j]:
            rows[:, j] = c.value[j]
        else:
            rows[:, j] = np.minimum(np.maximum(rows[:, j], c.lower[j]), c.upper[j])
    return rows


class BatchResult:
    """The fits of many spectra, as arrays whose leading shape is the counts' (``shape``).

    values, stderr, stderr_poisson: dicts by full parameter name (``"p0.center"``) of arrays of
    ``shape``, with each peak's derived ``fwhm`` and ``height`` as in ``FitResult`` (the derived
    ones are computed spectrum by spectrum when first asked for: the Voigt and Doniach-Sunjic
    widths need root searches). Errors follow ``errors`` ("scaled": the inverse Fisher information
    times each spectrum's Pearson chi-square per degree of freedom) exactly as ``FitResult``;
    a fixed parameter has error 0, one on a bound NaN.

    theta (shape + (P,)), covariance and covariance_poisson (shape + (P, P)), at_bound,
    undetermined; deviance, log_likelihood, chi_square, error_scale, aic, bic; dof, n_free;
    n_iterations; converged; status: the message code per spectrum (0-5 as a fit's ending, 6 counts
    negative or not finite, 7 a start outside its bounds or not finite, 8 failed, 9 a fitted value
    beyond a float's range in the units of x and counts, 10 a value ended outside its domain
    through a tie or bounds, both as fit() reports them), its text from
    ``message(index)``, ``messages()`` or ``BatchResult.MESSAGES``. Spectra not fitted have NaN
    values. Each entry is what ``brivane.fit`` returns for that spectrum alone from the same start,
    to the bit.
    """

    MESSAGES = MESSAGES

    parameter_names: List[str]
    shape: Tuple[int, ...]
    theta: np.ndarray
    covariance: np.ndarray
    covariance_poisson: np.ndarray
    at_bound: np.ndarray
    undetermined: np.ndarray
    status: np.ndarray
    converged: np.ndarray
    n_iterations: np.ndarray
    deviance: np.ndarray
    log_likelihood: np.ndarray
    chi_square: np.ndarray
    error_scale: np.ndarray
    aic: np.ndarray
    bic: np.ndarray
    dof: int
    n_free: int
    errors: str
    notes: List[str]

    def __init__(self):
        raise TypeError("BatchResult is made by brivane.fit_many")

    @property
    def size(self) -> int:
        return int(np.prod(self.shape, dtype=np.int64))

    def _flat(self, index) -> int:
        return int(np.ravel_multi_index(index if isinstance(index, tuple) else (index,), self.shape))

    def message(self, index) -> str:
        """The text of spectrum ``index``'s ending (an index into ``shape``)."""
        flat = self._flat(index)
        return self._message_overrides.get(flat) or self._message_of(int(self.status.reshape(-1)[flat]))

    def messages(self) -> np.ndarray:
        """Every spectrum's message as an array of str of ``shape``."""
        texts = np.array([self._message_of(int(s)) for s in self.status.reshape(-1)], dtype=object)
        for flat, text in self._message_overrides.items():
            texts[flat] = text
        return texts.reshape(self.shape)

    def _message_of(self, code: int) -> str:
        text = MESSAGES.get(code, f"not converged: status {code}")
        return text + f" (max_iter={self._max_iter})" if code == 1 else text

    @property
    def values(self) -> Dict[str, np.ndarray]:
        self._derived_quantities()
        return self._values

    @property
    def stderr(self) -> Dict[str, np.ndarray]:
        self._derived_quantities()
        return self._stderr

    @property
    def stderr_poisson(self) -> Dict[str, np.ndarray]:
        self._derived_quantities()
        return self._stderr_poisson

    def parameters(self) -> Dict[str, np.ndarray]:
        """The fitted parameters by name (no derived quantities: nothing is computed)."""
        return {name: self._values[name] for name in self.parameter_names}

    def _derived_quantities(self):
        # The same computation as FitResult's, spectrum by spectrum, on a stand-in that carries
        # what it reads: the derived values and errors are FitResult's to the bit.
        if self._derived_done:
            return
        self._derived_done = True
        c = self._compiled
        S, P = self.size, len(self.parameter_names)
        theta = self.theta.reshape(S, P)
        covariance = self.covariance.reshape(S, P, P)
        covariance_poisson = self.covariance_poisson.reshape(S, P, P)
        undetermined = self.undetermined.reshape(S, P)
        fitted = np.isfinite(theta).all(axis=1)
        collected: Dict[str, List[np.ndarray]] = {}
        for s in range(S):
            stand_in = _DerivedStandIn(c, self._x, self._width, theta[s], covariance[s], covariance_poisson[s],
                                       undetermined[s])
            if fitted[s]:
                FitResult._derived_quantities(stand_in)
            for target, source in ((0, stand_in._values), (1, stand_in._stderr), (2, stand_in._stderr_poisson)):
                for name, value in source.items():
                    collected.setdefault(name, [np.full(S, np.nan) for _ in range(3)])[target][s] = value
        for name, (value, error, poisson) in collected.items():
            self._values[name] = value.reshape(self.shape)
            self._stderr[name] = error.reshape(self.shape)
            self._stderr_poisson[name] = poisson.reshape(self.shape)

    def __repr__(self):
        converged = int(np.count_nonzero(self.converged))
        return (f"<BatchResult of {self.size} spectra {self.shape}, {len(self.parameter_names)} parameters, "
                f"{converged} converged>")


class _DerivedStandIn:
    """What FitResult._derived_quantities reads, for one spectrum of a batch."""

    def __init__(self, c: Compiled, x, width, theta, covariance, covariance_poisson, undetermined):
        self._derived_done = False
        self.x, self.width = x, width
        self._kind, self._first, self._count = c.kind, c.first, c.count
        self._aux = np.asarray(c.aux, float).reshape(-1, 2)
        self.theta = theta
        self.covariance, self.covariance_poisson = covariance, covariance_poisson
        self.undetermined = undetermined
        self.term_names, self.parameter_names = c.term_names, c.names
        self._values, self._stderr, self._stderr_poisson = {}, {}, {}


def fit_many(x, counts, model: Model, starts=None, method: str = "ml", *, window=None, errors: str = "scaled",
             max_iter: Optional[int] = None, tolerance: Optional[float] = None,
             threads: Optional[int] = None) -> BatchResult:
    """Fit ``model`` to every spectrum of ``counts`` (shape ``(..., n_channels)``) and return a
    ``BatchResult`` whose arrays have the leading shape of ``counts``.

    One call into the compiled engine fits all of them without the interpreter lock, one spectrum
    per task on brivane's thread pool (``brivane.set_threads``), each fit serial inside its task;
    each spectrum's result is the same, to the bit, as ``brivane.fit(x, counts[i], model, window,
    start=...)`` from the same start, whatever the number of threads.

    x, window, errors, max_iter, tolerance: as for ``brivane.fit`` (one grid for all spectra).
    method: "ml" (maximum likelihood; the EM is for single spectra).

    starts:
      - None: the model's values for every spectrum; parameters the model leaves as None are
        estimated from each spectrum as ``fit`` does (in Python, spectrum by spectrum: give
        values for speed);
      - one start for all: a dict of values by name, or a FitResult;
      - per spectrum: an array of shape ``(..., P)`` (parameters in ``model.parameter_names``
        order), a dict of arrays of the leading shape, or a BatchResult;
      - "neighbour": each spectrum starts from an already fitted neighbour, in an order that does
        not depend on the threads: the first row (the last leading axis) left to right from the
        model's start, then each row at once, every spectrum from the one above it; a neighbour
        that did not converge passes on nothing (the model's start is used). With one leading
        axis the spectra form one row, fitted one after another. Parameters the model leaves as
        None are estimated once, from the first spectrum.
    With a start from an array or dict, parameters neither given there nor set in the model are
    estimated from the first spectrum.
    Free parameters' starts are brought inside their bounds, as ``fit`` does with a dict.

    threads: None for the pool as ``brivane.set_threads`` leaves it; n for a pool of exactly n
    threads for this call.

    A spectrum that cannot be fitted (negative or non-finite counts, a start outside its bounds,
    a failure) is reported in ``status`` and never stops the others. Memory: besides ``counts``,
    the engine's copy of the windowed counts lives during the call (and the layer's own, where
    ``counts`` is not float64 and contiguous over the window): for maps larger than memory, use
    ``fit_map``.

    Raises TypeError or ValueError naming the argument for what applies to every spectrum (x,
    window, model, starts of the wrong shape).
    """
    if not isinstance(model, Model):
        raise TypeError(f"model must be a brivane.Model, not {type(model).__name__}")
    method = _data.choice(method, "method", ("ml",))
    errors = _data.choice(errors, "errors", ("scaled", "poisson"))
    max_iter = 200 if max_iter is None else _data.positive_int(max_iter, "max_iter")
    tolerance = 1e-8 if tolerance is None else _data.positive_float(tolerance, "tolerance")
    threads = 0 if threads is None else _data.positive_int(threads, "threads")
    x_vector = _data.as_vector(x, "x")
    counts = _leading_counts(counts, x_vector.size)
    data = _data.prepare(x_vector, np.zeros(x_vector.size))
    first, stop = _data.window_channels(data, window)
    channels = data.index[first:stop]
    wx, ww = data.x[first:stop], data.width[first:stop]
    shape = counts.shape[:-1]
    S = int(np.prod(shape, dtype=np.int64))
    m = wx.size
    if np.array_equal(channels, np.arange(first, stop)):
        y = np.ascontiguousarray(counts[..., first:stop], dtype=np.float64).reshape(S, m)
    else:
        y = np.ascontiguousarray(counts[..., channels], dtype=np.float64).reshape(S, m)
    notes = list(data.notes)

    neighbour = isinstance(starts, str)
    if neighbour:
        _data.choice(starts, "starts", ("neighbour",))
    one_start = None
    one_for_all = isinstance(starts, Mapping) and all(np.isscalar(v) for v in starts.values())
    if isinstance(starts, FitResult) or one_for_all:
        one_start = _start_values(model, starts, "starts")

    def window_of(s: int) -> Window:
        return Window(wx, y[s] if S else np.zeros(m), ww)

    per_spectrum_estimates = (starts is None and _needs_estimates(model))
    if per_spectrum_estimates and S > 0:
        # Each spectrum's rough starts, exactly as fit() makes them; a spectrum whose starts
        # cannot be made gets a NaN start, reported as status 7.
        c = None
        rows = np.full((S, 0), np.nan)
        for s in range(S):
            try:
                cs = compile_model(model, window_of(s), channels, data.x.size, None)
            except ValueError:
                if c is None and s == S - 1:
                    raise
                continue
            if c is None:
                c = cs
                rows = np.full((S, len(cs.names)), np.nan)
            rows[s] = cs.value
        start_rows = rows
    else:
        c = compile_model(model, window_of(0), channels, data.x.size, one_start)
        start_rows = None if starts is None or neighbour or one_start is not None else \
            _start_rows(starts, model, c, shape)
    P = len(c.names)
    if start_rows is None:
        start_rows = np.broadcast_to(c.value, (S, P))
    n_free = int(np.sum(c.role == FREE))
    if m <= n_free:
        raise ValueError(f"the window holds {m} channels for {n_free} free parameters")
    columns = 0
    if neighbour and S > 0:
        columns = shape[-1] if len(shape) >= 2 else S
    # The engine's units, as fit() uses them: the same mapping of the same numbers.
    units = engine_units(c, wx, ww)
    try:
        (theta, covariance, at_bound, engine_log_likelihood, engine_deviance, engine_chi_square, n_iter, status,
         _) = engine().fit_many(
            _float(units.x), y.reshape(-1), _float(units.width), *term_arguments(c.kind, c.first, c.count, units.aux),
            _float(c.role), _float(units.value), _float(units.lower), _float(units.upper), _float(c.source),
            _float(units.scale), _float(units.offset),
            np.ascontiguousarray(units.to_engine(start_rows), dtype=np.float64).reshape(-1), int(max_iter),
            float(tolerance), neighbour_columns=columns, threads=threads,
            rows=rows_argument(c.rows))
    except ValueError as error:
        raise ValueError(f"the compiled engine refused the model: {error} (parameters in order: "
                         f"{', '.join(c.names)})") from None
    except (TypeError, RuntimeError) as error:
        raise RuntimeError(f"the compiled engine failed: {error}") from None
    engine_log_likelihood = np.asarray(engine_log_likelihood, float).reshape(S)
    engine_deviance = np.asarray(engine_deviance, float).reshape(S)
    engine_chi_square = np.asarray(engine_chi_square, float).reshape(S)
    theta_engine = np.asarray(theta, float).reshape(S, P)
    covariance_engine = np.asarray(covariance, float).reshape(S, P, P)
    at_bound = np.asarray(at_bound, bool).reshape(S, P)
    theta = results_from_engine(units, c, theta_engine, at_bound)
    covariance_poisson = units.covariance_from_engine(covariance_engine)
    status = np.asarray(status).astype(np.int64)
    # As fit() reports them: values beyond a float in the caller's units, or outside a domain.
    converged_now = np.isin(status, (0, 4))
    status[converged_now & ~np.isfinite(theta).all(axis=-1)] = 9
    status[np.isin(status, (0, 4)) & outside_domains(c, theta)] = 10

    r = object.__new__(BatchResult)
    r._compiled = c
    r._x, r._width = wx, ww
    r._max_iter = max_iter
    r._message_overrides = {}
    r._derived_done = False
    r.parameter_names = list(c.names)
    r.shape = tuple(shape)
    r.errors = errors
    r.notes = notes + list(c.notes)
    r.n_free = n_free
    r.dof = m - n_free
    undetermined = np.zeros((S, P), bool)
    fitted = status <= 5

    # The statistics are the engine's, as FitResult takes them. A spectrum whose start the engine
    # could not use (status 3) has none from it, and a peak whose area ended at 0 makes the
    # information singular, when FitResult takes the other parameters' errors without that peak's
    # position and shape: both rare, each made by FitResult's own code.
    log_likelihood = np.where(fitted, engine_log_likelihood, np.nan)
    deviance = np.where(fitted, engine_deviance, np.nan)
    chi_square = np.where(fitted, engine_chi_square, np.nan)
    engine_statistics = np.isfinite(engine_log_likelihood) & np.isfinite(engine_deviance) & np.isfinite(
        engine_chi_square)
    singular = fitted & ~np.isfinite(covariance_poisson).all(axis=(1, 2))
    for s in np.flatnonzero(singular | (fitted & ~engine_statistics)):
        code = int(status[s])
        single = build_result(method="ml", compiled=c, x=wx, counts=y[s], width=ww, theta=theta_engine[s],
                              covariance_poisson=covariance_engine[s], at_bound=at_bound[s], units=units,
                              n_iterations=int(n_iter[s]), converged=code in (0, 4),
                              message=r._message_of(code), errors=errors,
                              likelihood=(float(engine_log_likelihood[s]), float(engine_deviance[s]),
                                          float(engine_chi_square[s])))
        covariance_poisson[s] = single.covariance_poisson
        undetermined[s] = single.undetermined
        log_likelihood[s], deviance[s], chi_square[s] = single.log_likelihood, single.deviance, single.chi_square
        if single.message != r._message_of(code):
            r._message_overrides[int(s)] = single.message

    error_scale = np.sqrt(chi_square / r.dof) if r.dof > 0 else np.full(S, np.nan)
    if errors == "scaled":
        # Each spectrum's factor as FitResult forms it (a Python float squared).
        factor = np.array([e ** 2 for e in error_scale.tolist()])
    else:
        factor = np.ones(S)
    covariance_scaled = covariance_poisson * factor[:, None, None]

    r.theta = theta.reshape(shape + (P,))
    r.covariance_poisson = covariance_poisson.reshape(shape + (P, P))
    r.covariance = covariance_scaled.reshape(shape + (P, P))
    r.at_bound = at_bound.reshape(shape + (P,))
    r.undetermined = undetermined.reshape(shape + (P,))
    r.status = status.reshape(shape)
    r.converged = np.isin(status, (0, 4)).reshape(shape)
    r.n_iterations = np.asarray(n_iter).astype(np.int64).reshape(shape)
    r.log_likelihood = log_likelihood.reshape(shape)
    r.deviance = deviance.reshape(shape)
    r.chi_square = chi_square.reshape(shape)
    r.error_scale = error_scale.reshape(shape)
    r.aic = (2.0 * n_free - 2.0 * log_likelihood).reshape(shape)
    r.bic = (n_free * math.log(m) - 2.0 * log_likelihood).reshape(shape)

    # Standard errors by FitResult's rules, over every spectrum at once.
    role, source = c.role.tolist(), c.source.tolist()
    diagonal = np.diagonal(covariance_scaled, axis1=1, axis2=2)
    with np.errstate(invalid="ignore"):
        sd = np.sqrt(np.where(diagonal >= 0, diagonal, np.nan))
    poisson_sd = np.sqrt(np.abs(np.diagonal(covariance_poisson, axis1=1, axis2=2)))
    has_covariance = np.any(covariance_poisson != 0, axis=2)
    r._values, r._stderr, r._stderr_poisson = {}, {}, {}
    for j, name in enumerate(c.names):
        root = j
        for _ in range(P):
            if role[root] in (FREE, FIXED):
                break
            root = source[root]
        r._values[name] = theta[:, j].reshape(shape)
        if role[j] == FIXED:
            error = poisson = np.zeros(S)
        else:
            zero = (role[root] == FIXED) & ~has_covariance[:, j]
            missing = at_bound[:, j] | undetermined[:, j] | (
                (at_bound[:, root] | undetermined[:, root]) & ~has_covariance[:, j])
            error = np.where(zero, 0.0, np.where(missing, np.nan, sd[:, j]))
            poisson = np.where(zero, 0.0, np.where(missing, np.nan, poisson_sd[:, j]))
        error = np.where(fitted, error, np.nan)
        poisson = np.where(fitted, poisson, np.nan)
        r._stderr[name] = error.reshape(shape)
        r._stderr_poisson[name] = poisson.reshape(shape)
    return r


def _float(a) -> np.ndarray:
    return np.ascontiguousarray(a, dtype=np.float64)
