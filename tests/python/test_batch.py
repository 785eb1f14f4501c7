"""brivane.fit_many: every spectrum's result the same bits as brivane.fit on it alone (for one
thread and many, from every kind of start), bad spectra reported in their own entry, and the
arguments that apply to all spectra checked at the door."""
import math

import numpy as np
import pytest

import brivane
from brivane.result import _numpy_statistics
from layer_support import needs_engine

pytestmark = needs_engine

X = np.linspace(420.0, 620.0, 401)   # a Raman-like axis far from zero, 0.5 cm^-1 channels


def map_counts(shape, shape_kind="lorentzian", seed=5):
    """Poisson counts of two peaks + a sloped background, centres shifted per pixel."""
    rng = np.random.default_rng(seed)
    size = int(np.prod(shape))
    shift = rng.normal(0.0, 0.6, size)
    width = np.gradient(X)
    out = np.empty((size, X.size))
    for s in range(size):
        if shape_kind == "gaussian":
            peaks = [brivane.Gaussian(520.0 + shift[s], 3.0, area=6e4), brivane.Gaussian(560.0 - shift[s], 5.0, area=2e4)]
        else:
            peaks = [brivane.Lorentzian(520.0 + shift[s], 7.0, area=6e4), brivane.Lorentzian(560.0 - shift[s], 12.0, area=2e4)]
        truth = brivane.Model(peaks, background=brivane.Linear(level=40.0, slope=0.05))
        out[s] = rng.poisson(truth.evaluate(X))
    assert np.allclose(width, np.gradient(X))
    return out.reshape(tuple(shape) + (X.size,))


def rough_model(kind="lorentzian"):
    """Starts about 10% off, read off a plot."""
    if kind == "gaussian":
        peaks = [brivane.Gaussian(522.0, 3.3, area=5.4e4), brivane.Gaussian(557.0, 4.5, area=2.2e4)]
    elif kind == "voigt":
        peaks = [brivane.Voigt(522.0, 2.5, 3.0, area=5.4e4), brivane.Voigt(557.0, 4.0, 5.0, area=2.2e4)]
    elif kind == "pseudo_voigt":
        peaks = [brivane.PseudoVoigt(522.0, 7.7, 0.3, area=5.4e4), brivane.PseudoVoigt(557.0, 11.0, 0.3, area=2.2e4)]
    else:
        peaks = [brivane.Lorentzian(522.0, 7.7, area=5.4e4), brivane.Lorentzian(557.0, 11.0, area=2.2e4)]
    return brivane.Model(peaks, background=brivane.Linear(level=36.0, slope=0.045))


def same_bits(a, b):
    a, b = np.asarray(a, float), np.asarray(b, float)
    return a.shape == b.shape and a.tobytes() == b.tobytes()


def expect_as_alone(batch, index, single, derived=False):
    """Entry ``index`` of a BatchResult against a FitResult, bit for bit."""
    assert batch.n_iterations[index] == single.n_iterations
    assert bool(batch.converged[index]) == single.converged
    assert batch.message(index) == single.message
    assert same_bits(batch.theta[index], single.theta)
    assert same_bits(batch.covariance[index], single.covariance)
    for name in ("deviance", "log_likelihood", "chi_square", "error_scale", "aic", "bic"):
        assert same_bits(getattr(batch, name)[index], getattr(single, name)), name
    names = single.parameter_names if not derived else list(single.values)
    values, errors = (batch.values, batch.stderr) if derived else (batch.parameters(), batch._stderr)
    for name in names:
        assert same_bits(values[name][index], single.values[name]), name
        assert same_bits(errors[name][index], single.stderr[name]), name


@pytest.mark.parametrize("kind", ["lorentzian", "gaussian", "pseudo_voigt", "voigt"])
def test_every_spectrum_as_alone_for_one_two_and_eight_threads(kind):
    counts = map_counts((2, 3), "gaussian" if kind == "gaussian" else "lorentzian")
    model = rough_model(kind)
    reference = brivane.fit_many(X, counts, model, threads=1)
    P = len(model.parameter_names)
    assert reference.shape == (2, 3) and reference.theta.shape == (2, 3, P)
    for index in np.ndindex(2, 3):
        single = brivane.fit(X, counts[index], model)
        expect_as_alone(reference, index, single, derived=index == (1, 2))
        # Both take their statistics from the engine: against the formulas in NumPy over the
        # model's counts per channel at the result.
        log_likelihood, deviance, chi_square = _numpy_statistics(counts[index], single.eval())
        assert reference.log_likelihood[index] == pytest.approx(log_likelihood, rel=1e-12)
        assert reference.deviance[index] == pytest.approx(deviance, rel=1e-9)
        assert reference.chi_square[index] == pytest.approx(chi_square, rel=1e-12)
    for threads in (2, 8):
        other = brivane.fit_many(X, counts, model, threads=threads)
        for name in ("theta", "covariance", "deviance", "n_iterations"):
            assert same_bits(getattr(other, name), getattr(reference, name)), (threads, name)
    try:
        for limit in (1, 2):
            brivane.set_threads(limit)
            assert same_bits(brivane.fit_many(X, counts, model).theta, reference.theta)
    finally:
        brivane.set_threads(None)


