"""The layer on the bundled measured spectra, from rough starts read off a plot: known line
positions, agreement of the two methods, and SciPy's L-BFGS-B finding nothing better."""
import numpy as np
import pytest

import brivane
from layer_support import load, needs_engine
from reference_fit import polish

pytestmark = needs_engine

HPGE_STARTS = [1086.3, 1090.2, 1112.6, 1121.0, 1173.7]


def assert_optimum(result, relative=1e-9):
    start, end = polish(result.to_dict())
    assert start == pytest.approx(result.deviance, rel=1e-9)
    assert (start - end) <= relative * start, (start, end)


def test_hpge_ml_and_em_agree_within_a_tenth_of_an_error():
    x, y = load("gamma_HPGe_1070-1190keV_counts.csv")
    model = brivane.Model([brivane.Gaussian(c) for c in HPGE_STARTS], background=brivane.Constant())
    ml = brivane.fit(x, y, model)
    em = brivane.fit(x, y, model, method="em")
    assert ml.converged and em.converged
    for k in range(5):
        for parameter in ("center", "sigma", "area"):
            name = f"p{k}.{parameter}"
            assert abs(ml.values[name] - em.values[name]) < 0.1 * ml.stderr[name], name
    # The 1173.2 keV line of Co-60 read 0.3-0.9 keV high by the file's calibration.
    assert 1173.5 < ml.values["p4.center"] < 1174.1
    from_em = brivane.fit(x, y, model, start="em")
    assert from_em.values["p4.center"] == pytest.approx(ml.values["p4.center"], abs=1e-3 * ml.stderr["p4.center"])
    assert from_em.deviance == pytest.approx(ml.deviance, rel=1e-9)
    assert any("EM" in note for note in from_em.notes)


@pytest.mark.parametrize("shape", [brivane.Lorentzian, brivane.PseudoVoigt, brivane.Voigt])
def test_raman_carbon_d_and_g_bands(shape):
    x, y = load("raman_carbon_DW38C_pos1.csv")
    model = brivane.Model([shape(1340.0, name="D"), shape(1590.0, name="G")], background=brivane.Linear())
    result = brivane.fit(x, y, model, window=(1000, 1800))
    assert result.converged, result.message
    assert abs(result.values["D.center"] - 1345.8) < 3.0
    assert abs(result.values["G.center"] - 1579.8) < 3.0
    assert 200 < result.values["D.fwhm"] < 260 and 85 < result.values["G.fwhm"] < 120
    # CCD units, not counts: the deviance per degree of freedom is far below 1, and the scaled
    # errors are the Poisson ones times sqrt(chi-square / dof).
    assert result.deviance / result.dof < 0.05
    assert result.stderr["D.center"] == pytest.approx(
        result.stderr_poisson["D.center"] * result.error_scale, rel=1e-9)
    assert_optimum(result)


def test_raman_carbon_shape_parameters_on_their_bounds_are_reported():
    x, y = load("raman_carbon_DW38C_pos1.csv")
    model = brivane.Model([brivane.Voigt(1340.0, name="D"), brivane.Voigt(1590.0, name="G")],
                          background=brivane.Linear())
    result = brivane.fit(x, y, model, window=(1000, 1800))
    on_bound = [n for n, s in result.parameter_status.items() if s.startswith("at ")]
    for name in on_bound:
        assert np.isnan(result.stderr[name]) and f"[{result.parameter_status[name]}]" in result.report()
    for name in ("D.center", "G.center", "D.area", "G.area"):
        assert np.isfinite(result.stderr[name]) and result.stderr[name] > 0


