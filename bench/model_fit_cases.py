"""Writes the engine's problems of the fits on the bundled spectra (HPGe, Raman carbon with three
shapes, LiF K-alpha doublets, NIST Gauss3, Au 4f doublets) as brivane.fit hands them to the engine,
one text file each, for the compiled benchmark to time the engine alone:

    python bench/model_fit_cases.py build/model_fit_cases
    build/cpp/model_fit_bench --problems build/model_fit_cases/*.txt

Each file: a line "name v1 v2 ..." per argument of the engine's fit (rows as "row ..." lines).
"""
import os
import sys

import numpy as np

import brivane
from brivane import _compiled

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "examples", "data")
CU = (1.540562, 1.544390)


def load(name):
    return np.loadtxt(os.path.join(DATA, name), delimiter=",", skiprows=1, unpack=True)


def cases():
    x, y = load("gamma_HPGe_1070-1190keV_counts.csv")
    yield "hpge_5_gaussians", x, y, brivane.Model(
        [brivane.Gaussian(c, 0.8) for c in (1086.3, 1090.2, 1112.6, 1121.0, 1173.7)], background=brivane.Constant()), None
    x, y = load("raman_carbon_DW38C_pos1.csv")
    for shape in (brivane.Lorentzian, brivane.PseudoVoigt, brivane.Voigt):
        yield f"raman_{shape.__name__.lower()}", x, y, brivane.Model(
            [shape(1340.0, name="D"), shape(1590.0, name="G")], background=brivane.Linear()), (1000, 1800)
    x, y = load("xrd_LiF_CuKa_37-46deg_counts.csv")
    model = brivane.Model([brivane.PseudoVoigt(38.7, name="a"), brivane.PseudoVoigt(38.8, name="a2"),
                           brivane.PseudoVoigt(45.0, name="b"), brivane.PseudoVoigt(45.1, name="b2")],
                          background=brivane.Linear())
    for name in ("a", "b"):
        model.tie_kalpha2(f"{name}2", name, wavelengths=CU, area_ratio=0.5, same_shape=True)
    yield "lif_kalpha_doublets", x, y, model, None
    x, y = load("nist_strd_Gauss3.csv")
    yield "gauss3_exponential", x, y, brivane.Model([brivane.Gaussian(113.0), brivane.Gaussian(140.0)],
                                                    background=brivane.Exponential()), None
    x, y = load("xps_Au4f_clean_counts.csv")
    for shape, shared in ((brivane.DoniachSunjic, ("gamma", "alpha")), (brivane.Voigt, ("sigma", "gamma"))):
        model = brivane.Model([shape(84.0, name="f72"), shape(87.7, name="f52")],
                              background=[brivane.Constant(), brivane.Shirley()])
        for parameter in shared:
            model.tie(f"f52.{parameter}", f"f72.{parameter}")
        yield f"au4f_{shape.__name__.lower()}_shirley", x, y, model, None


NAMES = ("x", "counts", "width", "kind", "first", "count", "aux", "role", "value", "lower", "upper", "source",
         "scale", "offset", "max_iter", "tolerance")


def main(argv):
    directory = argv[1] if len(argv) > 1 else "model_fit_cases"
    os.makedirs(directory, exist_ok=True)
    engine = _compiled.engine()
    captured = {}

    class Capture:
        def __getattr__(self, name):
            return getattr(engine, name)

        def fit(self, *arguments, rows=None):
            captured["arguments"], captured["rows"] = arguments, rows
            return engine.fit(*arguments, rows=rows)

    _compiled._engine = Capture()
    try:
        for label, x, y, model, window in cases():
            brivane.fit(x, y, model, window=window)
            path = os.path.join(directory, label + ".txt")
            with open(path, "w") as out:
                for name, value in zip(NAMES, captured["arguments"]):
                    values = np.atleast_1d(np.asarray(value, float))
                    out.write(name + " " + " ".join(repr(float(v)) for v in values) + "\n")
                for row in captured["rows"] or []:
                    out.write("row " + " ".join(repr(float(v)) for v in row) + "\n")
            print(path)
    finally:
        _compiled._engine = engine


if __name__ == "__main__":
    main(sys.argv)