def test_starts_one_for_all_per_spectrum_and_estimated():
    counts = map_counts((5,), seed=9)
    model = rough_model()
    first = brivane.fit(X, counts[0], model)
    # One start for all, from an earlier result or a dict.
    batch = brivane.fit_many(X, counts, model, starts=first)
    for s in range(5):
        expect_as_alone(batch, s, brivane.fit(X, counts[s], model, start=first))
    # Per spectrum: an array (a start outside its bounds is brought inside, as fit does), a dict
    # of arrays, a BatchResult.
    per = np.repeat(first.theta[None], 5, axis=0)
    per[:, 0] += np.linspace(-2.0, 2.0, 5)
    per[3, 1] = 1e9   # far above the width's upper bound
    batch = brivane.fit_many(X, counts, model, starts=per)
    for s in range(5):
        start = dict(zip(model.parameter_names, per[s]))
        expect_as_alone(batch, s, brivane.fit(X, counts[s], model, start=start))
    by_name = brivane.fit_many(X, counts, model, starts={"p0.center": per[:, 0], "p1.fwhm": 11.5})
    for s in range(5):
        expect_as_alone(by_name, s, brivane.fit(X, counts[s], model, start={"p0.center": per[s, 0], "p1.fwhm": 11.5}))
    again = brivane.fit_many(X, counts, model, starts=batch)
    assert np.all(again.n_iterations <= batch.n_iterations)
    # Starts left to the rough estimates, spectrum by spectrum as fit makes them.
    estimated = brivane.Model([brivane.Lorentzian(522.0), brivane.Lorentzian(557.0)], background=brivane.Linear())
    batch = brivane.fit_many(X, counts, estimated)
    for s in range(5):
        expect_as_alone(batch, s, brivane.fit(X, counts[s], estimated))


def test_neighbour_starts_follow_rows_then_columns_whatever_the_threads():
    counts = map_counts((3, 4), seed=13)
    model = rough_model()
    counts[0, 2, 10] = np.nan    # not fitted: the spectrum below starts from the model
    batch = brivane.fit_many(X, counts, model, starts="neighbour", threads=1)
    assert batch.status[0, 2] == 6 and "counts" in batch.message((0, 2))
    assert np.isnan(batch.theta[0, 2]).all() and np.isnan(batch.deviance[0, 2])

    def start_of(index):
        return dict(zip(model.parameter_names, batch.theta[index]))

    expect_as_alone(batch, (0, 0), brivane.fit(X, counts[0, 0], model))
    expect_as_alone(batch, (0, 1), brivane.fit(X, counts[0, 1], model, start=start_of((0, 0))))
    expect_as_alone(batch, (0, 3), brivane.fit(X, counts[0, 3], model))   # its left neighbour failed
    expect_as_alone(batch, (1, 2), brivane.fit(X, counts[1, 2], model))   # the one above failed
    for index in [(1, 0), (1, 3), (2, 1), (2, 2)]:
        above = (index[0] - 1, index[1])
        expect_as_alone(batch, index, brivane.fit(X, counts[index], model, start=start_of(above)))
    assert same_bits(brivane.fit_many(X, counts, model, starts="neighbour", threads=2).theta, batch.theta)
    # From a fitted neighbour, fewer steps than from the rough start.
    plain = brivane.fit_many(X, counts, model)
    assert batch.n_iterations[2].sum() < plain.n_iterations[2].sum()


def test_bad_spectra_are_reported_and_never_stop_the_others():
    counts = map_counts((6,), seed=17)
    counts[1, 3] = -2.0
    counts[4, 100] = np.inf
    model = rough_model()
    batch = brivane.fit_many(X, counts, model, max_iter=3)
    assert list(batch.status[[1, 4]]) == [6, 6]
    assert not batch.converged[[1, 4]].any()
    assert np.isnan(batch.values["p0.center"][[1, 4]]).all() and np.isnan(batch.stderr["p0.fwhm"][[1, 4]]).all()
    for s in (0, 2, 3, 5):
        single = brivane.fit(X, counts[s], model, max_iter=3)
        assert not single.converged and "max_iter=3" in single.message
        expect_as_alone(batch, s, single)
    messages = batch.messages()
    assert messages.shape == (6,) and messages[1] == brivane.BatchResult.MESSAGES[6]
    with pytest.raises(ValueError, match="counts"):
        brivane.fit(X, counts[1], model)   # what fit says of the same spectrum


def test_a_start_the_engine_cannot_use_has_fits_statistics():
    # A lone narrow peak without background, started far from the counts: its model is 0 where
    # counts are, the engine gives no statistics, and both fit and fit_many form them from the
    # model at the start; the spectra around it keep the engine's.
    counts = map_counts((3,), seed=41)
    model = brivane.Model([brivane.Gaussian(430.0, 0.5, area=1e3)])
    counts[1] = 0.0
    counts[1, 5] = 3.0     # only near the start's peak: that spectrum can be fitted
    batch = brivane.fit_many(X, counts, model, threads=2)
    assert list(batch.status) == [3, 0, 3]
    assert np.isfinite(batch.chi_square).all() and np.isfinite(batch.deviance).all()
    for s in range(3):
        expect_as_alone(batch, s, brivane.fit(X, counts[s], model))


