"""Two reflections of LiF (Cu K-alpha X-ray powder diffraction), each a K-alpha1/K-alpha2 doublet
of pseudo-Voigt peaks: the K-alpha2 position from K-alpha1 by Bragg's law, half its area, the same
shape; a linear background. Documented K-alpha1 positions: (111) 38.688 and (200) 44.985 deg.

    python examples/model_xrd_lif.py [--plot FILE]
"""
import argparse
import os

import numpy as np

import brivane

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "xrd_LiF_CuKa_37-46deg_counts.csv")
CU_KALPHA = (1.540562, 1.544390)  # angstrom


def fit(two_theta, counts):
    model = brivane.Model([brivane.PseudoVoigt(38.7, name="111"), brivane.PseudoVoigt(38.8, name="111a2"),
                           brivane.PseudoVoigt(45.0, name="200"), brivane.PseudoVoigt(45.1, name="200a2")],
                          background=brivane.Linear())
    for reflection in ("111", "200"):
        model.tie_kalpha2(f"{reflection}a2", reflection, wavelengths=CU_KALPHA)
        model.tie(f"{reflection}a2.area", f"{reflection}.area", scale=0.5)
        model.tie(f"{reflection}a2.fwhm", f"{reflection}.fwhm")
        model.tie(f"{reflection}a2.eta", f"{reflection}.eta")
    return brivane.fit(two_theta, counts, model)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plot", default="xrd_lif_fit.png", help="PNG file for the plot")
    args = parser.parse_args(argv)
    two_theta, counts = np.loadtxt(DATA, delimiter=",", skiprows=1, unpack=True)
    result = fit(two_theta, counts)
    print(result.report())
    for reflection, known in (("111", 38.688), ("200", 44.985)):
        print(f"({reflection}) K-alpha1 at {result.values[reflection + '.center']:.4f} deg "
              f"(documented {known})")
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: no plot written")
        return
    matplotlib.use("Agg")
    figure = result.plot(title="LiF, Cu K-alpha doublets")
    figure.axes[-1].set_xlabel("2-theta (deg)")
    figure.savefig(args.plot, dpi=120)
    print(f"plot written to {args.plot}")


if __name__ == "__main__":
    main()
