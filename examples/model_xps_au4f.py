"""The Au 4f doublet of clean gold (XPS) on a Shirley step: 4f7/2 and 4f5/2 with a free splitting
and a free area ratio, one shared line shape, as Doniach-Sunjic lines and as Voigt lines. The
spin-orbit splitting is 3.67 eV, the area ratio 3 : 4 in theory.

Both fits run on the binding energy as it is: the Doniach-Sunjic lines' tails and the Shirley step
lie toward higher binding energy, larger x (the lines' default tail="high", the step's default
direction +1).

    python examples/model_xps_au4f.py [--plot FILE]
"""
import argparse
import os

import numpy as np

import brivane

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "xps_Au4f_clean_counts.csv")


def fit(binding, counts, shape="DoniachSunjic"):
    if shape == "DoniachSunjic":
        peaks = [brivane.DoniachSunjic(84.0, name="f72"), brivane.DoniachSunjic(87.7, name="f52")]
        shared = ("gamma", "alpha")
    else:
        peaks = [brivane.Voigt(84.0, name="f72"), brivane.Voigt(87.7, name="f52")]
        shared = ("sigma", "gamma")
    model = brivane.Model(peaks, background=[brivane.Constant(), brivane.Shirley()])
    for parameter in shared:
        model.tie(f"f52.{parameter}", f"f72.{parameter}")
    result = brivane.fit(binding, counts, model)
    splitting = result.combination({"f52.center": 1.0, "f72.center": -1.0})
    ratio = result.ratio("f52.area", "f72.area")
    return result, splitting, ratio


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plot", default="xps_au4f_layer_fit.png", help="PNG file for the plot")
    args = parser.parse_args(argv)
    binding, counts = np.loadtxt(DATA, delimiter=",", skiprows=1, unpack=True)
    for shape in ("DoniachSunjic", "Voigt"):
        result, (splitting, splitting_error), (ratio, ratio_error) = fit(binding, counts, shape)
        print(f"== {shape} lines on a Shirley step")
        print(result.report())
        print(f"4f5/2 - 4f7/2 splitting {splitting:.4f} +/- {splitting_error:.4f} eV (3.67 known), "
              f"area ratio {ratio:.3f} +/- {ratio_error:.3f}")
        print()
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: no plot written")
        return
    matplotlib.use("Agg")
    figure = result.plot(title="Au 4f, Voigt doublet on a Shirley step")
    figure.axes[-1].set_xlabel("binding energy (eV)")
    figure.axes[0].invert_xaxis()
    figure.savefig(args.plot, dpi=120)
    print(f"plot written to {args.plot}")


if __name__ == "__main__":
    main()
