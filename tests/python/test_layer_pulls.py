"""Standard errors that mean what they say: over 300 Poisson spectra simulated from known
parameters (the first 100 of them under AddressSanitizer, whose run is about the engine's memory,
not its statistics), (fitted - true) / stderr has mean 0 and standard deviation 1 for each shape's
centre, width and area."""
import numpy as np
import pytest

import brivane
import reference_model as rm
from layer_support import needs_engine
from sanitized import SANITIZED

pytestmark = needs_engine

N_SPECTRA = 100 if SANITIZED else 300
# The bounds on the pulls' mean and standard deviation: 2.6 and 3.7 of their standard errors
# (1/sqrt(n) and about 1/sqrt(2n)), 0.15 each for 300 spectra.
MEAN_BOUND = 2.6 / np.sqrt(N_SPECTRA)
SPREAD_BOUND = 3.7 / np.sqrt(2 * N_SPECTRA)

# shape, true parameters (area last), the (centre, width) names checked, grid, heating rate
CASES = {
    "gaussian": (brivane.Gaussian, dict(center=50.3, sigma=2.1, area=4000.0), ("center", "sigma"), (30, 70, 200), None),
    "lorentzian": (brivane.Lorentzian, dict(center=50.3, fwhm=4.0, area=4000.0), ("center", "fwhm"), (20, 80, 240), None),
    "pseudo-voigt": (brivane.PseudoVoigt, dict(center=50.3, fwhm=4.0, eta=0.5, area=4000.0), ("center", "fwhm"),
                     (20, 80, 240), None),
    "voigt": (brivane.Voigt, dict(center=50.3, sigma=1.2, gamma=1.0, area=4000.0), ("center", "fwhm"),
              (20, 80, 240), None),
    "doniach-sunjic": (brivane.DoniachSunjic, dict(center=50.3, gamma=1.5, alpha=0.15, area=4000.0),
                       ("center", "gamma"), (30, 70, 200), None),
    "tsdc": (brivane.TSDC, dict(ea=0.85, tp=305.0, area=4000.0), ("tp", "ea"), (250, 360, 220), 0.1),
}


def true_counts(shape, truth, x, heating_rate, background):
    kinds = np.array([shape.kind, 10], np.int64)
    theta = np.array([truth[k] for k in shape.parameters] + [background], float)
    count = np.array([len(shape.parameters), 1], np.int64)
    # A TSDC peak's heating rate; a Doniach-Sunjic line's tail toward larger x, the layer's default.
    first_aux = 1.0 if shape is brivane.DoniachSunjic else (heating_rate or 0.0)
    aux = np.array([[first_aux, 0.0], [0.0, 0.0]])
    return rm.model(x, rm.channel_widths(x), kinds, np.array([0, count[0]], np.int64), count, aux, theta)


@pytest.mark.parametrize("label", list(CASES))
def test_pull_distribution(label):
    shape, truth, (centre, width), (lo, hi, n), heating_rate = CASES[label]
    x = np.linspace(lo, hi, n)
    background = 8.0
    mu = true_counts(shape, truth, x, heating_rate, background)
    rng = np.random.default_rng(20261208 + len(label))
    true_width = truth.get(width)
    if width == "fwhm" and shape is brivane.Voigt:
        f_l, f_g = 2 * truth["gamma"], rm.FWHM_PER_SIGMA * truth["sigma"]
        true_width = 0.5346 * f_l + np.sqrt(0.2166 * f_l ** 2 + f_g ** 2)  # within 0.02 % of exact
    pulls = {centre: [], width: [], "area": []}
    for _ in range(N_SPECTRA):
        counts = rng.poisson(mu)
        # A rough start: the centre off by a fraction of the width, the widths 20 % too wide,
        # the area estimated from the counts.
        start = {k: v for k, v in truth.items() if k != "area"}
        start[centre] = truth[centre] + rng.uniform(-0.5, 0.5) * (1.0 if shape is not brivane.TSDC else 3.0)
        for k in start:
            if k not in (centre, "eta", "alpha"):
                start[k] = truth[k] * 1.2 if shape is not brivane.TSDC else truth[k] * 0.9
        model = brivane.Model([shape(**start)], background=brivane.Constant(), heating_rate=heating_rate)
        result = brivane.fit(x, counts, model, errors="poisson")
        assert result.converged, result.message
        for name, true in ((centre, truth[centre]), (width, true_width), ("area", truth["area"])):
            full = f"p0.{name}"
            pulls[name].append((result.values[full] - true) / result.stderr[full])
    for name, values in pulls.items():
        values = np.array(values)
        assert abs(values.mean()) < MEAN_BOUND, (name, values.mean())
        assert abs(values.std(ddof=1) - 1.0) < SPREAD_BOUND, (name, values.std(ddof=1))
