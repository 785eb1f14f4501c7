"""brivane.fit on the bundled spectra side by side with lmfit, a general least-squares package.

Each case fits the same model from the same rough starts: brivane by Poisson maximum likelihood
in its compiled engine, lmfit by least squares with weights 1/sqrt(counts) (Levenberg-Marquardt,
its default), ties written as lmfit expressions. Prints, per case, the best-of-several time of each
fit, their ratio, the iterations (brivane's Fisher-scoring steps, lmfit's function evaluations),
the main positions found by both, and brivane's time against its iterations times one pass that
computes the model and its derivatives (engine.evaluate + engine.jacobian at the optimum).

lmfit is a benchmark-only dependency: `pip install -r bench/requirements.txt`.

    python bench/bench_layer_lmfit.py [--quick]
"""
import argparse
import os
import sys

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # see tests/python/conftest.py

import numpy as np  # noqa: E402

import brivane  # noqa: E402
from brivane import _compiled  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from timing import best  # noqa: E402

DATA = os.path.join(HERE, "..", "examples", "data")
CU = (1.540562, 1.544390)


def load(name):
    return np.loadtxt(os.path.join(DATA, name), delimiter=",", skiprows=1, unpack=True)


def window(x, y, lo, hi):
    inside = (x >= lo) & (x <= hi)
    return x[inside], y[inside]


def case_hpge(lmfit):
    x, y = load("gamma_HPGe_1070-1190keV_counts.csv")
    starts = [1086.3, 1090.2, 1112.6, 1121.0, 1173.7]
    model = brivane.Model([brivane.Gaussian(c, 0.8) for c in starts], background=brivane.Constant())
    reference = lmfit.models.ConstantModel()
    params = reference.make_params(c=10.0)
    for k, c in enumerate(starts):
        peak = lmfit.models.GaussianModel(prefix=f"p{k}_")
        params.update(peak.make_params(center=c, sigma=0.8, amplitude=1000.0 * 0.18))
        reference = reference + peak
    return "HPGe, 5 Gaussians + constant", x, y, model, None, reference, params, ["p4.center"], ["p4_center"]


def case_raman(lmfit, shape):
    x, y = load("raman_carbon_DW38C_pos1.csv")
    ours = {"Lorentzian": brivane.Lorentzian, "PseudoVoigt": brivane.PseudoVoigt, "Voigt": brivane.Voigt}[shape]
    theirs = {"Lorentzian": lmfit.models.LorentzianModel, "PseudoVoigt": lmfit.models.PseudoVoigtModel,
              "Voigt": lmfit.models.VoigtModel}[shape]
    model = brivane.Model([ours(1340.0, name="D"), ours(1590.0, name="G")], background=brivane.Linear())
    reference = lmfit.models.LinearModel() + theirs(prefix="D_") + theirs(prefix="G_")
    params = reference.make_params(slope=0.0, intercept=580.0, D_center=1340.0, D_sigma=50.0, D_amplitude=5000.0,
                                   G_center=1590.0, G_sigma=30.0, G_amplitude=3000.0)
    if shape == "Voigt":
        params["D_gamma"].set(value=30.0, vary=True, expr="")
        params["G_gamma"].set(value=20.0, vary=True, expr="")
    return (f"Raman carbon, 2 {shape} + linear", x, y, model, (1000, 1800), reference, params,
            ["D.center", "G.center"], ["D_center", "G_center"])


