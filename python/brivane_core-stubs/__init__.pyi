"""Type stubs and documentation of brivane_core, the raw compiled functions.

The module's own docstrings are bare text signatures, so the description of each function lives
here. Conventions shared by all fourteen:

- Arrays are one-dimensional float64 NumPy arrays; nothing is converted (a list or a float32
  array raises TypeError). Arrays named in "written back" are overwritten with the fitted values.
- ``intensity`` holds counts per sample, used as weights of the log-likelihood.
- ``x_min``, ``x_max`` (``t_min``, ``t_max``): the window; it bounds free centres and places the
  background rows.
- EM functions return ``(iterations, log_likelihood_history, relative_change_history, s_tri)``,
  both histories ``iterations + 1`` long; ``pi`` holds K peak weights then the background weights.
- ``bg_type``: 0 none, 1 uniform on the window, 2 square-root law, 3 linear with tilt ``s_tri``
  (re-estimated in [0, 0.99999]), 4 the rows of ``spline_basis_preds``, 5-255 one row of zeros.
- A broken size contract raises ``PanicException``, which derives from BaseException.

For a whole-spectrum model with bounds, ties, standard errors and reports use ``brivane.fit``.
"""
from typing import List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]
EmResult = Tuple[int, FloatArray, FloatArray, float]

__all__: List[str]

class PanicException(BaseException):
    """Raised when the native code fails internally (an index past an array's end, a length that
    breaks the size contract, an array borrowed twice). Like SystemExit it usually propagates."""

def run_em_loop(x: FloatArray, intensity: FloatArray, mu: FloatArray, sigma: FloatArray, pi: FloatArray,
                dirichlet_alpha: FloatArray, fix_mu: Sequence[bool], fix_sigma: Sequence[bool], max_iter: int,
                r_eps: float, x_min: float, x_max: float, bg_type: int = 0, s_tri: float = 0.0,
                spline_basis_preds: Optional[Sequence[FloatArray]] = None) -> EmResult:
    """EM of K Gaussian peaks (plain normal densities, centre ``mu``, standard deviation ``sigma``,
    x units) plus a background, with a Dirichlet prior ``dirichlet_alpha`` on the weights.
    Stops when the relative change of the log-likelihood is below ``r_eps`` or after ``max_iter``.
    Written back: ``mu``, ``sigma``, ``pi``."""

def run_pv_em_loop(x: FloatArray, intensity: FloatArray, x0: FloatArray, gamma_pv: FloatArray, eta: FloatArray,
                   pi: FloatArray, dirichlet_alpha: FloatArray, fix_x0: Sequence[bool], fix_gamma: Sequence[bool],
                   fix_eta: Sequence[bool], use_full_opt: bool, x_min: float, x_max: float, gamma_min: float,
                   gamma_max: float, max_iter: int, r_eps: float, bg_type: int = 0, s_tri: float = 0.0,
                   spline_basis_preds: Optional[Sequence[FloatArray]] = None) -> EmResult:
    """EM of K pseudo-Voigt peaks: ``eta`` (Gaussian fraction) times a normal density plus
    ``1 - eta`` times a Lorentzian normalised over the window, one centre ``x0`` and one full width
    at half maximum ``gamma_pv``. ``use_full_opt`` refits each peak by the full optimisation (width
    within [gamma_min, gamma_max]) instead of one conditional pass. Written back: ``x0``,
    ``gamma_pv``, ``eta``, ``pi``."""

def run_voigt_em_loop(x: FloatArray, intensity: FloatArray, x0: FloatArray, sigma_v: FloatArray,
                      gamma_v: FloatArray, pi: FloatArray, dirichlet_alpha: FloatArray, fix_x0: Sequence[bool],
                      fix_sigma: Sequence[bool], fix_gamma: Sequence[bool], x_min: float, x_max: float,
                      sigma_min: float, sigma_max: float, gamma_min: float, gamma_max: float, max_iter: int,
                      r_eps: float, bg_type: int = 0, s_tri: float = 0.0,
                      spline_basis_preds: Optional[Sequence[FloatArray]] = None) -> EmResult:
    """EM of K Voigt peaks (Gaussian standard deviation ``sigma_v``, Lorentzian half width
    ``gamma_v``), each divided by its mass inside the window; widths kept within their bounds.
    Written back: ``x0``, ``sigma_v``, ``gamma_v``, ``pi``."""

def run_lorentzian_em_loop(x: FloatArray, intensity: FloatArray, x0: FloatArray, gamma_lo: FloatArray,
                           pi: FloatArray, dirichlet_alpha: FloatArray, fix_x0: Sequence[bool],
                           fix_gamma: Sequence[bool], x_min: float, x_max: float, max_iter: int, r_eps: float,
                           bg_type: int = 0, s_tri: float = 0.0,
                           spline_basis_preds: Optional[Sequence[FloatArray]] = None) -> EmResult:
    """EM of K Lorentzian peaks (full width at half maximum ``gamma_lo`` within [0.1, 2000]),
    normalised by the trapezoid rule over the grid (``x`` must ascend). Note the order:
    ``x_min``, ``x_max`` come before ``max_iter``, ``r_eps``. Each refit writes "LBFGSB finished"
    to file descriptor 1. Written back: ``x0``, ``gamma_lo``, ``pi``."""