def test_xrd_lif_kalpha_doublets():
    x, y = load("xrd_LiF_CuKa_37-46deg_counts.csv")
    model = brivane.Model([brivane.PseudoVoigt(38.7, name="a1"), brivane.PseudoVoigt(38.8, name="a2"),
                           brivane.PseudoVoigt(45.0, name="b1"), brivane.PseudoVoigt(45.1, name="b2")],
                          background=brivane.Linear())
    for second, first in (("a2", "a1"), ("b2", "b1")):
        model.tie_kalpha2(second, first, wavelengths=(1.540562, 1.544390))
        model.tie(f"{second}.area", f"{first}.area", scale=0.5)
        model.tie(f"{second}.fwhm", f"{first}.fwhm")
        model.tie(f"{second}.eta", f"{first}.eta")
    result = brivane.fit(x, y, model)
    assert result.converged, result.message
    assert abs(result.values["a1.center"] - 38.688) < 0.01
    assert abs(result.values["b1.center"] - 44.985) < 0.01
    assert result.values["a1.area"] > 5e5 and result.values["b1.area"] > 5e5  # no cap on areas
    # Bragg's law: sin(theta2) / sin(theta1) = lambda2 / lambda1.
    ratio = np.sin(np.radians(result.values["b2.center"] / 2)) / np.sin(np.radians(result.values["b1.center"] / 2))
    assert ratio == pytest.approx(1.544390 / 1.540562, rel=1e-12)
    assert result.parameter_status["b2.center"] == "tied to b1.center"
    assert_optimum(result)


def test_nist_gauss3_poisson_optimum_beside_the_certified_values():
    x, y = load("nist_strd_Gauss3.csv")
    model = brivane.Model([brivane.Gaussian(113.0), brivane.Gaussian(140.0)], background=brivane.Exponential())
    result = brivane.fit(x, y, model)
    assert result.converged
    assert_optimum(result)
    # Certified least-squares values: b2 (rate), b4 and b7 (centres), b5 and b8 (sqrt 2 times
    # sigma). Poisson weights move them, but by less than an error.
    certified = {"bg.rate": 1.0945879335e-2, "p0.center": 111.63619459, "p0.sigma": 23.300500029 / np.sqrt(2),
                 "p1.center": 147.76164251, "p1.sigma": 19.668221230 / np.sqrt(2)}
    for name, value in certified.items():
        assert abs(result.values[name] - value) < result.stderr[name], name


@pytest.mark.parametrize("shape", ["DoniachSunjic", "Voigt"])
def test_xps_au4f_doublet_splitting_on_a_shirley_step(shape):
    x, y = load("xps_Au4f_clean_counts.csv")
    # On the binding energy as it is: the lines' tails (tail="high", the default) and the losses'
    # step (direction +1) lie toward larger x.
    if shape == "DoniachSunjic":
        peaks = [brivane.DoniachSunjic(84.0, name="f72"), brivane.DoniachSunjic(87.7, name="f52")]
        widths = ("gamma", "alpha")
    else:
        peaks = [brivane.Voigt(84.0, name="f72"), brivane.Voigt(87.7, name="f52")]
        widths = ("sigma", "gamma")
    model = brivane.Model(peaks, background=[brivane.Constant(), brivane.Shirley()])
    for parameter in widths:
        model.tie(f"f52.{parameter}", f"f72.{parameter}")
    result = brivane.fit(x, y, model)
    assert result.converged, result.message
    splitting, error = result.combination({"f52.center": 1.0, "f72.center": -1.0})
    assert abs(splitting - 3.67) < 0.02, splitting
    assert 0 < error < 0.02
    ratio, _ = result.ratio("f52.area", "f72.area")
    assert 0.6 < ratio < 0.8
    assert_optimum(result)
    if shape == "Voigt":
        # The step rising the other way, toward lower binding energy, fits several times worse.
        wrong = brivane.Model([brivane.Voigt(84.0, name="f72"), brivane.Voigt(87.7, name="f52")],
                              background=[brivane.Constant(), brivane.Shirley(direction=-1)])
        for parameter in widths:
            wrong.tie(f"f52.{parameter}", f"f72.{parameter}")
        assert brivane.fit(x, y, wrong).deviance > 5 * result.deviance