def case_lif(lmfit):
    x, y = load("xrd_LiF_CuKa_37-46deg_counts.csv")
    model = brivane.Model([brivane.PseudoVoigt(38.7, name="a"), brivane.PseudoVoigt(38.8, name="a2"),
                           brivane.PseudoVoigt(45.0, name="b"), brivane.PseudoVoigt(45.1, name="b2")],
                          background=brivane.Linear())
    reference = lmfit.models.LinearModel()
    params = reference.make_params(slope=0.0, intercept=1000.0)
    for name, centre in (("a", 38.7), ("b", 45.0)):
        first, second = lmfit.models.PseudoVoigtModel(prefix=f"{name}_"), lmfit.models.PseudoVoigtModel(prefix=f"{name}2_")
        params.update(first.make_params(center=centre, sigma=0.08, amplitude=1e4, fraction=0.5))
        params.update(second.make_params())
        params[f"{name}2_center"].set(expr=f"2*asin({CU[1] / CU[0]!r}*sin({name}_center*pi/360))*180/pi")
        for p in ("sigma", "fraction"):
            params[f"{name}2_{p}"].set(expr=f"{name}_{p}")
        params[f"{name}2_amplitude"].set(expr=f"0.5*{name}_amplitude")
        reference = reference + first + second
        model.tie_kalpha2(f"{name}2", name, wavelengths=CU, area_ratio=0.5, same_shape=True)
    return "LiF, 2 K-alpha doublets (pseudo-Voigt) + linear", x, y, model, None, reference, params, \
        ["a.center", "b.center"], ["a_center", "b_center"]


def case_gauss3(lmfit):
    x, y = load("nist_strd_Gauss3.csv")
    model = brivane.Model([brivane.Gaussian(113.0), brivane.Gaussian(140.0)], background=brivane.Exponential())
    reference = lmfit.models.ExponentialModel() + lmfit.models.GaussianModel(prefix="p0_") + \
        lmfit.models.GaussianModel(prefix="p1_")
    params = reference.make_params(amplitude=100.0, decay=90.0, p0_center=113.0, p0_sigma=15.0, p0_amplitude=3000.0,
                                   p1_center=140.0, p1_sigma=15.0, p1_amplitude=3000.0)
    return "NIST Gauss3, 2 Gaussians + exponential", x, y, model, None, reference, params, \
        ["p0.center", "p1.center"], ["p0_center", "p1_center"]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats")
    args = parser.parse_args(argv)
    try:
        import lmfit
    except ImportError:
        sys.exit("lmfit is not installed: pip install -r bench/requirements.txt")
    repeats = 3 if args.quick else 10
    cases = [case_hpge(lmfit)] + [case_raman(lmfit, s) for s in ("Lorentzian", "PseudoVoigt", "Voigt")] + \
        [case_lif(lmfit), case_gauss3(lmfit)]
    print(f"{'case':48} {'brivane ms':>10} {'iter':>5} {'lmfit ms':>9} {'nfev':>5} {'ratio':>7} "
          f"{'fit / (iter x pass)':>20}")
    for label, x, y, model, win, reference, params, ours, theirs in cases:
        result = brivane.fit(x, y, model, window=win)
        ours_time = best(lambda: brivane.fit(x, y, model, window=win), repeats)
        if win is not None:
            x, y = window(x, y, *win)
        weights = 1.0 / np.sqrt(np.maximum(y, 1.0))
        fitted = reference.fit(y, params, x=x, weights=weights)
        theirs_time = best(lambda: reference.fit(y, params, x=x, weights=weights), max(2, repeats // 3))
        d = result.to_dict()
        arguments = (result.x, result.width, np.array(d["kind"]), np.array(d["first"]), np.array(d["count"]),
                     np.array(d["aux"], float), result.theta, None)
        one_pass = best(lambda: (_compiled.evaluate(*arguments), _compiled.jacobian(*arguments)), repeats)
        print(f"{label:48} {1e3 * ours_time:10.3f} {result.n_iterations:5d} {1e3 * theirs_time:9.2f} "
              f"{fitted.nfev:5d} {theirs_time / ours_time:7.1f} {ours_time / (max(result.n_iterations, 1) * one_pass):20.2f}")
        found = ", ".join(f"{a} {result.values[a]:.3f} / {fitted.params[b].value:.3f}" for a, b in zip(ours, theirs))
        print(f"    brivane / lmfit: {found}")


if __name__ == "__main__":
    main()
