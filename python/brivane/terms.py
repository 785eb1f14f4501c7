"""The terms of a spectrum model: peaks and backgrounds.

Units: every position and width is in the units of the data's x axis (keV, cm^-1, degrees 2-theta,
eV, ...), except the TSDC peak's, whose axis is temperature in kelvin and whose activation energy
is in eV. Every peak carries an ``area`` in counts (the expected counts of the whole line, summed
over the real line; for the Doniach-Sunjic line, over the fit window's channels). Backgrounds are
in counts per channel.

A parameter left as ``None`` is estimated from the data when the fit starts (see each class).
``bounds`` maps a parameter's short name to ``(lower, upper)`` (either may be ``None`` or
infinite) and replaces its default bounds; ``fixed`` names the parameters held at their values
(a string, an iterable of strings, or a dict of name to bool).
"""
from __future__ import annotations

import math
from typing import Dict, Iterable, Literal, Mapping, Optional, Sequence, Tuple, Union, overload

import numpy as np

Bounds = Mapping[str, Tuple[Optional[float], Optional[float]]]
Fixed = Union[str, Iterable[str], Mapping[str, bool], None]

__all__ = [
    "Term", "Peak", "Background",
    "Gaussian", "Lorentzian", "PseudoVoigt", "Voigt", "DoniachSunjic", "TSDC",
    "Constant", "Linear", "Polynomial", "Exponential", "Shirley", "Tougaard", "UserRows",
]


@overload
def _real(value, what: str, allow_none: Literal[False]) -> float: ...
@overload
def _real(value, what: str, allow_none: bool = True) -> Optional[float]: ...


def _float(value, what: str) -> float:
    """float(value), where an integer beyond a float's range (float() raises OverflowError for
    it) is refused as the bad value it is."""
    try:
        return float(value)
    except OverflowError:
        raise ValueError(f"{what} must be finite, got an integer beyond a float's range") from None


def _real(value, what: str, allow_none: bool = True) -> Optional[float]:
    if value is None:
        if allow_none:
            return None
        raise TypeError(f"{what} must be a real number, not None")
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{what} must be a real number, not {type(value).__name__}")
    value = _float(value, what)
    if not math.isfinite(value):
        raise ValueError(f"{what} must be finite, got {value}")
    return value


class Term:
    """Base of every model term: named parameters with start values, bounds and fixed flags."""

    parameters: Tuple[str, ...] = ()
    kind: int = -1

    def __init__(self, values: Mapping[str, Optional[float]], name: Optional[str], bounds: Optional[Bounds],
                 fixed: Fixed):
        if name is not None and (not isinstance(name, str) or not name or "." in name):
            raise ValueError(f"name must be a non-empty string without '.', got {name!r}")
        self.name: Optional[str] = name
        self.values: Dict[str, Optional[float]] = {}
        for key in self.parameters:
            self.values[key] = _real(values.get(key), f"{type(self).__name__} {key}")
        self.bounds: Dict[str, Tuple[float, float]] = {}
        for key, pair in (bounds or {}).items():
            self._check_name(key, "bounds")
            try:
                lower, upper = pair
            except (TypeError, ValueError):
                raise TypeError(f"bounds[{key!r}] must be a pair (lower, upper), got {pair!r}") from None
            lower = -math.inf if lower is None else _float(lower, f"bounds[{key!r}] lower")
            upper = math.inf if upper is None else _float(upper, f"bounds[{key!r}] upper")
            if math.isnan(lower) or math.isnan(upper) or not lower <= upper:
                raise ValueError(f"bounds[{key!r}] = ({lower}, {upper}) is not an ordered pair")
            self.bounds[key] = (lower, upper)
        if fixed is None:
            names = []
        elif isinstance(fixed, str):
            names = [fixed]
        elif isinstance(fixed, Mapping):
            names = [key for key, flag in fixed.items() if flag]
        else:
            names = list(fixed)
        for key in names:
            self._check_name(key, "fixed")
        self.fixed = set(names)
        self._check_values()

    def _check_name(self, key, where):
        if key not in self.parameters:
            raise ValueError(f"{where}: {type(self).__name__} has no parameter {key!r} "
                             f"(it has {', '.join(self.parameters)})")

    def _check_values(self):
        """Raise ValueError for a start value outside the parameter's domain."""

    def _require_positive(self, *keys):
        for key in keys:
            value = self.values.get(key)
            if value is not None and value <= 0:
                raise ValueError(f"{type(self).__name__} {key} must be > 0, got {value}")

    def _require_unit_interval(self, key, upper_open=False):
        value = self.values.get(key)
        if value is not None and not (0.0 <= value < 1.0 if upper_open else 0.0 <= value <= 1.0):
            interval = "[0, 1)" if upper_open else "[0, 1]"
            raise ValueError(f"{type(self).__name__} {key} must lie in {interval}, got {value}")

    def __repr__(self):
        args = ", ".join(f"{k}={v!r}" for k, v in self.values.items() if v is not None)
        name = f", name={self.name!r}" if self.name else ""
        return f"{type(self).__name__}({args}{name})"


