"""Spectra per second of brivane.fit_many on a map, side by side with lmfit in a loop and with
xarray's curvefit (SciPy's curve_fit pixel by pixel) on the same spectra.

Every spectrum: 1,000 channels, two peaks of one shape (Gaussian, Lorentzian, pseudo-Voigt or
Voigt) on a linear background, Poisson counts drawn from known parameters whose centres move from
pixel to pixel. Every tool starts from the same values, 10% off: widths and areas 10% high or
low, each centre a tenth of its peak's full width off, the background's level and slope 10% off.
brivane fits by Poisson maximum likelihood on its pool (all cores, `--threads`), lmfit by least
squares with weights 1/sqrt(max(counts, 1)), curvefit by unweighted least squares (its default).
lmfit and curvefit run one spectrum after another on one core and are timed on a subset; their
rate is that subset's (extrapolated to the map: the rate is per spectrum, so the map's time is its
size over the rate). Each tool's wrong-fit rate counts spectra with a centre more than 4 standard
errors from the truth, or no standard error, or not converged.

lmfit is a benchmark-only dependency: `pip install -r bench/requirements.txt`.

    python bench/bench_fit_many.py [--spectra 20000] [--subset 40] [--shapes gaussian,...]
"""
import argparse
import os
import sys
import time
import warnings

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # see tests/python/conftest.py

import numpy as np  # noqa: E402
from scipy import special  # noqa: E402

import brivane  # noqa: E402

X = np.linspace(200.0, 1199.0, 1000)
CENTRES = (520.0, 610.0)
FWHM = (18.0, 26.0)
AREAS = (4.0e4, 2.0e4)        # counts
LEVEL, SLOPE = 60.0, 0.02     # counts per channel; per x unit
SIGMA_PER_FWHM = 1.0 / (2.0 * np.sqrt(2.0 * np.log(2.0)))
ETA = 0.5                     # the pseudo-Voigt's Gaussian fraction
VOIGT_SHARE = 0.5             # the Voigt's sigma and gamma from this split of the FWHM


def peak(shape, centre, fwhm, area):
    if shape == "gaussian":
        return brivane.Gaussian(centre, fwhm * SIGMA_PER_FWHM, area=area)
    if shape == "lorentzian":
        return brivane.Lorentzian(centre, fwhm, area=area)
    if shape == "pseudo_voigt":
        return brivane.PseudoVoigt(centre, fwhm, ETA, area=area)
    return brivane.Voigt(centre, VOIGT_SHARE * fwhm * SIGMA_PER_FWHM, VOIGT_SHARE * fwhm / 2.0, area=area)


def make_map(shape, spectra, seed):
    rng = np.random.default_rng(seed)
    shifts = rng.normal(0.0, 1.5, (spectra, 2))
    counts = np.empty((spectra, X.size))
    for s in range(spectra):
        truth = brivane.Model([peak(shape, CENTRES[k] + shifts[s, k], FWHM[k], AREAS[k]) for k in range(2)],
                              background=brivane.Linear(level=LEVEL, slope=SLOPE, x_ref=X[0]))
        counts[s] = rng.poisson(truth.evaluate(X))
    return counts, np.array(CENTRES) + shifts


def start_model(shape):
    peaks = [peak(shape, CENTRES[0] + 0.1 * FWHM[0], 1.1 * FWHM[0], 0.9 * AREAS[0]),
             peak(shape, CENTRES[1] - 0.1 * FWHM[1], 0.9 * FWHM[1], 1.1 * AREAS[1])]
    return brivane.Model(peaks, background=brivane.Linear(level=1.1 * LEVEL, slope=0.9 * SLOPE, x_ref=X[0]))


def wrong_rate(centres, errors, converged, truth):
    with np.errstate(invalid="ignore"):
        bad = ~converged | ~np.isfinite(errors).all(axis=1) | (np.abs(centres - truth) > 4.0 * errors).any(axis=1)
    return float(np.mean(bad))


# ------------------------------------------------------------------------------------------------

