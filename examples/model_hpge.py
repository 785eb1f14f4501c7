"""Five gamma-ray lines of a measured HPGe spectrum as Gaussian peaks on a flat background, by
Poisson maximum likelihood with brivane.fit: the report, and a plot of the fit with its residuals.

The starts are the nominal line energies read off a plot (Eu-152 1085.8 with a weak 1089.7 keV
neighbour, 1112.1; Sc-46 1120.5; Co-60 1173.2 keV), shifted by the file's calibration offset of
about +0.5 keV; widths and areas are estimated from the data.

    python examples/model_hpge.py [--plot FILE]
"""
import argparse
import os

import numpy as np

import brivane

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "gamma_HPGe_1070-1190keV_counts.csv")
START_CENTRES = [1086.3, 1090.2, 1112.6, 1121.0, 1173.7]  # keV


def fit(energy, counts):
    model = brivane.Model([brivane.Gaussian(c) for c in START_CENTRES], background=brivane.Constant())
    return brivane.fit(energy, counts, model)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plot", default="hpge_fit.png", help="PNG file for the plot")
    args = parser.parse_args(argv)
    energy, counts = np.loadtxt(DATA, delimiter=",", skiprows=1, unpack=True)
    result = fit(energy, counts)
    print(f"{os.path.basename(DATA)}: energies in keV, areas in counts")
    print(result.report())
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: no plot written")
        return
    matplotlib.use("Agg")
    figure = result.plot(log=True, title="HPGe spectrum: five Gaussian lines on a flat background")
    figure.axes[-1].set_xlabel("energy (keV)")
    figure.savefig(args.plot, dpi=120)
    print(f"plot written to {args.plot}")


if __name__ == "__main__":
    main()