class Peak(Term):
    """A peak: a unit-area line shape times its ``area`` in counts."""

    #: short name of the parameter that places the peak on the x axis
    position = "center"


class Background(Term):
    """A background term in counts per channel."""


class Gaussian(Peak):
    """Gaussian peak: ``area * exp(-(x - center)^2 / (2 sigma^2)) / (sigma sqrt(2 pi))`` per unit x.

    center: position (x units); sigma: standard deviation (x units, > 0; estimated from the half
    maximum around ``center`` if None); area: counts (estimated if None).
    Default bounds: center inside the fit window, sigma in [a quarter channel, the window's span],
    area >= 0.
    """
    parameters = ("center", "sigma", "area")
    kind = 0

    def __init__(self, center: float, sigma: Optional[float] = None, area: Optional[float] = None, *,
                 name: Optional[str] = None, bounds: Optional[Bounds] = None, fixed: Fixed = None):
        super().__init__(dict(center=_real(center, "Gaussian center", False), sigma=sigma, area=area),
                         name, bounds, fixed)

    def _check_values(self):
        self._require_positive("sigma")


class Lorentzian(Peak):
    """Lorentzian (Cauchy) peak: ``area * (fwhm/2) / (pi ((x - center)^2 + (fwhm/2)^2))`` per unit x.

    center: position (x units); fwhm: full width at half maximum (x units, > 0); area: counts.
    Default bounds: center inside the window, fwhm in [half a channel, twice the window's span],
    area >= 0.
    """
    parameters = ("center", "fwhm", "area")
    kind = 1

    def __init__(self, center: float, fwhm: Optional[float] = None, area: Optional[float] = None, *,
                 name: Optional[str] = None, bounds: Optional[Bounds] = None, fixed: Fixed = None):
        super().__init__(dict(center=_real(center, "Lorentzian center", False), fwhm=fwhm, area=area),
                         name, bounds, fixed)

    def _check_values(self):
        self._require_positive("fwhm")


class PseudoVoigt(Peak):
    """Pseudo-Voigt peak: ``eta`` times a Gaussian plus ``1 - eta`` times a Lorentzian of one centre
    and one full width at half maximum (eta is the Gaussian fraction), times ``area``.

    center (x units); fwhm (x units, > 0); eta in [0, 1] (default start 0.5); area: counts.
    Default bounds: center inside the window, fwhm in [half a channel, twice the span], eta in
    [0, 1], area >= 0.
    """
    parameters = ("center", "fwhm", "eta", "area")
    kind = 2

    def __init__(self, center: float, fwhm: Optional[float] = None, eta: Optional[float] = None,
                 area: Optional[float] = None, *, name: Optional[str] = None,
                 bounds: Optional[Bounds] = None, fixed: Fixed = None):
        super().__init__(dict(center=_real(center, "PseudoVoigt center", False), fwhm=fwhm, eta=eta,
                              area=area), name, bounds, fixed)

    def _check_values(self):
        self._require_positive("fwhm")
        self._require_unit_interval("eta")


class Voigt(Peak):
    """Voigt peak: a Gaussian of standard deviation ``sigma`` convolved with a Lorentzian of half
    width at half maximum ``gamma``, times ``area``.

    center (x units); sigma (x units, > 0); gamma (x units, >= 0; 0 is the Gaussian); area: counts.
    Default bounds: center inside the window, sigma in [a quarter channel, the span], gamma in
    [0, the span], area >= 0. The reported ``fwhm`` is the exact width of the profile.
    """
    parameters = ("center", "sigma", "gamma", "area")
    kind = 3

    def __init__(self, center: float, sigma: Optional[float] = None, gamma: Optional[float] = None,
                 area: Optional[float] = None, *, name: Optional[str] = None,
                 bounds: Optional[Bounds] = None, fixed: Fixed = None):
        super().__init__(dict(center=_real(center, "Voigt center", False), sigma=sigma, gamma=gamma,
                              area=area), name, bounds, fixed)

    def _check_values(self):
        self._require_positive("sigma")
        gamma = self.values.get("gamma")
        if gamma is not None and gamma < 0:
            raise ValueError(f"Voigt gamma must be >= 0, got {gamma}")


