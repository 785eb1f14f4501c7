"""A model of a whole spectrum: peaks, backgrounds and ties between their parameters."""
from __future__ import annotations

import copy
import math
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import _shapes
from .terms import (Background, Constant, DoniachSunjic, Exponential, Gaussian, Linear, Lorentzian,
                    Peak, Polynomial, PseudoVoigt, Shirley, Term, Tougaard, TSDC, UserRows, Voigt,
                    _float, _real)

__all__ = ["Model", "Tie"]

FREE, FIXED, LINEAR_TIE, BRAGG_TIE = 0, 1, 2, 3

# Cu K-alpha1 and K-alpha2 wavelengths in angstrom.
CU_KALPHA = (1.540562, 1.544390)


@dataclass(frozen=True)
class Tie:
    """``target = scale * source + offset`` (kind "linear"), or the K-alpha2 position from the
    K-alpha1 position by Bragg's law, ``target = 2 asin(scale sin(source / 2))`` in degrees
    2-theta with ``scale = lambda2 / lambda1`` (kind "bragg")."""
    target: str
    source: str
    scale: float = 1.0
    offset: float = 0.0
    kind: str = "linear"


class Model:
    """A spectrum model: ``Model(peaks=[...], background=..., heating_rate=None)``.

    peaks: a list of peak terms (``Gaussian``, ``Lorentzian``, ``PseudoVoigt``, ``Voigt``,
    ``DoniachSunjic``, ``TSDC``); unnamed peaks are called ``p0``, ``p1``, ... by their position in
    the list. background: a background term, a list of them, or None; unnamed backgrounds are
    called ``bg``, ``bg1``, ``bg2``, ... heating_rate: K/s, needed by TSDC peaks.

    Every parameter is addressed as ``"<term name>.<parameter>"`` (``"p1.center"``,
    ``"bg.slope"``). The expected counts in channel i are the sum of every term's counts there:
    peaks give ``area * f(x_i) * width_i`` with f their unit-area density and ``width_i`` the
    channel's width (half the distance between its neighbours; at the ends, the distance to the
    one neighbour); backgrounds give counts per channel directly.

    The model is a description: fitting never changes it.
    """

    def __init__(self, peaks: Sequence[Peak] = (), background: Union[Background, Sequence[Background], None] = None,
                 heating_rate: Optional[float] = None):
        if isinstance(peaks, Term):
            peaks = [peaks]  # type: ignore[list-item]  # a single term given alone
        if background is None:
            background = []
        elif isinstance(background, Term):
            background = [background]
        peaks, background = list(peaks), list(background)
        for i, p in enumerate(peaks):
            if not isinstance(p, Peak):
                raise TypeError(f"peaks[{i}] must be a peak term (Gaussian, Lorentzian, ...), "
                                f"not {type(p).__name__}")
        for i, b in enumerate(background):
            if not isinstance(b, Background):
                raise TypeError(f"background[{i}] must be a background term (Constant, Linear, ...), "
                                f"not {type(b).__name__}")
        if not peaks and not background:
            raise ValueError("a model needs at least one peak or background term")
        self.heating_rate = _real(heating_rate, "heating_rate")
        if any(isinstance(p, TSDC) for p in peaks):
            if self.heating_rate is None or self.heating_rate <= 0:
                raise ValueError("a model with TSDC peaks needs heating_rate > 0 (K/s)")
        # Terms are copied so that later changes to the caller's objects do not reach the model.
        self.peaks: List[Peak] = [copy.deepcopy(p) for p in peaks]
        self.backgrounds: List[Background] = [copy.deepcopy(b) for b in background]
        self.names: List[str] = []
        for i, p in enumerate(self.peaks):
            self.names.append(p.name or f"p{i}")
        for i, b in enumerate(self.backgrounds):
            self.names.append(b.name or ("bg" if i == 0 else f"bg{i}"))
        seen = set()
        for n in self.names:
            if n in seen:
                raise ValueError(f"two terms are named {n!r}")
            seen.add(n)
        self.ties: Dict[str, Tie] = {}

    # -- addressing ------------------------------------------------------------------------------
    @property
    def terms(self) -> List[Term]:
        """Peaks, then backgrounds, in the order of the parameter vector."""
        return [*self.peaks, *self.backgrounds]

    @property
    def parameter_names(self) -> List[str]:
        """Every parameter's full name, in the order of the parameter vector."""
        return [f"{n}.{p}" for n, t in zip(self.names, self.terms) for p in t.parameters]

    def _lookup(self, name: str, argument: str = "name") -> Tuple[Term, str]:
        if not isinstance(name, str):
            raise TypeError(f"{argument} must be a parameter name such as 'p0.center', not {type(name).__name__}")
        term_name, _, parameter = name.partition(".")
        if term_name in self.names:
            term = self.terms[self.names.index(term_name)]
            if parameter in term.parameters:
                return term, parameter
        raise ValueError(f"{argument}: unknown parameter {name!r}; the model has "
                         f"{', '.join(self.parameter_names)}")

    def _term(self, name: str, argument: str) -> Term:
        if not isinstance(name, str) or name not in self.names:
            raise ValueError(f"{argument}: unknown term {name!r}; the model's terms are {', '.join(self.names)}")
        return self.terms[self.names.index(name)]

    # -- changing starts, bounds, fixed flags ------------------------------------------------------
    def set_value(self, name: str, value: float) -> "Model":
        """Set a parameter's start (or fixed) value. Returns the model."""
        term, parameter = self._lookup(name)
        old = term.values[parameter]
        term.values[parameter] = _real(value, name, False)
        try:
            term._check_values()
        except ValueError:
            term.values[parameter] = old
            raise
        return self

    def set_bounds(self, name: str, lower: Optional[float] = None, upper: Optional[float] = None) -> "Model":
        """Replace a parameter's default bounds (None or an infinity: unbounded on that side)."""
        term, parameter = self._lookup(name)
        lower = -math.inf if lower is None else _float(lower, f"the lower bound of {name}")
        upper = math.inf if upper is None else _float(upper, f"the upper bound of {name}")
        if math.isnan(lower) or math.isnan(upper) or not lower <= upper:
            raise ValueError(f"bounds of {name}: ({lower}, {upper}) is not an ordered pair")
        term.bounds[parameter] = (lower, upper)
        return self

    def fix(self, name: str, value: Optional[float] = None) -> "Model":
        """Hold a parameter at its value (or at ``value``)."""
        term, parameter = self._lookup(name)
        if value is not None:
            self.set_value(name, value)
        term.fixed.add(parameter)
        self.ties.pop(name, None)
        return self

    def free(self, name: str) -> "Model":
        """Let a fixed or tied parameter vary again."""
        term, parameter = self._lookup(name)
        term.fixed.discard(parameter)
        self.ties.pop(name, None)
        return self

    # -- ties ------------------------------------------------------------------------------------
    def tie(self, target: str, source: str, scale: float = 1.0, offset: float = 0.0) -> "Model":
        """Tie ``target = scale * source + offset`` (a doublet's splitting, an area ratio, a shared
        width). The target is no longer fitted; the source may itself be tied (not in a cycle)."""
        self._lookup(target, "target")
        self._lookup(source, "source")
        scale = _real(scale, "scale", False)
        offset = _real(offset, "offset", False)
        self._add_tie(Tie(target, source, scale, offset, "linear"))
        return self

    def tie_kalpha2(self, kalpha2: str, kalpha1: str, wavelengths: Tuple[float, float] = CU_KALPHA,
                    area_ratio: Optional[float] = None, same_shape: bool = False) -> "Model":
        """Place peak ``kalpha2``'s centre from peak ``kalpha1``'s by Bragg's law on a 2-theta axis
        in degrees: ``2 asin(lambda2/lambda1 * sin(theta1))``, wavelengths = (lambda1, lambda2)
        (default Cu K-alpha1, K-alpha2 in angstrom).

        Tie its area and shape with ``tie`` as usual, or here: ``area_ratio`` ties
        ``kalpha2.area = area_ratio * kalpha1.area`` (about 0.5 for Cu), ``same_shape=True`` ties
        every width and shape parameter to the K-alpha1 peak's.
        """
        second = self._term(kalpha2, "kalpha2")
        first = self._term(kalpha1, "kalpha1")
        if not isinstance(first, Peak) or not isinstance(second, Peak) or isinstance(first, TSDC) \
                or isinstance(second, TSDC) or type(first) is not type(second):
            raise ValueError("tie_kalpha2 ties two peaks of one shape with a centre")
        try:
            lambda1, lambda2 = (float(w) for w in wavelengths)
        except (TypeError, ValueError):
            raise TypeError("wavelengths must be a pair (lambda1, lambda2)") from None
        if not (lambda1 > 0 and lambda2 > 0 and math.isfinite(lambda1) and math.isfinite(lambda2)):
            raise ValueError(f"wavelengths must be positive, got {wavelengths!r}")
        self._add_tie(Tie(f"{kalpha2}.center", f"{kalpha1}.center", lambda2 / lambda1, 0.0, "bragg"))
        if area_ratio is not None:
            self.tie(f"{kalpha2}.area", f"{kalpha1}.area", scale=area_ratio)
        if same_shape:
            for parameter in first.parameters:
                if parameter not in ("center", "area"):
                    self.tie(f"{kalpha2}.{parameter}", f"{kalpha1}.{parameter}")
        return self

    def untie(self, target: str) -> "Model":
        """Remove the tie of ``target``."""
        self._lookup(target, "target")
        self.ties.pop(target, None)
        return self

    def _add_tie(self, tie: Tie):
        if tie.target == tie.source:
            raise ValueError(f"cannot tie {tie.target} to itself")
        previous = self.ties.get(tie.target)
        self.ties[tie.target] = tie
        # Walk from the new source through the chain of ties: reaching the target is a cycle.
        seen = {tie.target}
        current = tie.source
        while current in self.ties:
            if current in seen:
                break
            seen.add(current)
            current = self.ties[current].source
            if current == tie.target:
                if previous is None:
                    del self.ties[tie.target]
                else:
                    self.ties[tie.target] = previous
                raise ValueError(f"tying {tie.target} to {tie.source} makes a cycle of ties")

    def evaluate(self, x, components: bool = False):
        """The model's expected counts per channel on the grid ``x`` at its current values (every
        parameter must have one: nothing is estimated without data), for a preview of the starts
        or a simulation. Channel widths, the window of the defaults (x_ref, centre bounds) and the
        Doniach-Sunjic normalisation follow ``x``. With ``components=True``, a dict of each term's
        counts by name."""
        from . import _compiled, _data

        missing = [f"{n}.{p}" for n, t in zip(self.names, self.terms) for p in t.parameters if t.values[p] is None]
        if missing:
            raise ValueError(f"evaluate needs a value for every parameter; missing: {', '.join(missing)}")
        data = _data.prepare(x, np.zeros(np.shape(x)))
        window = Window(data.x, data.counts, data.width)
        compiled = compile_model(self, window, data.index, data.x.size, for_fit=False)
        terms = _compiled.evaluate(data.x, data.width, compiled.kind, compiled.first, compiled.count,
                                   compiled.aux, compiled.value, compiled.rows)
        out = np.empty_like(terms)
        out[:, data.index] = terms
        if components:
            return {name: out[t] for t, name in enumerate(self.names)}
        return out.sum(axis=0)

    def copy(self) -> "Model":
        return copy.deepcopy(self)

    def __repr__(self):
        terms = ", ".join(f"{n}={t!r}" for n, t in zip(self.names, self.terms))
        ties = f", {len(self.ties)} ties" if self.ties else ""
        return f"Model({terms}{ties})"


