"""How far the Voigt fits move between two builds: run once with the old build to save its results,
then with the new one to compare. For a change of the Faddeeva kernel, whose values may move by a
few ulp, this shows what those ulp do to the fits users run.

    python bench/voigt_changes.py --save old.npz      (with the old build installed)
    python bench/voigt_changes.py --against old.npz   (with the new one)

The fits:
- run_voigt_em_loop on 40 draws of bench_voigt's three-peak spectrum (2,000 samples) from the
  user's rough starts, to a relative log-likelihood change of 1e-9, with the standard errors of
  the layer's fit of the same model;
- the layer's Voigt fits: the Au 4f doublet of examples/model_xps_au4f.py, and 20 simulated
  spectra of two Voigt peaks on a linear background (rough starts, small and large counts, an axis
  far from zero).

Prints, per group, the largest change of any fitted value relative to its size and, for the
in units of its standard error; and the iteration counts that differ.
"""
import argparse
import os
import sys

import numpy as np

import brivane
import brivane_core

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from bench_voigt import BOUNDS, START, WINDOW, voigt_spectrum  # noqa: E402
import reference_voigt  # noqa: E402  (bench_voigt puts the tests' references on the path)

ROOT = os.path.dirname(HERE)


def em_fits():
    results = {}
    for seed in range(40):
        x, y = voigt_spectrum(seed=seed)
        x0, sigma, gamma = (np.array(v, float) for v in START)
        pi = np.full(4, 0.25)
        iterations, _, _, _ = brivane_core.run_voigt_em_loop(
            x, y, x0, sigma, gamma, pi, np.ones(4), [False] * 3, [False] * 3, [False] * 3, *WINDOW, *BOUNDS,
            1000, 1e-9, bg_type=1)
        # The EM gives no standard errors: the layer's fit of the same model to the same spectrum
        # does, for the centres, sigmas and gammas (the weights pi are compared relatively only).
        model = brivane.Model([brivane.Voigt(c, name=f"p{k}") for k, c in enumerate(START[0])],
                              background=[brivane.Constant()])
        errors = brivane.fit(x, y, model).stderr
        scale = np.array([errors[f"p{k}.{p}"] for p in ("center", "sigma", "gamma") for k in range(3)] + [np.inf] * 4)
        results[f"em {seed}"] = (np.concatenate([x0, sigma, gamma, pi]), scale, iterations)
    return results


def layer_result(result):
    names = sorted(result.values)
    return (np.array([result.values[n] for n in names]), np.array([result.stderr[n] for n in names]),
            result.n_iterations)


def layer_fits():
    results = {}
    binding, counts = np.loadtxt(os.path.join(ROOT, "examples", "data", "xps_Au4f_clean_counts.csv"), delimiter=",",
                                 skiprows=1, unpack=True)
    model = brivane.Model([brivane.Voigt(84.0, name="f72"), brivane.Voigt(87.7, name="f52")],
                          background=[brivane.Constant(), brivane.Shirley()])
    for parameter in ("sigma", "gamma"):
        model.tie(f"f52.{parameter}", f"f72.{parameter}")
    results["layer Au 4f"] = layer_result(brivane.fit(binding, counts, model))
    rng = np.random.default_rng(7)
    for k in range(20):
        offset = 0.0 if k % 2 == 0 else 1.0e4
        x = np.linspace(offset, offset + 100.0, 1500)
        scale = 10.0 ** rng.uniform(1.0, 5.0)
        centres = offset + np.array([rng.uniform(25.0, 45.0), rng.uniform(55.0, 75.0)])
        sigmas, gammas = rng.uniform(0.5, 3.0, 2), rng.uniform(0.2, 3.0, 2)
        areas = scale * rng.uniform(5.0, 20.0, 2)
        mean = scale * 0.05 + sum(a * reference_voigt.profile(x - c, s, g) for c, s, g, a in
                                  zip(centres, sigmas, gammas, areas)) * (x[1] - x[0])
        counts = rng.poisson(mean).astype(float)
        start = brivane.Model([brivane.Voigt(c + rng.uniform(-1.5, 1.5)) for c in centres],
                              background=[brivane.Linear()])
        results[f"layer #{k}"] = layer_result(brivane.fit(x, counts, start))
    return results


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--save", metavar="FILE")
    group.add_argument("--against", metavar="FILE")
    args = parser.parse_args(argv)
    results = {**em_fits(), **layer_fits()}
    if args.save:
        flat = {}
        for name, (values, errors, iterations) in results.items():
            flat[name + "/values"] = values
            flat[name + "/iterations"] = np.array(iterations)
            if errors is not None:
                flat[name + "/errors"] = errors
        np.savez(args.save, **flat)
        print(f"{len(results)} fits saved to {args.save}")
        return
    old = np.load(args.against)
    worst = {}
    for name, (values, errors, iterations) in results.items():
        group = name.split(" ")[0]
        before = old[name + "/values"]
        relative = float(np.max(np.abs(values - before) / np.maximum(np.abs(before), 1e-300)))
        in_errors = float(np.max(np.abs(values - before) / errors)) if errors is not None else float("nan")
        w = worst.setdefault(group, {"relative": (0.0, ""), "errors": (0.0, ""), "iterations": []})
        if relative > w["relative"][0]:
            w["relative"] = (relative, name)
        if in_errors > w["errors"][0]:
            w["errors"] = (in_errors, name)
        if int(old[name + "/iterations"]) != int(iterations):
            w["iterations"].append(f"{name}: {int(old[name + '/iterations'])} -> {int(iterations)}")
    for group, w in worst.items():
        print(f"{group}: largest relative change {w['relative'][0]:.3g} ({w['relative'][1]})", end="")
        if w["errors"][1]:
            print(f", largest in standard errors {w['errors'][0]:.3g} ({w['errors'][1]})", end="")
        print()
        print(f"  iteration counts that differ: {', '.join(w['iterations']) or 'none'}")


if __name__ == "__main__":
    main()
