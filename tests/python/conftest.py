import os
import sys

# SciPy's L-BFGS-B calls BLAS on matrices of a few rows; with a thread per core, waking the BLAS
# threads costs milliseconds per iteration, a hundred times the work.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import pytest  # noqa: E402

sys.path.insert(0, os.path.dirname(__file__))


def three_peak_spectrum(seed=20261207, n_bins=600):
    """Histogram on [0, 60) of draws from three Gaussians (centres 15, 30, 42; widths 2, 3, 1.5;
    weights 0.4, 0.35, 0.25 of 30,000 draws) plus 3,000 uniform background draws."""
    rng = np.random.default_rng(seed)
    draws = np.concatenate([
        rng.normal(15.0, 2.0, 12000),
        rng.normal(30.0, 3.0, 10500),
        rng.normal(42.0, 1.5, 7500),
        rng.uniform(0.0, 60.0, 3000),
    ])
    edges = np.linspace(0.0, 60.0, n_bins + 1)
    counts, _ = np.histogram(draws, bins=edges)
    return 0.5 * (edges[:-1] + edges[1:]), counts.astype(float)


@pytest.fixture
def spectrum():
    return three_peak_spectrum()


def em_arguments(x, intensity, mu, sigma, pi=None, alpha=None, **overrides):
    """Keyword arguments of run_em_loop with sensible defaults; arrays are fresh copies."""
    k = len(mu)
    b = overrides.pop("background_rows", 0)
    args = dict(
        x=np.asarray(x, float),
        intensity=np.asarray(intensity, float),
        mu=np.array(mu, float),
        sigma=np.array(sigma, float),
        pi=np.full(k + b, 1.0 / (k + b)) if pi is None else np.array(pi, float),
        dirichlet_alpha=np.ones(k + b) if alpha is None else np.array(alpha, float),
        fix_mu=[False] * k,
        fix_sigma=[False] * k,
        max_iter=200,
        r_eps=1e-10,
        x_min=float(np.min(x)) if len(x) else 0.0,
        x_max=float(np.max(x)) if len(x) else 1.0,
    )
    args.update(overrides)
    return args