# ------------------------------------------------------------------------------------------------
# Translation into the engine's arrays.

@dataclass
class Window:
    """The channels inside the fit window, with what rough starts need."""
    x: np.ndarray
    counts: np.ndarray
    width: np.ndarray

    def __post_init__(self):
        self._smoothed = None
        self._unit: Optional[float] = None
        self.lower = float(self.x[0])
        self.upper = float(self.x[-1])
        self.span = max(self.upper - self.lower, float(np.sum(self.width)))
        w = self.width
        self.channel = float(w[0]) if w[0] == w[-1] == w[w.size // 2] else float(np.partition(w, w.size // 2)[w.size // 2])
        # A low quantile of the counts is the background level wherever peaks do not cover most
        # of the window; the tenth keeps noise from pulling it to zero at low counts. (These are
        # rough starts: order statistics without interpolation serve.)
        n = self.counts.size
        self.level = float(np.partition(self.counts, n // 10)[n // 10]) if n else 0.0
        edge = max(1, n // 10)
        self.level_low = float(np.partition(self.counts[:edge], edge // 2)[edge // 2])
        self.level_high = float(np.partition(self.counts[-edge:], edge // 2)[edge // 2])

    def unit(self) -> float:
        """The counts' unit, the floor of the starts that must not be 0: the least step between two
        values the counts take (1 for counts; 0.001 for counts in thousandths, so that starts scale
        as the counts do), 1 when they take a single value. Computed once, over fewer than 16,384
        channels evenly spread (a sort of millions of counts would cost a twentieth of their fit)."""
        if self._unit is None:
            stride = max(1, self.counts.size // 8192)
            steps = np.diff(np.unique(self.counts[::stride]))
            self._unit = float(steps.min()) if steps.size else 1.0
        return self._unit

    def smoothed(self) -> np.ndarray:
        """The counts averaged over three channels (computed once)."""
        if self._smoothed is None:
            if self.counts.size < 3:
                self._smoothed = self.counts.astype(float)
            else:
                self._smoothed = np.convolve(self.counts, np.ones(3) / 3.0, mode="same")
        return self._smoothed

    def nearest(self, position: float) -> int:
        return min(max(int(np.searchsorted(self.x, position)), 0), self.x.size - 1)

    def half_width_estimate(self, position: float) -> float:
        """Full width at half maximum of the bump around ``position`` read off the smoothed counts
        above the background level: a rough start, clipped to [2 channels, half the span]."""
        y = self.smoothed() - self.level
        i = self.nearest(position)
        top = y[i]
        if top <= 0:
            return max(10.0 * self.channel, 0.05 * self.span)
        # The nearest channels on either side at or below half the top (the window's ends if
        # none), found by array searches rather than a walk over the channels.
        low = np.flatnonzero(y[:i] <= 0.5 * top)
        left = int(low[-1]) if low.size else 0
        high = np.flatnonzero(y[i + 1:] <= 0.5 * top)
        right = i + 1 + int(high[0]) if high.size else y.size - 1
        width = float(self.x[right] - self.x[left])
        return min(max(width, 2.0 * self.channel), 0.5 * self.span)


@dataclass
class Compiled:
    """A model translated for the engine over one window."""
    names: List[str]
    term_names: List[str]
    kind: np.ndarray
    first: np.ndarray
    count: np.ndarray
    aux: np.ndarray
    role: np.ndarray
    value: np.ndarray
    lower: np.ndarray
    upper: np.ndarray
    source: np.ndarray
    scale: np.ndarray
    offset: np.ndarray
    rows: Optional[np.ndarray]
    notes: List[str]

    @property
    def free(self) -> np.ndarray:
        return np.flatnonzero(self.role == FREE)


def _default_bounds(term: Term, parameter: str, window: Window) -> Tuple[float, float]:
    inf = math.inf
    channel, span = window.channel, window.span
    if parameter == "area":
        return 0.0, inf
    if isinstance(term, Peak) and parameter == term.position:
        return window.lower, window.upper
    if isinstance(term, (Gaussian, Voigt)) and parameter == "sigma":
        return 0.25 * channel, span
    if isinstance(term, (Lorentzian, PseudoVoigt)) and parameter == "fwhm":
        return 0.5 * channel, 2.0 * span
    if isinstance(term, Voigt) and parameter == "gamma":
        return 0.0, span
    if isinstance(term, DoniachSunjic) and parameter == "gamma":
        return 0.25 * channel, span
    if parameter == "eta":
        return 0.0, 1.0
    if parameter == "alpha":
        return 0.0, 0.95
    if isinstance(term, TSDC) and parameter == "ea":
        return 0.05, 10.0
    if isinstance(term, (Constant, Shirley)) or (isinstance(term, Exponential) and parameter == "amplitude") \
            or (isinstance(term, Tougaard) and parameter == "b"):
        return 0.0, inf
    if isinstance(term, Tougaard) and parameter == "c":
        return 1e-12 * span * span, inf
    return -inf, inf


def _peak_starts(term: Peak, window: Window, heating_rate: Optional[float],
                 neighbour: float = math.inf) -> Dict[str, float]:
    """Starts for a peak's parameters left as None. ``neighbour``: the distance to the nearest
    other peak's position; overlapping peaks share one bump above half maximum, so no width
    estimate exceeds it."""
    v: Dict[str, Any] = dict(term.values)  # None where a start is still to be estimated
    if isinstance(term, TSDC):
        if v["ea"] is None:
            # A first-order peak's full width at half maximum is close to 2.45 k tp^2 / ea.
            fwhm = min(window.half_width_estimate(v["tp"]), neighbour)
            v["ea"] = float(np.clip(2.45 * _shapes.BOLTZMANN_EV * v["tp"] ** 2 / fwhm, 0.06, 9.0))
    else:
        fwhm = min(window.half_width_estimate(v["center"]), neighbour)
        if isinstance(term, Gaussian) and v["sigma"] is None:
            v["sigma"] = fwhm / _shapes.FWHM_PER_SIGMA
        if isinstance(term, (Lorentzian, PseudoVoigt)) and v["fwhm"] is None:
            v["fwhm"] = fwhm
        if isinstance(term, PseudoVoigt) and v["eta"] is None:
            v["eta"] = 0.5
        if isinstance(term, Voigt):
            if v["sigma"] is None:
                v["sigma"] = 0.5 * fwhm / _shapes.FWHM_PER_SIGMA
            if v["gamma"] is None:
                v["gamma"] = 0.25 * fwhm
        if isinstance(term, DoniachSunjic):
            if v["gamma"] is None:
                v["gamma"] = 0.5 * fwhm
            if v["alpha"] is None:
                v["alpha"] = 0.1
    if v["area"] is None:
        # The counts above the background in the channels nearest the peak, divided by what one
        # count of area puts there: the shape's height-to-area factor times the channel width.
        p = [v[k] for k in term.parameters if k != "area"]
        aux0 = _aux(term, window, heating_rate)[0]
        density = _shapes.unit_density(term.kind, p, window.x, window.width, aux0)
        location = _shapes.peak_location(term.kind, p, aux0)
        i = window.nearest(location)
        above = float(window.smoothed()[i] - window.level)
        per_count = float(density(window.x[i])) * float(window.width[i])
        unit = window.unit()
        v["area"] = max(above, unit) / per_count if per_count > 0 and math.isfinite(per_count) else \
            max(float(np.sum(window.counts - window.level)), unit)
    return v


def _background_starts(term: Background, window: Window, rows: Optional[np.ndarray]) -> Dict[str, float]:
    v: Dict[str, Any] = dict(term.values)  # None where a start is still to be estimated
    low, high, span = window.level_low, window.level_high, window.span
    above = np.maximum(window.counts - window.level, 0.0)
    if isinstance(term, Constant) and v["level"] is None:
        v["level"] = max(window.level, 0.0)
    elif isinstance(term, Linear):
        if v["slope"] is None:
            v["slope"] = (high - low) / span if span > 0 else 0.0
        if v["level"] is None:
            x_ref = window.lower if term.x_ref is None else term.x_ref
            v["level"] = low - v["slope"] * (window.x[0] - x_ref)
    elif isinstance(term, Polynomial):
        for k, name in enumerate(term.parameters):
            if v[name] is None:
                v[name] = max(window.level, 0.0) if k == 0 else 0.0
    elif isinstance(term, Exponential):
        if v["rate"] is None:
            v["rate"] = -math.log(max(high, window.unit()) / max(low, window.unit())) / span if span > 0 else 0.0
        if v["amplitude"] is None:
            x_ref = window.lower if term.x_ref is None else term.x_ref
            exponent = v["rate"] * (window.x[0] - x_ref)
            if not exponent < 709.0:  # exp overflows: the level at the window says nothing of x_ref's
                raise ValueError(f"{term_name(term)}: no start for the amplitude at x_ref = {x_ref:g}, "
                                 f"{exponent:g} e-folds from the window; give amplitude, or rate and an "
                                 "x_ref nearer the window")
            v["amplitude"] = max(low, window.unit()) * math.exp(exponent)
    elif isinstance(term, Shirley) and v["k"] is None:
        step = (high - low) if term.direction > 0 else (low - high)
        v["k"] = max(step, 0.0) / max(float(above.sum()), window.unit())
    elif isinstance(term, Tougaard):
        if v["c"] is None:
            v["c"] = 1643.0
        if v["b"] is None:
            x = window.x
            side = -1 if term.direction > 0 else 0
            t = np.abs(x[side] - x)
            shape = float(np.sum(t / (v["c"] + t * t) ** 2 * above))
            step = (high - low) if term.direction > 0 else (low - high)
            v["b"] = max(step, 0.0) / shape if shape > 0 else 0.0
    elif isinstance(term, UserRows):
        missing = [k for k in term.parameters if v[k] is None]
        if missing:
            lower_part = np.minimum(window.counts, np.quantile(window.counts, 0.3))
            assert rows is not None  # a UserRows term comes with its window's rows
            solution = np.linalg.lstsq(rows.T, lower_part, rcond=None)[0]
            for k, name in enumerate(term.parameters):
                if v[name] is None:
                    v[name] = float(solution[k])
    return v


def term_name(term: Term) -> str:
    return term.name or type(term).__name__


def _aux(term: Term, window: Window, heating_rate: Optional[float]) -> Tuple[float, float]:
    if isinstance(term, TSDC):
        assert heating_rate is not None  # the model refuses TSDC peaks without it
        return float(heating_rate), 0.0
    if isinstance(term, (Linear, Exponential)):
        return (window.lower if term.x_ref is None else term.x_ref), 0.0
    if isinstance(term, Polynomial):
        return ((window.lower if term.x_ref is None else term.x_ref),
                (window.span if term.x_scale is None else term.x_scale))
    if isinstance(term, (Shirley, Tougaard)):
        return term.direction, 0.0
    if isinstance(term, DoniachSunjic):
        return (1.0 if term.tail == "high" else -1.0), 0.0
    return 0.0, 0.0


def _resolve(value: np.ndarray, role, source, scale, offset) -> np.ndarray:
    """Fill tied entries from their sources, following chains."""
    theta = value.copy()
    done = (role == FREE) | (role == FIXED)
    if done.all():
        return theta
    for _ in range(len(theta)):
        progressed = False
        for j in np.flatnonzero(~done):
            s = source[j]
            if done[s]:
                if role[j] == LINEAR_TIE:
                    theta[j] = scale[j] * theta[s] + offset[j]
                else:
                    argument = scale[j] * math.sin(math.radians(theta[s]) / 2.0)
                    theta[j] = 2.0 * math.degrees(math.asin(argument)) if abs(argument) <= 1 else math.nan
                done[j] = True
                progressed = True
        if not progressed:
            break
    return theta


def compile_model(model: Model, window: Window, channels: np.ndarray, n_data: int,
                  start: Optional[Dict[str, float]] = None, for_fit: bool = True) -> Compiled:
    """Translate ``model`` into the engine's arrays for the channels of ``window`` (``channels``:
    their indices in the caller's data of ``n_data`` channels, for user rows): rough starts for
    parameters left as None, default bounds merged with the model's, ties resolved. ``start``
    overrides start values by full name (values of a previous fit)."""
    names: List[str] = []
    kinds: List[int] = []
    firsts: List[int] = []
    counts: List[int] = []
    auxes: List[Tuple[float, float]] = []
    values: List[float] = []
    lowers: List[float] = []
    uppers: List[float] = []
    roles: List[int] = []
    notes: List[str] = []
    row_blocks = []
    positions = [float(p.values[p.position] or 0.0) for p in model.peaks]  # every position is given
    for term_name, term in zip(model.names, model.terms):
        rows = None
        if isinstance(term, UserRows):
            if term.rows.shape[1] != n_data:
                raise ValueError(f"the rows of {term_name} have {term.rows.shape[1]} entries each, "
                                 f"the data {n_data} channels")
            rows = term.rows[:, channels]
            row_blocks.append(rows)
        if isinstance(term, Peak):
            here = float(term.values[term.position] or 0.0)
            others = [abs(here - p) for p in positions if p != here]
            v = _peak_starts(term, window, model.heating_rate, min(others) if others else math.inf)
        else:
            assert isinstance(term, Background)
            v = _background_starts(term, window, rows)
        kinds.append(term.kind)
        firsts.append(len(names))
        counts.append(len(term.parameters))
        auxes.append(_aux(term, window, model.heating_rate))
        for parameter in term.parameters:
            full = f"{term_name}.{parameter}"
            names.append(full)
            value = v[parameter]
            lower, upper = term.bounds.get(parameter) or _default_bounds(term, parameter, window)
            if start is not None and full in start and parameter not in term.fixed:
                # A previous fit's value may sit on a bound of its own method (the EM's window
                # edge, say); brought inside these bounds it is still the better start.
                value = min(max(float(start[full]), lower), upper)
            values.append(value)
            lowers.append(lower)
            uppers.append(upper)
            roles.append(FIXED if parameter in term.fixed else FREE)
    P = len(names)
    role = np.array(roles, dtype=np.int64)
    source = np.zeros(P, dtype=np.int64)
    scale = np.ones(P)
    offset = np.zeros(P)
    for target, tie in model.ties.items():
        j = names.index(target)
        role[j] = LINEAR_TIE if tie.kind == "linear" else BRAGG_TIE
        source[j] = names.index(tie.source)
        scale[j] = tie.scale
        offset[j] = tie.offset
    resolved = _resolve(np.array(values, float), role, source, scale, offset)
    compiled = Compiled(names, list(model.names), np.array(kinds, dtype=np.int64),
                        np.array(firsts, dtype=np.int64), np.array(counts, dtype=np.int64),
                        np.array(auxes, float).reshape(-1, 2), role, resolved, np.array(lowers, float),
                        np.array(uppers, float), source, scale, offset,
                        np.vstack(row_blocks) if row_blocks else None, notes)
    _check_compiled(compiled, model, for_fit)
    return compiled


def outside_domains(c: Compiled, theta) -> np.ndarray:
    """For parameter vectors theta (..., P): whether any value lies outside its parameter's domain
    (the rules the starts are checked by), as a width tied to a position, or bounded past zero,
    can end after a fit."""
    theta = np.asarray(theta, float)
    bad = np.zeros(theta.shape[:-1], bool)
    with np.errstate(invalid="ignore"):
        for t, kind in enumerate(np.asarray(c.kind).tolist()):
            for j in range(int(c.first[t]), int(c.first[t]) + int(c.count[t])):
                parameter, v = c.names[j].split(".", 1)[1], theta[..., j]
                if parameter in ("sigma", "fwhm") or (parameter == "gamma" and kind == 4) or \
                        (kind == 5 and parameter in ("ea", "tp")):
                    bad |= ~(v > 0)
                elif parameter == "gamma" and kind == 3:
                    bad |= ~(v >= 0)
                elif parameter == "eta":
                    bad |= ~((v >= 0) & (v <= 1))
                elif parameter == "alpha":
                    bad |= ~((v >= 0) & (v < 1))
    return bad


def _check_compiled(c: Compiled, model: Model, for_fit: bool = True):
    """Values outside their parameter's domain are refused; for a fit, also starts outside their
    bounds and a model with nothing free."""
    for j, name in enumerate(c.names):
        value = c.value[j]
        if not math.isfinite(value):
            if c.role[j] == BRAGG_TIE:
                raise ValueError(f"{name}: Bragg's law has no K-alpha2 angle for this K-alpha1 angle "
                                 f"(sin exceeds 1)")
            raise ValueError(f"{name} has no finite start value ({value})")
        if for_fit and c.role[j] == FREE and not c.lower[j] <= value <= c.upper[j]:
            raise ValueError(f"the start of {name}, {value:g}, lies outside its bounds "
                             f"[{c.lower[j]:g}, {c.upper[j]:g}]")
    # Domains that every value must respect, tied ones included.
    for t, term in enumerate(model.terms):
        for k, parameter in enumerate(term.parameters):
            j = c.first[t] + k
            value = c.value[j]
            name = c.names[j]
            if parameter in ("sigma", "fwhm") and value <= 0 or \
                    parameter == "gamma" and isinstance(term, DoniachSunjic) and value <= 0:
                raise ValueError(f"{name} must be > 0, got {value:g}")
            if parameter == "gamma" and isinstance(term, Voigt) and value < 0:
                raise ValueError(f"{name} must be >= 0, got {value:g}")
            if parameter == "eta" and not 0 <= value <= 1:
                raise ValueError(f"{name} must lie in [0, 1], got {value:g}")
            if parameter == "alpha" and not 0 <= value < 1:
                raise ValueError(f"{name} must lie in [0, 1), got {value:g}")
            if isinstance(term, TSDC) and value <= 0 and parameter in ("ea", "tp"):
                raise ValueError(f"{name} must be > 0, got {value:g}")
    if for_fit and not np.any(c.role == FREE):
        raise ValueError("the model has no free parameter: every parameter is fixed or tied")