def test_descending_axis_window_and_poisson_errors_as_fit():
    counts = map_counts((2, 2), seed=21)[..., ::-1]
    model = rough_model()
    batch = brivane.fit_many(X[::-1], counts, model, window=(460.0, 600.0), errors="poisson")
    assert batch.notes and "descending" in batch.notes[0]
    for index in np.ndindex(2, 2):
        expect_as_alone(batch, index, brivane.fit(X[::-1], counts[index], model, window=(460.0, 600.0), errors="poisson"))


def test_a_peak_that_vanishes_is_reported_as_fit_reports_it():
    rng = np.random.default_rng(3)
    truth = brivane.Model([brivane.Lorentzian(520.0, 7.0, area=6e4)], background=brivane.Constant(level=30.0))
    counts = rng.poisson(np.tile(truth.evaluate(X), (3, 1))).astype(float)
    model = brivane.Model([brivane.Lorentzian(520.0, 7.0, area=5e4), brivane.Lorentzian(600.0, 5.0, area=100.0)],
                          background=brivane.Constant(level=30.0))
    batch = brivane.fit_many(X, counts, model)
    for s in range(3):
        single = brivane.fit(X, counts[s], model)
        expect_as_alone(batch, s, single)
        assert same_bits(batch.undetermined[s], single.undetermined)


def test_arguments_for_all_spectra_are_checked_at_the_door():
    counts = map_counts((2,))
    model = rough_model()
    with pytest.raises(ValueError, match=r"counts must have shape \(\.\.\., 401\)"):
        brivane.fit_many(X, counts[:, :-1], model)
    with pytest.raises(TypeError, match="counts"):
        brivane.fit_many(X, counts.astype(bool), model)
    with pytest.raises(ValueError, match="method"):
        brivane.fit_many(X, counts, model, method="em")
    with pytest.raises(ValueError, match=r"starts must have shape \(\.\.\., 8\)"):
        brivane.fit_many(X, counts, model, starts=np.zeros((2, 7)))
    with pytest.raises(ValueError, match="unknown parameter"):
        brivane.fit_many(X, counts, model, starts={"p9.center": 1.0})
    with pytest.raises(ValueError, match="starts"):
        brivane.fit_many(X, counts, model, starts="neighbours")
    with pytest.raises(ValueError, match="window"):
        brivane.fit_many(X, counts, model, window=(600.0, 500.0))
    with pytest.raises(TypeError, match="model"):
        brivane.fit_many(X, counts, "model")
    empty = brivane.fit_many(X, np.zeros((0, X.size)), model)
    assert empty.theta.shape == (0, 8) and empty.deviance.shape == (0,)
    assert math.isfinite(brivane.fit_many(X, counts[0], model).deviance[()])   # one spectrum, shape ()


def test_concurrent_calls_from_python_threads_agree_bit_for_bit():
    from concurrent.futures import ThreadPoolExecutor

    counts = map_counts((4, 4), seed=29)
    model = rough_model("voigt")
    reference = brivane.fit_many(X, counts, model, threads=1)
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda k: brivane.fit_many(X, counts, model, starts="neighbour" if k % 2 else None),
                                range(8)))
    neighbour = brivane.fit_many(X, counts, model, starts="neighbour", threads=1)
    for k, result in enumerate(results):
        expected = neighbour if k % 2 else reference
        assert same_bits(result.theta, expected.theta) and same_bits(result.deviance, expected.deviance), k


def test_fit_and_fit_many_need_no_scipy():
    # SciPy serves the tests only: a process where it cannot be imported fits, batches and derives.
    import subprocess
    import sys

    script = (
        "import sys; sys.modules['scipy'] = None\n"
        "import numpy as np, brivane\n"
        "x = np.linspace(0.0, 100.0, 300)\n"
        "rng = np.random.default_rng(3)\n"
        "counts = rng.poisson(2e3 * np.exp(-0.5 * ((x - 48.0) / 4.0) ** 2) / (4.0 * 2.5066) * x[1] + 5.0, (3, 300))\n"
        "model = brivane.Model([brivane.Gaussian(50.0, 3.0)], background=brivane.Constant())\n"
        "single = brivane.fit(x, counts[0].astype(float), model)\n"
        "batch = brivane.fit_many(x, counts, model, threads=2)\n"
        "assert batch.deviance[0] == single.deviance and batch.log_likelihood[0] == single.log_likelihood\n"
        "assert batch.values['p0.fwhm'][0] == single.values['p0.fwhm']\n"
        "print('ok', 'scipy' in sys.modules and sys.modules['scipy'] is not None)\n")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert out.stdout.split() == ["ok", "False"], out.stderr
