"""The bundled examples find what they should."""
import os
import runpy

import numpy as np
import pytest

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")


def test_hpge_example_finds_the_known_lines(tmp_path, capsys):
    example = runpy.run_path(os.path.join(EXAMPLES, "fit_hpge.py"))
    energy, counts = np.loadtxt(example["DATA"], delimiter=",", skiprows=1, unpack=True)
    mu, sigma, pi, iterations, log_likelihood = example["fit"](energy, counts)
    # Eu-152 1085.8, 1089.7, 1112.1; Sc-46 1120.5; Co-60 1173.2 keV, read 0.3-0.9 keV high.
    shift = mu - np.array([1085.8, 1089.7, 1112.1, 1120.5, 1173.2])
    assert np.all((shift > 0.2) & (shift < 1.0)), mu
    assert np.all((sigma > 0.5) & (sigma < 1.0)), sigma  # the Co-60 line has sigma about 0.73 keV
    assert iterations < 5000 and np.isclose(pi.sum(), 1.0)
    assert pi[4] > pi[0] > pi[1]  # Co-60 dominates; the 1089.7 keV line is the weakest

    example["main"](["--plot", str(tmp_path / "fit.png")])
    out = capsys.readouterr().out
    assert "1173.7" in out and "uniform" in out


def test_tsdc_example_recovers_its_two_relaxations(tmp_path, capsys):
    example = runpy.run_path(os.path.join(EXAMPLES, "fit_tsdc.py"))
    t, counts = example["synthetic_curve"]()
    ea, tau0, tp, pi, iterations, _ = example["fit"](t, counts)
    # Over 60 draws of this curve the fitted ea scatter by 0.0079 eV, tp by 0.099 K and the
    # weights by 0.0029 at most; bounds of four of those.
    np.testing.assert_allclose(ea, [0.85, 1.15], atol=4 * 0.0079)
    np.testing.assert_allclose(tp, [305.0, 350.0], atol=4 * 0.099)
    np.testing.assert_allclose(pi, [0.38, 0.57, 0.05], atol=4 * 0.0029)
    np.testing.assert_allclose(tau0, example["tau0_from_peak"](ea, tp), rtol=1.1e-8)
    assert iterations < 1000

    example["main"](["--plot", str(tmp_path / "fit.png")])
    out = capsys.readouterr().out
    assert "Ea eV" in out and "0.85, 305.0" in out and "uniform" in out


def test_xps_example_finds_the_au_4f_doublet_on_a_shirley_step(tmp_path, capsys):
    example = runpy.run_path(os.path.join(EXAMPLES, "fit_xps_au4f.py"))
    x, counts = example["load"]()
    assert np.all(np.diff(x) > 0)
    rows = example["background_rows"](x, counts)
    for row in rows:  # densities over the grid
        assert np.all(row >= 0) and example["trapezoid"](x, row) == pytest.approx(1.0, rel=1e-12)
    step = example["shirley_step"](x, counts)
    assert step[0] == 1.0 and step[-1] == 0.0 and np.all(np.diff(step) <= 0)
    x0, gamma, alpha, pi, iterations, _ = example["fit"](x, counts, rows)
    splitting, ratio = example["splitting_and_ratio"](x0, pi)
    # The spin-orbit splitting of Au 4f is 3.67 eV; its 4f5/2 : 4f7/2 area ratio is 3 : 4 in theory,
    # measured lower or higher depending on the background and the line shape.
    assert abs(splitting - 3.67) <= 0.05, splitting
    assert 0.6 <= ratio <= 0.85, ratio
    assert abs((176.3128 - x0[1]) - 84.0) < 0.1  # 4f7/2 where the file's energy scale puts it
    assert iterations < 5000 and np.isclose(pi.sum(), 1.0)
    # Without the step the lower line's tail takes it over and the splitting moves.
    flat = example["fit"](x, counts)
    assert abs(example["splitting_and_ratio"](flat[0], flat[3])[0] - 3.67) > 0.05

    example["main"](["--plot", str(tmp_path / "xps.png")])
    out = capsys.readouterr().out
    assert "4f7/2" in out and "step" in out
    assert (tmp_path / "xps.png").exists() or "matplotlib is not installed" in out