def run_brivane(shape, counts, truth, threads):
    model = start_model(shape)
    brivane.fit_many(X, counts[:64], model, threads=threads)    # warm the pool
    begin, cpu = time.perf_counter(), time.process_time()
    result = brivane.fit_many(X, counts, model, threads=threads)
    elapsed, cpu = time.perf_counter() - begin, time.process_time() - cpu
    centres = np.stack([result.theta[:, result.parameter_names.index(f"p{k}.center")] for k in range(2)], axis=1)
    errors = np.stack([result._stderr[f"p{k}.center"] for k in range(2)], axis=1)
    cores = threads or brivane.get_threads()
    return (counts.shape[0] / elapsed, cores * counts.shape[0] / cpu,
            wrong_rate(centres, errors, result.converged, truth), float(np.mean(result.n_iterations)))


def lmfit_model(shape):
    import lmfit

    kinds = {"gaussian": lmfit.models.GaussianModel, "lorentzian": lmfit.models.LorentzianModel,
             "pseudo_voigt": lmfit.models.PseudoVoigtModel, "voigt": lmfit.models.VoigtModel}
    model = lmfit.models.LinearModel()
    for k in range(2):
        model = model + kinds[shape](prefix=f"p{k}_")
    params = model.make_params(intercept=1.1 * LEVEL - 0.9 * SLOPE * X[0], slope=0.9 * SLOPE)
    dx = X[1] - X[0]
    for k, (c, w, a) in enumerate([(CENTRES[0] + 0.1 * FWHM[0], 1.1 * FWHM[0], 0.9 * AREAS[0]),
                                   (CENTRES[1] - 0.1 * FWHM[1], 0.9 * FWHM[1], 1.1 * AREAS[1])]):
        p = f"p{k}_"
        params[p + "center"].set(value=c)
        params[p + "amplitude"].set(value=a * dx, min=0.0)
        if shape == "gaussian":
            params[p + "sigma"].set(value=w * SIGMA_PER_FWHM, min=1e-3)
        elif shape == "lorentzian":
            params[p + "sigma"].set(value=w / 2.0, min=1e-3)
        elif shape == "pseudo_voigt":
            # lmfit's pseudo-Voigt: sigma is half the FWHM, fraction the Lorentzian share.
            params[p + "sigma"].set(value=w / 2.0, min=1e-3)
            params[p + "fraction"].set(value=1.0 - ETA, min=0.0, max=1.0)
        else:
            params[p + "sigma"].set(value=VOIGT_SHARE * w * SIGMA_PER_FWHM, min=1e-3)
            params[p + "gamma"].set(value=VOIGT_SHARE * w / 2.0, min=0.0, vary=True, expr=None)
    return model, params


def run_lmfit(shape, counts, truth):
    model, params = lmfit_model(shape)
    centres = np.full((counts.shape[0], 2), np.nan)
    errors = np.full((counts.shape[0], 2), np.nan)
    converged = np.zeros(counts.shape[0], bool)
    begin, cpu = time.perf_counter(), time.process_time()
    for s in range(counts.shape[0]):
        y = counts[s]
        result = model.fit(y, params, x=X, weights=1.0 / np.sqrt(np.maximum(y, 1.0)))
        converged[s] = result.success
        for k in range(2):
            parameter = result.params[f"p{k}_center"]
            centres[s, k] = parameter.value
            errors[s, k] = parameter.stderr if parameter.stderr is not None else np.nan
    elapsed, cpu = time.perf_counter() - begin, time.process_time() - cpu
    return counts.shape[0] / elapsed, counts.shape[0] / cpu, wrong_rate(centres, errors, converged, truth)


