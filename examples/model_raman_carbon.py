"""The D and G bands of disordered carbon (Raman, 1000-1800 cm^-1) with Lorentzian, pseudo-Voigt
and Voigt peaks on a linear background, from starts 1340 and 1590 cm^-1 read off a plot.

The intensities are CCD units, not photon counts: the Poisson deviance per degree of freedom is
about 0.01, so the standard errors are the ones scaled by Pearson's chi-square per degree of
freedom (brivane's default).

    python examples/model_raman_carbon.py [--plot FILE]
"""
import argparse
import os

import numpy as np

import brivane

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "raman_carbon_DW38C_pos1.csv")
SHAPES = {"Lorentzian": brivane.Lorentzian, "PseudoVoigt": brivane.PseudoVoigt, "Voigt": brivane.Voigt}


def fit(shift, intensity, shape):
    model = brivane.Model([shape(1340.0, name="D"), shape(1590.0, name="G")], background=brivane.Linear())
    return brivane.fit(shift, intensity, model, window=(1000.0, 1800.0))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plot", default="raman_carbon_fit.png", help="PNG file for the plot")
    args = parser.parse_args(argv)
    shift, intensity = np.loadtxt(DATA, delimiter=",", skiprows=1, unpack=True)
    results = {}
    for label, shape in SHAPES.items():
        result = results[label] = fit(shift, intensity, shape)
        print(f"{label:>11}: D {result.values['D.center']:8.2f} +/- {result.stderr['D.center']:.2f} cm^-1 "
              f"(FWHM {result.values['D.fwhm']:6.1f}), G {result.values['G.center']:8.2f} +/- "
              f"{result.stderr['G.center']:.2f} (FWHM {result.values['G.fwhm']:6.1f}), deviance "
              f"{result.deviance:.4f}, {result.n_iterations} iterations")
    print()
    print(results["Voigt"].report())
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: no plot written")
        return
    matplotlib.use("Agg")
    figure = results["Voigt"].plot(title="Raman D and G bands, Voigt peaks on a linear background")
    figure.axes[-1].set_xlabel("Raman shift (cm$^{-1}$)")
    figure.savefig(args.plot, dpi=120)
    print(f"plot written to {args.plot}")


if __name__ == "__main__":
    main()
