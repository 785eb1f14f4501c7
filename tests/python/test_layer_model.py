"""The model of a spectrum: the NumPy reference checked against identities of the shapes, then the
compiled engine's evaluation and derivatives checked against the reference."""
import numpy as np
import pytest
from scipy import integrate

import reference_model as rm
from layer_support import needs_engine


def one_term(kind, p, aux=(0.0, 0.0)):
    return dict(kind=np.array([kind], np.int64), first=np.array([0], np.int64),
                count=np.array([len(p)], np.int64), aux=np.array([aux], float), theta=np.array(p, float))


def counts_of(x, term, rows=None):
    return rm.evaluate(x, rm.channel_widths(x), term["kind"], term["first"], term["count"], term["aux"],
                       term["theta"], rows)[0]


class TestReference:
    def test_peaks_put_their_area_on_a_wide_grid(self):
        x = np.linspace(-4000.0, 4000.0, 800001)
        for kind, p, tolerance in [(rm.GAUSSIAN, [3.0, 2.0, 500.0], 1e-12),
                                   (rm.LORENTZIAN, [3.0, 2.0, 500.0], 4e-4),  # the tails beyond 4000
                                   (rm.PSEUDO_VOIGT, [3.0, 2.0, 0.3, 500.0], 4e-4),
                                   (rm.VOIGT, [3.0, 1.0, 0.5, 500.0], 2e-4)]:
            assert counts_of(x, one_term(kind, p)).sum() == pytest.approx(500.0, rel=tolerance)

    def test_limits_and_mixtures_of_the_shapes(self):
        x = np.linspace(-20.0, 30.0, 1001)
        gauss = counts_of(x, one_term(rm.GAUSSIAN, [4.0, 2.0 / rm.FWHM_PER_SIGMA, 100.0]))
        lorentz = counts_of(x, one_term(rm.LORENTZIAN, [4.0, 2.0, 100.0]))
        pv = counts_of(x, one_term(rm.PSEUDO_VOIGT, [4.0, 2.0, 0.25, 100.0]))
        np.testing.assert_allclose(pv, 0.25 * gauss + 0.75 * lorentz, rtol=1e-13)
        voigt_no_gamma = counts_of(x, one_term(rm.VOIGT, [4.0, 2.0 / rm.FWHM_PER_SIGMA, 0.0, 100.0]))
        np.testing.assert_allclose(voigt_no_gamma, gauss, rtol=1e-10, atol=1e-300)
        voigt_narrow_sigma = counts_of(x, one_term(rm.VOIGT, [4.0, 1e-4, 1.0, 100.0]))
        np.testing.assert_allclose(voigt_narrow_sigma, lorentz, rtol=1e-6)
        # alpha = 0: the Doniach-Sunjic line is a Lorentzian of half width gamma, here normalised
        # over the grid's channels.
        ds = counts_of(x, one_term(rm.DONIACH_SUNJIC, [4.0, 1.0, 0.0, 100.0], (-1.0, 0.0)))
        np.testing.assert_allclose(ds, lorentz / lorentz.sum() * 100.0, rtol=1e-12)
        assert ds.sum() == pytest.approx(100.0, rel=1e-13)

    def test_tsdc_density_has_unit_area_and_its_maximum_at_tp(self):
        t = np.linspace(150.0, 500.0, 35001)
        y = rm.tsdc_density(t, 0.9, 320.0, 0.1)
        assert integrate.trapezoid(y, t) == pytest.approx(1.0, rel=1e-6)
        assert t[np.argmax(y)] == pytest.approx(320.0, abs=0.01)

    def test_shirley_and_tougaard_accumulate_the_peaks_from_the_low_side(self):
        x = np.linspace(0.0, 10.0, 101)
        kind = np.array([rm.GAUSSIAN, rm.SHIRLEY, rm.TOUGAARD, rm.SHIRLEY], np.int64)
        first = np.array([0, 3, 4, 6], np.int64)
        count = np.array([3, 1, 2, 1], np.int64)
        aux = np.array([[0, 0], [1, 0], [1, 0], [-1, 0]], float)
        theta = np.array([5.0, 0.5, 1000.0, 0.01, 2.0, 3.0, 0.01])
        out = rm.evaluate(x, rm.channel_widths(x), kind, first, count, aux, theta)
        peak, up, tougaard, down = out
        assert up[0] == pytest.approx(0.01 * 0.5 * peak[0]) and np.all(np.diff(up) >= 0)
        assert up[-1] == pytest.approx(0.01 * (peak.sum() - 0.5 * peak[-1]))
        # The peak is symmetric about the grid's middle: the step the other way is its mirror.
        np.testing.assert_allclose(down, up[::-1], rtol=1e-9)
        assert np.all(np.diff(down) <= 0) and tougaard[0] == 0 and tougaard[-1] > 0