def numpy_shape(shape):
    def one(x, c, w, a):
        u = x - c
        if shape == "gaussian":
            s = w * SIGMA_PER_FWHM
            return a * np.exp(-0.5 * (u / s) ** 2) / (s * np.sqrt(2.0 * np.pi))
        if shape == "lorentzian":
            return a * (w / 2.0) / (np.pi * (u * u + w * w / 4.0))
        if shape == "pseudo_voigt":
            s = w * SIGMA_PER_FWHM
            return a * (ETA * np.exp(-0.5 * (u / s) ** 2) / (s * np.sqrt(2.0 * np.pi))
                        + (1.0 - ETA) * (w / 2.0) / (np.pi * (u * u + w * w / 4.0)))
        return a * special.voigt_profile(u, VOIGT_SHARE * w * SIGMA_PER_FWHM, VOIGT_SHARE * w / 2.0)

    def model(x, c0, w0, a0, c1, w1, a1, level, slope):
        dx = X[1] - X[0]
        return dx * (one(x, c0, w0, a0) + one(x, c1, w1, a1)) + level + slope * (x - X[0])
    return model


def run_curvefit(shape, counts, truth):
    import xarray as xr

    data = xr.DataArray(counts, dims=("pixel", "x"), coords={"x": X})
    p0 = {"c0": CENTRES[0] + 0.1 * FWHM[0], "w0": 1.1 * FWHM[0], "a0": 0.9 * AREAS[0],
          "c1": CENTRES[1] - 0.1 * FWHM[1], "w1": 0.9 * FWHM[1], "a1": 1.1 * AREAS[1],
          "level": 1.1 * LEVEL, "slope": 0.9 * SLOPE}
    begin, cpu = time.perf_counter(), time.process_time()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fitted = data.curvefit("x", numpy_shape(shape), p0=p0, errors="ignore").compute()
    elapsed, cpu = time.perf_counter() - begin, time.process_time() - cpu
    coefficients = fitted.curvefit_coefficients
    covariance = fitted.curvefit_covariance
    centres = np.stack([coefficients.sel(param=f"c{k}").values for k in range(2)], axis=1)
    errors = np.stack([np.sqrt(covariance.sel(cov_i=f"c{k}", cov_j=f"c{k}").values) for k in range(2)], axis=1)
    converged = np.isfinite(centres).all(axis=1)
    return counts.shape[0] / elapsed, counts.shape[0] / cpu, wrong_rate(centres, errors, converged, truth)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--spectra", type=int, default=20000, help="spectra brivane fits per shape")
    parser.add_argument("--subset", type=int, default=40, help="spectra lmfit and curvefit fit per shape")
    parser.add_argument("--threads", type=int, default=None, help="brivane's threads (default: the pool's)")
    parser.add_argument("--shapes", default="gaussian,lorentzian,pseudo_voigt,voigt")
    args = parser.parse_args()
    print(f"{X.size} channels, 2 peaks + linear background, starts 10% off; brivane on "
          f"{args.threads or brivane.get_threads()} threads over {args.spectra} spectra per shape; "
          f"lmfit and curvefit on one core over the first {args.subset} (rates extrapolated)")
    print("rates in spectra per second: wall clock / CPU time (see the module docstring)")
    print(f"{'shape':13s} {'brivane /s':>15s} {'iter':>5s} {'wrong':>6s} | {'lmfit /s':>13s} {'wrong':>6s} "
          f"{'ratio':>6s} | {'curvefit /s':>13s} {'wrong':>6s} {'ratio':>6s}")
    for shape in args.shapes.split(","):
        counts, truth = make_map(shape, args.spectra, seed=2026)
        wall, rate, wrong, iterations = run_brivane(shape, counts, truth, args.threads)
        lm_wall, lm_rate, lm_wrong = run_lmfit(shape, counts[:args.subset], truth[:args.subset])
        cf_wall, cf_rate, cf_wrong = run_curvefit(shape, counts[:args.subset], truth[:args.subset])
        print(f"{shape:13s} {wall:7.0f}/{rate:<7.0f} {iterations:5.1f} {wrong:6.1%} | {lm_wall:6.1f}/{lm_rate:<6.1f} "
              f"{lm_wrong:6.1%} {rate / lm_rate:5.0f}x | {cf_wall:6.1f}/{cf_rate:<6.1f} {cf_wrong:6.1%} "
              f"{rate / cf_rate:5.0f}x", flush=True)


if __name__ == "__main__":
    main()
