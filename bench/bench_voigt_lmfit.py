"""The Voigt mixture fit side by side with lmfit, a general least-squares fitting package.

2,000 samples of Poisson counts on [480, 560]: three Voigt peaks (500 counts of peak per 0.04
units at most, 5e5 peak counts in all) over a flat 50 counts per sample. Both fits start from the
same rough guesses a user would make (centres 1 to 2 widths off, widths 1):

- brivane_core.run_voigt_em_loop: three Voigt peaks plus a uniform background, weighted maximum
  likelihood by EM, until the relative change of the log-likelihood falls below 1e-9;
- lmfit: three VoigtModel plus a ConstantModel, least squares (lmfit's default, Levenberg-Marquardt
  on the plain residuals), gamma of each VoigtModel set free (lmfit ties it to sigma by default),
  amplitudes started from the counts under each guessed peak.

Prints the time per fit (best of several) and each side's recovered centres, widths and peak
counts next to the truth. lmfit is a benchmark-only dependency: `pip install -r
bench/requirements.txt`.

    python bench/bench_voigt_lmfit.py [--quick]
"""
import argparse
import os
import sys

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # see tests/python/conftest.py

import numpy as np  # noqa: E402

import brivane_core  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_voigt import BOUNDS, PEAKS, START, WINDOW, reference_voigt, voigt_spectrum  # noqa: E402
from timing import best  # noqa: E402

PEAK_COUNTS = 500000.0


def module_fit(x, y):
    x0, sigma, gamma = (np.array(v, float) for v in START)
    pi = np.full(4, 0.25)
    t, _, _, _ = brivane_core.run_voigt_em_loop(x, y, x0, sigma, gamma, pi, np.ones(4), [False] * 3, [False] * 3,
                                                [False] * 3, *WINDOW, *BOUNDS, 1000, 1e-9, bg_type=1)
    density = sum(p * reference_voigt.density(x, c, s, g, *WINDOW) for p, c, s, g in zip(pi, x0, sigma, gamma))
    expected = y.sum() * (density + pi[3] / (WINDOW[1] - WINDOW[0])) * (x[1] - x[0])
    return x0, sigma, gamma, pi[:3] * y.sum(), t, expected


def deviance(y, expected):
    """The Poisson deviance 2 sum(y ln(y / mu) - (y - mu)): the same yardstick for both fits."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return float(2.0 * np.sum(np.where(y > 0, y * np.log(y / expected), 0.0) - (y - expected)))


def lmfit_model():
    from lmfit.models import ConstantModel, VoigtModel

    model = ConstantModel(prefix="bg_")
    for k in range(3):
        model = model + VoigtModel(prefix=f"p{k}_")
    return model


def lmfit_fit(model, x, y):
    params = model.make_params()
    step = x[1] - x[0]
    params["bg_c"].set(value=float(np.median(y)))
    for k, (c, s, g) in enumerate(zip(*START)):
        near = np.abs(x - c) < 3.0
        params[f"p{k}_center"].set(value=c, min=WINDOW[0], max=WINDOW[1])
        params[f"p{k}_sigma"].set(value=s, min=BOUNDS[0], max=BOUNDS[1])
        params[f"p{k}_gamma"].set(value=g, min=BOUNDS[2], max=BOUNDS[3], vary=True, expr="")
        params[f"p{k}_amplitude"].set(value=float(np.sum(y[near] - np.median(y)) * step), min=0.0)
    result = model.fit(y, params, x=x)
    values = result.params
    x0 = np.array([values[f"p{k}_center"].value for k in range(3)])
    sigma = np.array([values[f"p{k}_sigma"].value for k in range(3)])
    gamma = np.array([values[f"p{k}_gamma"].value for k in range(3)])
    # lmfit's amplitude is the area under the whole line; the module's weights are the counts
    # inside the grid, which is where the data are. Both are given as counts inside the grid.
    area = np.array([values[f"p{k}_amplitude"].value for k in range(3)]) / step
    counts = [a * reference_voigt.window_mass(c, s, g, *WINDOW) for a, c, s, g in zip(area, x0, sigma, gamma)]
    return x0, sigma, gamma, np.array(counts), result.nfev, result.best_fit


def table(name, x0, sigma, gamma, counts):
    for k in range(3):
        print(f"  {name:>8} peak {k}: x0 {x0[k]:9.4f}  sigma {sigma[k]:7.4f}  gamma {gamma[k]:7.4f}  "
              f"counts in the grid {counts[k]:9.0f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    repeats = 2 if parser.parse_args().quick else 5
    try:
        model = lmfit_model()
    except ImportError:
        raise SystemExit("lmfit is not installed: pip install -r bench/requirements.txt")
    x, y = voigt_spectrum()
    mine = module_fit(x, y)
    theirs = lmfit_fit(model, x, y)
    module_time = best(lambda: module_fit(x, y), repeats)
    lmfit_time = best(lambda: lmfit_fit(model, x, y), repeats)
    print(f"{os.cpu_count()} logical CPUs; n = {x.size}, 3 Voigt peaks + flat background, {y.sum():.0f} counts")
    print(f"run_voigt_em_loop: {module_time * 1e3:8.1f} ms per fit ({mine[4]} EM iterations)")
    print(f"lmfit leastsq:     {lmfit_time * 1e3:8.1f} ms per fit ({theirs[4]} model evaluations); "
          f"module / lmfit time {module_time / lmfit_time:.2f}")
    truth = [np.array(v) for v in zip(*PEAKS)]
    # The truth's counts inside the grid: the heavy tails put some of them beyond it.
    inside = [share * PEAK_COUNTS * reference_voigt.window_mass(c, s, g, *WINDOW) for c, s, g, share in PEAKS]
    table("truth", truth[0], truth[1], truth[2], inside)
    table("module", *mine[:4])
    table("lmfit", *theirs[:4])
    print(f"Poisson deviance of the fitted means ({x.size} samples): module {deviance(y, mine[5]):.1f}, "
          f"lmfit {deviance(y, theirs[5]):.1f}")


if __name__ == "__main__":
    main()