ENGINE_CASES = [
    ("gaussian", [rm.GAUSSIAN], [[0, 0]], [5.2, 0.7, 800.0]),
    ("lorentzian", [rm.LORENTZIAN], [[0, 0]], [5.2, 1.3, 800.0]),
    ("pseudo-voigt", [rm.PSEUDO_VOIGT], [[0, 0]], [5.2, 1.3, 0.4, 800.0]),
    ("voigt", [rm.VOIGT], [[0, 0]], [5.2, 0.5, 0.3, 800.0]),
    ("voigt, gamma 0", [rm.VOIGT], [[0, 0]], [5.2, 0.5, 0.0, 800.0]),
    ("doniach-sunjic, tail low", [rm.DONIACH_SUNJIC], [[-1, 0]], [5.2, 0.4, 0.15, 800.0]),
    ("doniach-sunjic, tail high", [rm.DONIACH_SUNJIC], [[1, 0]], [5.2, 0.4, 0.15, 800.0]),
    ("constant+linear", [rm.GAUSSIAN, rm.CONSTANT, rm.LINEAR], [[0, 0], [0, 0], [2.0, 0]],
     [5.2, 0.7, 800.0, 3.0, 1.0, -0.2]),
    ("polynomial", [rm.GAUSSIAN, rm.POLYNOMIAL], [[0, 0], [1.0, 9.0]], [5.2, 0.7, 800.0, 3.0, 2.0, -1.0]),
    ("exponential", [rm.GAUSSIAN, rm.EXPONENTIAL], [[0, 0], [1.0, 0]], [5.2, 0.7, 800.0, 30.0, 0.2]),
    ("shirley both ways", [rm.PSEUDO_VOIGT, rm.VOIGT, rm.SHIRLEY, rm.SHIRLEY], [[0, 0], [0, 0], [1, 0], [-1, 0]],
     [4.0, 1.0, 0.5, 500.0, 7.0, 0.4, 0.2, 300.0, 0.01, 0.005]),
    ("tougaard", [rm.DONIACH_SUNJIC, rm.TOUGAARD], [[1, 0], [1, 0]], [5.2, 0.4, 0.15, 800.0, 30.0, 5.0]),
    ("user rows", [rm.GAUSSIAN, rm.USER_ROWS], [[0, 0], [0, 0]], [5.2, 0.7, 800.0, 2.0, 0.5]),
]


def layout(kinds, aux, theta):
    sizes = {rm.GAUSSIAN: 3, rm.LORENTZIAN: 3, rm.PSEUDO_VOIGT: 4, rm.VOIGT: 4, rm.DONIACH_SUNJIC: 4, rm.TSDC: 3,
             rm.CONSTANT: 1, rm.LINEAR: 2, rm.POLYNOMIAL: 3, rm.EXPONENTIAL: 2, rm.SHIRLEY: 1, rm.TOUGAARD: 2,
             rm.USER_ROWS: 2}
    count = np.array([sizes[k] for k in kinds], np.int64)
    first = np.concatenate([[0], np.cumsum(count)[:-1]]).astype(np.int64)
    return np.array(kinds, np.int64), first, count, np.array(aux, float), np.array(theta, float)


@needs_engine
@pytest.mark.parametrize("label, kinds, aux, theta", ENGINE_CASES, ids=[c[0] for c in ENGINE_CASES])
def test_engine_evaluation_and_jacobian_match_the_reference(label, kinds, aux, theta):
    from brivane import _compiled

    x = np.sort(np.random.default_rng(7).uniform(1.0, 10.0, 300))  # an uneven grid
    width = rm.channel_widths(x)
    kind, first, count, aux, theta = layout(kinds, aux, theta)
    rows = np.vstack([np.ones_like(x), np.sqrt(x)]) if rm.USER_ROWS in kinds else None
    expected = rm.evaluate(x, width, kind, first, count, aux, theta, rows)
    got = _compiled.evaluate(x, width, kind, first, count, aux, theta, rows)
    assert got.shape == expected.shape
    np.testing.assert_allclose(got, expected, rtol=1e-11, atol=1e-12 * np.abs(expected).max())
    jacobian = _compiled.jacobian(x, width, kind, first, count, aux, theta, rows)
    reference = rm.jacobian(x, width, kind, first, count, aux, theta, rows)
    scale = np.abs(reference).max(axis=0) + 1e-300
    np.testing.assert_allclose(jacobian / scale, reference / scale, atol=2e-6)


@needs_engine
def test_engine_tsdc_evaluation_matches_the_reference():
    from brivane import _compiled

    t = np.arange(200.0, 450.0, 0.5)
    kind, first, count, aux, theta = layout([rm.TSDC, rm.CONSTANT], [[0.1, 0], [0, 0]], [0.85, 305.0, 2e4, 3.0])
    expected = rm.evaluate(t, rm.channel_widths(t), kind, first, count, aux, theta)
    got = _compiled.evaluate(t, rm.channel_widths(t), kind, first, count, aux, theta, None)
    np.testing.assert_allclose(got, expected, rtol=1e-9, atol=1e-12 * expected.max())
    jacobian = _compiled.jacobian(t, rm.channel_widths(t), kind, first, count, aux, theta, None)
    reference = rm.jacobian(t, rm.channel_widths(t), kind, first, count, aux, theta)
    scale = np.abs(reference).max(axis=0)
    np.testing.assert_allclose(jacobian / scale, reference / scale, atol=1e-5)