class DoniachSunjic(Peak):
    """Doniach-Sunjic line of metals' photoemission spectra:
    ``cos(pi alpha/2 + (1 - alpha) atan(u/gamma)) / (gamma^2 + u^2)^((1 - alpha)/2)``, u = x - center,
    normalised over the fit window's channels; ``area`` is its counts inside the window.

    center (x units); gamma: half width (x units, > 0); alpha: asymmetry in [0, 1) (default start
    0.1). tail: the side of the asymmetric tail, "high" (default: toward larger x, where a line's
    losses lie on a binding-energy axis in ascending order, so XPS spectra are fitted on their
    binding energies as they are) or "low" (toward smaller x, as on a kinetic-energy axis; the
    formula above as written). With "high" the line is the formula's mirror image, u = center - x.
    Default bounds: center inside the window, gamma in [a quarter channel, the span], alpha in
    [0, 0.95] (at alpha = 1 the line vanishes), area >= 0.
    """
    parameters = ("center", "gamma", "alpha", "area")
    kind = 4

    def __init__(self, center: float, gamma: Optional[float] = None, alpha: Optional[float] = None,
                 area: Optional[float] = None, *, tail: str = "high", name: Optional[str] = None,
                 bounds: Optional[Bounds] = None, fixed: Fixed = None):
        if tail not in ("high", "low"):
            raise ValueError(f"DoniachSunjic tail must be 'high' (toward larger x) or 'low', got {tail!r}")
        self.tail = tail
        super().__init__(dict(center=_real(center, "DoniachSunjic center", False), gamma=gamma,
                              alpha=alpha, area=area), name, bounds, fixed)

    def _check_values(self):
        self._require_positive("gamma")
        self._require_unit_interval("alpha", upper_open=True)


class TSDC(Peak):
    """Thermally stimulated depolarisation current of a first-order relaxation, on a temperature
    axis in kelvin, heated at the model's ``heating_rate`` (K/s).

    ea: activation energy (eV, > 0; estimated from the half width if None); tp: temperature of
    the maximum (K); area: counts (the current integrated over temperature, in the data's units).
    Default bounds: ea in [0.05, 10] eV, tp inside the window, area >= 0.
    """
    parameters = ("ea", "tp", "area")
    kind = 5
    position = "tp"

    def __init__(self, ea: Optional[float], tp: float, area: Optional[float] = None, *,
                 name: Optional[str] = None, bounds: Optional[Bounds] = None, fixed: Fixed = None):
        super().__init__(dict(ea=ea, tp=_real(tp, "TSDC tp", False), area=area), name, bounds, fixed)

    def _check_values(self):
        self._require_positive("ea", "tp")


class Constant(Background):
    """Flat background: ``level`` counts per channel (default start: a low quantile of the
    window's counts; default bounds level >= 0)."""
    parameters = ("level",)
    kind = 10

    def __init__(self, level: Optional[float] = None, *, name: Optional[str] = None,
                 bounds: Optional[Bounds] = None, fixed: Fixed = None):
        super().__init__(dict(level=level), name, bounds, fixed)


class Linear(Background):
    """Straight background: ``level + slope (x - x_ref)`` counts per channel.

    x_ref (x units) defaults to the fit window's lower end, so ``level`` is the background there;
    ``slope`` is in counts per channel per x unit. Both unbounded by default.
    """
    parameters = ("level", "slope")
    kind = 11

    def __init__(self, level: Optional[float] = None, slope: Optional[float] = None, *,
                 x_ref: Optional[float] = None, name: Optional[str] = None,
                 bounds: Optional[Bounds] = None, fixed: Fixed = None):
        self.x_ref = _real(x_ref, "Linear x_ref")
        super().__init__(dict(level=level, slope=slope), name, bounds, fixed)


class Polynomial(Background):
    """Polynomial background: ``sum_k c_k ((x - x_ref) / x_scale)^k`` counts per channel, k = 0..degree.

    x_ref defaults to the window's lower end and x_scale to the window's span, so the variable runs
    over [0, 1] and every coefficient is in counts per channel. ``coefficients`` are the starts
    (default: c0 a low quantile of the counts, the others 0). Unbounded by default.
    """
    kind = 12

    def __init__(self, degree: int, coefficients: Optional[Sequence[float]] = None, *,
                 x_ref: Optional[float] = None, x_scale: Optional[float] = None,
                 name: Optional[str] = None, bounds: Optional[Bounds] = None, fixed: Fixed = None):
        if isinstance(degree, bool) or not isinstance(degree, (int, np.integer)) or degree < 0:
            raise ValueError(f"Polynomial degree must be an integer >= 0, got {degree!r}")
        self.parameters = tuple(f"c{k}" for k in range(int(degree) + 1))
        self.degree = int(degree)
        self.x_ref = _real(x_ref, "Polynomial x_ref")
        self.x_scale = _real(x_scale, "Polynomial x_scale")
        if self.x_scale is not None and self.x_scale <= 0:
            raise ValueError(f"Polynomial x_scale must be > 0, got {self.x_scale}")
        values = {}
        if coefficients is not None:
            coefficients = list(coefficients)
            if len(coefficients) != degree + 1:
                raise ValueError(f"Polynomial coefficients has {len(coefficients)} entries, degree "
                                 f"{degree} needs {degree + 1}")
            values = dict(zip(self.parameters, coefficients))
        super().__init__(values, name, bounds, fixed)


