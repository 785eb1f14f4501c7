"""Each mixture shape's synthetic spectrum, rough start and EM keyword arguments, in one place: the
shapes' own test files use them, and test_mixture_shapes.py runs the checks that every mixture
entry must pass over all of them."""
import functools
from dataclasses import dataclass
from typing import Callable

import numpy as np
import pytest

import brivane_core
import reference_doniach_sunjic
import reference_voigt

# --- Lorentzian --------------------------------------------------------------------------------


def cauchy_counts(x, centres, widths, shares, total, seed):
    """Poisson counts of a mixture of Lorentzians (full widths at half maximum) on the grid."""
    rng = np.random.default_rng(seed)
    density = sum(s / (1.0 + ((x - c) / (0.5 * w)) ** 2) / (0.5 * w) for c, w, s in zip(centres, widths, shares))
    return rng.poisson(density / density.sum() * total).astype(float)


def lorentzian_arguments(x, counts, x0, gamma, **overrides):
    k = len(x0)
    b = 0 if overrides.get("bg_type", 0) == 0 else 1
    args = dict(x=x, intensity=counts, x0=np.array(x0, float), gamma_lo=np.array(gamma, float),
                pi=np.full(k + b, 1.0 / (k + b)), dirichlet_alpha=np.ones(k + b), fix_x0=[False] * k,
                fix_gamma=[False] * k, x_min=float(x[0]), x_max=float(x[-1]), max_iter=100, r_eps=1e-9)
    args.update(overrides)
    return args


def lorentzian_two_peaks():
    x = np.linspace(0.0, 100.0, 1001)
    counts = cauchy_counts(x, [35.0, 60.0], [4.0, 8.0], [0.6, 0.4], 60000, seed=21)
    return x, counts + np.random.default_rng(4).poisson(5.0, x.size)


LORENTZIAN_ROUGH = dict(x0=[30.0, 65.0], gamma=[6.0, 6.0])

# --- Voigt -------------------------------------------------------------------------------------

# Three peaks on an XPS- or Raman-like axis far from zero, the middle one nearly Gaussian, the last
# nearly Cauchy: (centre, sigma, gamma, share of the peak counts).
VOIGT_PEAKS = [(500.0, 0.8, 0.5, 0.45), (512.0, 1.2, 0.15, 0.35), (535.0, 0.4, 1.2, 0.20)]
VOIGT_WINDOW = (480.0, 560.0)
VOIGT_BOUNDS = (0.01, 10.0, 0.01, 10.0)  # sigma_min, sigma_max, gamma_min, gamma_max


def voigt_counts(x, peaks, peak_counts, background, seed):
    """Poisson counts whose mean is the peaks' profiles times the sample spacing times their counts,
    plus `background` per sample."""
    step = x[1] - x[0]
    mean = sum(share * reference_voigt.profile(x - c, s, g) for c, s, g, share in peaks) * step * peak_counts
    return np.random.default_rng(seed).poisson(mean + background).astype(float)


def voigt_arguments(x, counts, x0, sigma, gamma, window=VOIGT_WINDOW, bounds=VOIGT_BOUNDS, **overrides):
    k = len(x0)
    b = 0 if overrides.get("bg_type", 0) == 0 else 1
    args = dict(x=x, intensity=counts, x0=np.array(x0, float), sigma_v=np.array(sigma, float),
                gamma_v=np.array(gamma, float), pi=np.full(k + b, 1.0 / (k + b)), dirichlet_alpha=np.ones(k + b),
                fix_x0=[False] * k, fix_sigma=[False] * k, fix_gamma=[False] * k, x_min=window[0], x_max=window[1],
                sigma_min=bounds[0], sigma_max=bounds[1], gamma_min=bounds[2], gamma_max=bounds[3], max_iter=300,
                r_eps=1e-9)
    args.update(overrides)
    return args


def voigt_three_peaks():
    x = np.linspace(*VOIGT_WINDOW, 2000)
    return x, voigt_counts(x, VOIGT_PEAKS, 500000, 50.0, seed=31)


# Rough starts: every centre 1 to 2 of its peak's widths off, every width 1.
VOIGT_ROUGH = dict(x0=[501.5, 510.0, 536.5], sigma=[1.0] * 3, gamma=[1.0] * 3)

# --- Doniach-Sunjic ----------------------------------------------------------------------------


def trapezoid_cells(x):
    """Each sample's share of the trapezoid rule: half the distance between its neighbours."""
    cells = np.empty_like(x)
    cells[1:-1] = 0.5 * (x[2:] - x[:-2])
    cells[0], cells[-1] = 0.5 * (x[1] - x[0]), 0.5 * (x[-1] - x[-2])
    return cells