def run_ds_em_loop(x: FloatArray, intensity: FloatArray, x0: FloatArray, gamma_ds: FloatArray, alpha: FloatArray,
                   pi: FloatArray, dirichlet_alpha: FloatArray, fix_x0: Sequence[bool], fix_gamma: Sequence[bool],
                   fix_alpha: Sequence[bool], x_min: float, x_max: float, gamma_min: float, gamma_max: float,
                   alpha_min: float, alpha_max: float, max_iter: int, r_eps: float, bg_type: int = 0,
                   s_tri: float = 0.0, spline_basis_preds: Optional[Sequence[FloatArray]] = None) -> EmResult:
    """EM of K Doniach-Sunjic lines (half width ``gamma_ds``, asymmetry ``alpha``; the tail lies
    below the centre), each normalised by the trapezoid rule over the grid (``x`` must ascend).
    Written back: ``x0``, ``gamma_ds``, ``alpha``, ``pi``."""

def run_tsdc_em_loop(t: FloatArray, intensity: FloatArray, ea: FloatArray, tau0: FloatArray, tp: FloatArray,
                     pi: FloatArray, dirichlet_alpha: FloatArray, fix_ea: Sequence[bool], fix_tp: Sequence[bool],
                     beta: float, ea_min: float, ea_max: float, t_min: float, t_max: float, max_iter: int,
                     r_eps: float, bg_type: int = 0, s_tri: float = 0.0,
                     spline_basis_preds: Optional[Sequence[FloatArray]] = None) -> EmResult:
    """EM of K thermally stimulated depolarisation current peaks on the temperature grid ``t`` (K):
    activation energy ``ea`` (eV, within [ea_min, ea_max]), ``tau0`` (s, with ``beta`` in K/s) and
    peak temperature ``tp`` (K, within [t_min, t_max], also the background's window); curves
    normalised by the trapezoid rule over the grid. Written back: ``ea``, ``tau0``, ``tp``, ``pi``."""

def pseudo_voigt_predict(x: FloatArray, x0: float, gamma: float, eta: float, x_min: float,
                         x_max: float) -> FloatArray:
    """The pseudo-Voigt density on ``x`` (a new array): ``eta`` times the normal density of full
    width ``gamma`` plus ``1 - eta`` times the Lorentzian of that width normalised over
    [x_min, x_max]. Parameters are not checked (eta outside [0, 1] gives negative values)."""

def pseudo_voigt_mle_conditional_max(x: FloatArray, intensity: FloatArray, x0: float, gamma: float, eta: float,
                                     x_min: float, x_max: float, fix_x0: bool = False, fix_gamma: bool = False,
                                     fix_eta: bool = False) -> Tuple[float, float, float]:
    """One pass of conditional maximisation of one pseudo-Voigt peak: (x0, gamma) by nested root
    searches, then eta from 0.80, 0.81, ..., 0.99. Returns (x0, gamma, eta)."""

def pseudo_voigt_mle_full_optimization(x: FloatArray, intensity: FloatArray, x0: float, gamma: float,
                                       eta: float, x_min: float, x_max: float, gamma_min: float,
                                       gamma_max: float, max_iter: int, r_eps: float, fix_x0: bool = False,
                                       fix_gamma: bool = False, fix_eta: bool = False) -> Tuple[float, float, float]:
    """Maximum likelihood of one pseudo-Voigt peak: bounded L-BFGS-B steps in (x0, gamma) alternating
    with eta from 0.00, 0.01, ..., 0.99. Returns (x0, gamma, eta)."""

def lorentzian_mle(x: FloatArray, intensity: FloatArray, x0: float, gamma: float, x_min: float, x_max: float,
                   fix_x0: bool = False, fix_gamma: bool = False) -> Tuple[float, float]:
    """Maximum likelihood of one Lorentzian peak by L-BFGS-B: centre within the window, full width
    ``gamma`` within [0.1, 2000]. Writes "LBFGSB finished" to file descriptor 1. Returns (x0, gamma)."""

def doniach_sunjic_mle(x: FloatArray, intensity: FloatArray, x0: float, gamma: float, alpha: float, x_min: float,
                       x_max: float, gamma_min: float, gamma_max: float, alpha_min: float, alpha_max: float,
                       fix_x0: bool = False, fix_gamma: bool = False,
                       fix_alpha: bool = False) -> Tuple[float, float, float]:
    """Maximum likelihood of one Doniach-Sunjic line by bounded minimisation, from the values
    passed. Returns (x0, gamma, alpha)."""

def tsdc_predict(t: FloatArray, ea: float, tau0: float, beta: float) -> FloatArray:
    """The current of one first-order relaxation (ea in eV, tau0 in s, beta in K/s) on the
    temperature grid ``t`` (K), normalised by the trapezoid rule over the grid (a new array)."""

def tsdc_mle_find_root(t: FloatArray, intensity: FloatArray, ea: float, tau0: float, tp: float, ea_min: float,
                       ea_max: float, beta: float, fix_ea: bool = False,
                       fix_tp: bool = False) -> Tuple[float, float, float]:
    """One TSDC peak by its likelihood equations: ea searched in [ea_min, ea_max], then tau0 and tp.
    Raises RuntimeError("brentq failed: ...") when a search fails. Returns (ea, tau0, tp)."""

def tsdc_mle_lbfgsb(t: FloatArray, intensity: FloatArray, ea: float, tau0: float, tp: float, ea_min: float,
                    ea_max: float, t_min: float, t_max: float, beta: float, fix_ea: bool = False,
                    fix_tp: bool = False) -> Tuple[float, float, float]:
    """One TSDC peak by bounded minimisation over ea in [ea_min, ea_max] and tp in [t_min, t_max],
    tau0 following the peak relation. Raises RuntimeError("L-BFGS-B failed") for unordered bounds.
    Returns (ea, tau0, tp)."""