class Exponential(Background):
    """Exponential background: ``amplitude exp(-rate (x - x_ref))`` counts per channel.

    x_ref defaults to the window's lower end (amplitude is the background there); rate in 1/x units.
    Default bounds: amplitude >= 0, rate unbounded.
    """
    parameters = ("amplitude", "rate")
    kind = 13

    def __init__(self, amplitude: Optional[float] = None, rate: Optional[float] = None, *,
                 x_ref: Optional[float] = None, name: Optional[str] = None,
                 bounds: Optional[Bounds] = None, fixed: Fixed = None):
        self.x_ref = _real(x_ref, "Exponential x_ref")
        super().__init__(dict(amplitude=amplitude, rate=rate), name, bounds, fixed)


def _direction(direction) -> float:
    if direction in (1, "up", "increasing", +1.0):
        return 1.0
    if direction in (-1, "down", "decreasing", -1.0):
        return -1.0
    raise ValueError(f"direction must be +1 (rises toward larger x) or -1, got {direction!r}")


class Shirley(Background):
    """Shirley step: ``k`` times the fitted peaks' counts on the low side of each channel (the
    channels below it plus half its own), in counts per channel.

    direction +1 (default): the step rises toward larger x, as on an ascending binding-energy
    axis, where inelastic losses lie above each line; -1 on a kinetic-energy axis. Pair it with a
    ``Constant`` for the level on the low side. Default bounds: k >= 0.
    """
    parameters = ("k",)
    kind = 14

    def __init__(self, k: Optional[float] = None, *, direction=1, name: Optional[str] = None,
                 bounds: Optional[Bounds] = None, fixed: Fixed = None):
        self.direction = _direction(direction)
        super().__init__(dict(k=k), name, bounds, fixed)


class Tougaard(Background):
    """Tougaard background with the two-parameter universal cross-section: in channel i,
    ``b * sum_j T/(c + T^2)^2 P_j`` over the channels j on the low side of i, T = |x_i - x_j| and
    P_j the fitted peaks' counts in channel j.

    b in x-units^2 (default bounds b >= 0), c in x-units^2 (default start 1643 eV^2, the universal
    value; bounds c > 0). direction as for ``Shirley``.
    """
    parameters = ("b", "c")
    kind = 15

    def __init__(self, b: Optional[float] = None, c: Optional[float] = None, *, direction=1,
                 name: Optional[str] = None, bounds: Optional[Bounds] = None, fixed: Fixed = None):
        self.direction = _direction(direction)
        super().__init__(dict(b=b, c=c), name, bounds, fixed)

    def _check_values(self):
        self._require_positive("c")


class UserRows(Background):
    """Background from rows you supply: ``sum_r a_r row_r`` counts per channel, one free amplitude
    (``a0``, ``a1``, ...) per row. Each row has one entry per data channel (the whole data, not the
    window; the fit slices them). Starts default to a least-squares fit of the rows to the lower
    part of the counts; amplitudes are unbounded by default.
    """
    kind = 16

    def __init__(self, rows, amplitudes: Optional[Sequence[float]] = None, *,
                 name: Optional[str] = None, bounds: Optional[Bounds] = None, fixed: Fixed = None):
        try:
            array = np.array(rows, dtype=float, copy=True)
        except (TypeError, ValueError):
            raise TypeError("rows must be a sequence of rows of real numbers") from None
        if array.ndim == 1:
            array = array[None, :]
        if array.ndim != 2 or array.shape[0] == 0 or array.shape[1] == 0:
            raise ValueError(f"rows must be a non-empty two-dimensional array, got shape {array.shape}")
        bad = np.argwhere(~np.isfinite(array))
        if bad.size:
            r, i = bad[0]
            raise ValueError(f"rows[{r}][{i}] is {array[r, i]}: every entry must be finite")
        self.rows = array
        self.parameters = tuple(f"a{r}" for r in range(array.shape[0]))
        values = {}
        if amplitudes is not None:
            amplitudes = list(amplitudes)
            if len(amplitudes) != array.shape[0]:
                raise ValueError(f"amplitudes has {len(amplitudes)} entries for {array.shape[0]} rows")
            values = dict(zip(self.parameters, amplitudes))
        super().__init__(values, name, bounds, fixed)