def ds_counts(x, peaks, background, seed):
    """Poisson counts: for each (x0, gamma, alpha, counts) the grid-normalised density times the
    sample's trapezoid cell times the counts, so that the mean is exactly the model the fit
    maximises; plus `background` per sample."""
    cells = trapezoid_cells(x)
    mean = sum(n * reference_doniach_sunjic.density(x, c, g, a) * cells for c, g, a, n in peaks) + background
    return np.random.default_rng(seed).poisson(mean).astype(float)


# The Au 4f doublet's shape on an axis far from zero: 4f7/2 and 4f5/2 3.67 apart, area ratio 3:4.
DOUBLET = [(88.0, 0.3, 0.1, 120000), (91.67, 0.3, 0.1, 90000)]
DS_BOUNDS = (0.01, 5.0, 0.0, 0.5)


def ds_arguments(x, counts, x0, gamma, alpha, window=None, **overrides):
    k = len(x0)
    b = 0 if overrides.get("bg_type", 0) == 0 else 1
    window = (x[0], x[-1]) if window is None else window
    args = dict(x=x, intensity=counts, x0=np.array(x0, float), gamma_ds=np.array(gamma, float),
                alpha=np.array(alpha, float), pi=np.full(k + b, 1.0 / (k + b)), dirichlet_alpha=np.ones(k + b),
                fix_x0=[False] * k, fix_gamma=[False] * k, fix_alpha=[False] * k, x_min=window[0], x_max=window[1],
                gamma_min=DS_BOUNDS[0], gamma_max=DS_BOUNDS[1], alpha_min=DS_BOUNDS[2], alpha_max=DS_BOUNDS[3],
                max_iter=500, r_eps=1e-10)
    args.update(overrides)
    return args


def ds_doublet():
    x = np.linspace(80.0, 100.0, 1001)
    return x, ds_counts(x, DOUBLET, 30.0, seed=42)


DS_ROUGH = dict(x0=[87.3, 92.5], gamma=[0.8, 0.8], alpha=[0.02, 0.02])

# --- Checks shared by the shapes' tests --------------------------------------------------------


def expect_first_e_step(counts, rows, start_pi, ll, pi_after):
    """The first iteration's E-step and weight update by NumPy, from the peaks' and background's
    density rows at the start: its log-likelihood is the entry's ll[0] and its weights the ones the
    entry wrote back. Returns the responsibilities, from which the refits' weights follow."""
    m = start_pi @ rows
    g = rows * start_pi[:, None] / (m + 1e-20)
    assert ll[0] == pytest.approx(counts @ np.log(m + 1e-200), rel=1e-12)
    b = g @ counts
    np.testing.assert_allclose(pi_after, b / b.sum(), rtol=1e-12)
    return g


# --- The shapes as one list --------------------------------------------------------------------


@dataclass(frozen=True)
class MixtureShape:
    name: str
    run: Callable  # the EM entry
    spectrum: Callable  # () -> (x, counts), computed once
    arguments: Callable  # (x, counts, *rough start, **overrides) -> keyword arguments
    rough: dict  # the rough start, in the order `arguments` takes it
    written: tuple  # the arrays of parameter values the entry writes back
    flags: tuple  # the keyword arguments holding each parameter
    gamma_max: float = None  # the upper width bound given, where the entry takes a gamma_min
    # Iterations of the all-held run, and of the NaN-bound one (None: the arguments' own).
    held_iterations: int = 4
    nan_bound_iterations: int = None

    def start(self, **overrides):
        x, counts = self.spectrum()
        return self.arguments(x, counts, *self.rough.values(), **overrides)

    @property
    def peaks(self):
        return len(next(iter(self.rough.values())))


SHAPES = [
    MixtureShape("lorentzian", brivane_core.run_lorentzian_em_loop, functools.cache(lorentzian_two_peaks),
                 lorentzian_arguments, LORENTZIAN_ROUGH, ("x0", "gamma_lo"), ("fix_x0", "fix_gamma"),
                 held_iterations=5),
    MixtureShape("voigt", brivane_core.run_voigt_em_loop, functools.cache(voigt_three_peaks), voigt_arguments,
                 VOIGT_ROUGH, ("x0", "sigma_v", "gamma_v"), ("fix_x0", "fix_sigma", "fix_gamma"), VOIGT_BOUNDS[3],
                 nan_bound_iterations=3),
    MixtureShape("doniach_sunjic", brivane_core.run_ds_em_loop, functools.cache(ds_doublet), ds_arguments, DS_ROUGH,
                 ("x0", "gamma_ds", "alpha"), ("fix_x0", "fix_gamma", "fix_alpha"), DS_BOUNDS[1]),
]
