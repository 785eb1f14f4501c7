"""NIST StRD "Gauss3": two overlapping Gaussians on an exponential background. The Poisson
maximum-likelihood optimum, beside NIST's certified least-squares values (a different objective,
so the two agree to within a few standard errors, not exactly).

    python examples/model_nist_gauss3.py
"""
import math
import os

import numpy as np

import brivane

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "nist_strd_Gauss3.csv")
# y = b1 exp(-b2 x) + b3 exp(-(x - b4)^2 / b5^2) + b6 exp(-(x - b7)^2 / b8^2)
CERTIFIED = dict(b1=9.8940368970e+01, b2=1.0945879335e-02, b3=1.0069553078e+02, b4=1.1163619459e+02,
                 b5=2.3300500029e+01, b6=7.3705031418e+01, b7=1.4776164251e+02, b8=1.9668221230e+01)


def fit(x, y):
    model = brivane.Model([brivane.Gaussian(113.0), brivane.Gaussian(140.0)], background=brivane.Exponential())
    return brivane.fit(x, y, model)


def main(argv=None):
    x, y = np.loadtxt(DATA, delimiter=",", skiprows=1, unpack=True)
    result = fit(x, y)
    print(result.report())
    v, e = result.values, result.stderr
    rows = [("background amplitude at x = 1", v["bg.amplitude"], e["bg.amplitude"], CERTIFIED["b1"] * math.exp(-CERTIFIED["b2"])),
            ("background rate", v["bg.rate"], e["bg.rate"], CERTIFIED["b2"]),
            ("peak 1 centre", v["p0.center"], e["p0.center"], CERTIFIED["b4"]),
            ("peak 1 sigma", v["p0.sigma"], e["p0.sigma"], CERTIFIED["b5"] / math.sqrt(2)),
            ("peak 1 height", v["p0.height"], e["p0.height"], CERTIFIED["b3"]),
            ("peak 2 centre", v["p1.center"], e["p1.center"], CERTIFIED["b7"]),
            ("peak 2 sigma", v["p1.sigma"], e["p1.sigma"], CERTIFIED["b8"] / math.sqrt(2)),
            ("peak 2 height", v["p1.height"], e["p1.height"], CERTIFIED["b6"])]
    print()
    print(f"{'':30} {'Poisson ML':>12} {'stderr':>10} {'NIST least squares':>19}")
    for label, value, error, certified in rows:
        print(f"{label:30} {value:12.6g} {error:10.3g} {certified:19.6g}")


if __name__ == "__main__":
    main()
