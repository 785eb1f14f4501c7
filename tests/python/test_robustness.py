"""Random degenerate inputs never crash the interpreter: every call returns or raises one of the
documented exceptions, and a failed call leaves the caller's arrays as they were."""
import inspect

import numpy as np
import pytest

import brivane_core
from brivane_core import PanicException

GRIDS = [np.array([]), np.array([1.0]), np.array([np.nan, 1.0, 2.0]), np.array([np.inf, -np.inf, 0.0]),
         np.linspace(0.0, 1.0, 5), -np.linspace(0.0, 1.0, 5), np.zeros(4)]


def random_em_arguments(rng, names):
    pick = lambda: GRIDS[rng.integers(len(GRIDS))].copy()  # noqa: E731
    k = int(rng.integers(0, 3))
    basis = [list(rng.random(int(rng.integers(0, 6))))] if rng.random() < 0.3 else None
    values = [pick(), pick(), rng.normal(size=k), rng.normal(size=int(rng.integers(0, 3))),
              rng.random(int(rng.integers(0, 4))), rng.random(int(rng.integers(0, 4))) * 2.0,
              list(rng.random(int(rng.integers(0, 3))) > 0.5), list(rng.random(int(rng.integers(0, 3))) > 0.5),
              int(rng.integers(0, 4)), float(rng.choice([0.0, 1e-9, np.nan])),
              float(rng.choice([0.0, 1.0, np.nan, -1.0])), float(rng.choice([0.0, 1.0, np.nan, 2.0])),
              int(rng.integers(0, 8)), float(rng.choice([0.0, 0.5, 2.0, np.nan])), basis]
    return dict(zip(names, values))


EM_PANICS = ("index out of bounds: the len is ", "copy_from_slice: ")
CLAMP_FAILURE = "min > max, or either was NaN. "


def call_em_entry(function, args, panics, outcomes):
    """One EM call on random arguments: it returns histories of t + 1 entries, or raises a
    PanicException with one of `panics` and leaves every array it was given as it was."""
    before = {k: v.copy() for k, v in args.items() if isinstance(v, np.ndarray)}
    try:
        t, ll, rel, s_tri = function(**args)
        assert ll.size == rel.size == t + 1
        outcomes.add("ok")
    except PanicException as error:
        assert str(error).startswith(panics)
        for name, value in before.items():
            np.testing.assert_array_equal(args[name], value, err_msg=name)
        outcomes.add("panic")


GAUSSIAN = ["x", "intensity", "mu", "sigma", "pi", "dirichlet_alpha", "fix_mu", "fix_sigma", "max_iter", "r_eps",
            "x_min", "x_max", "bg_type", "s_tri", "spline_basis_preds"]
LORENTZIAN = ["x", "intensity", "x0", "gamma_lo", "pi", "dirichlet_alpha", "fix_x0", "fix_gamma", "max_iter",
              "r_eps", "x_min", "x_max", "bg_type", "s_tri", "spline_basis_preds"]


@pytest.mark.parametrize("function, names", [(brivane_core.run_em_loop, GAUSSIAN),
                                             (brivane_core.run_lorentzian_em_loop, LORENTZIAN)])
def test_em_entries_survive_random_degenerate_input(function, names, capfd):
    rng = np.random.default_rng(2026)
    outcomes = set()
    for _ in range(400):
        call_em_entry(function, random_em_arguments(rng, names), EM_PANICS, outcomes)
    assert outcomes == {"ok", "panic"}
    capfd.readouterr()


def random_three_parameter_em_arguments(rng, function):
    """Random degenerate arguments for an EM entry with three parameters per peak and bounds of its
    own, read off its signature: arrays of any length, NaN, infinite and reversed bounds."""
    names = list(inspect.signature(function).parameters)
    pick = lambda: GRIDS[rng.integers(len(GRIDS))].copy()  # noqa: E731
    bound = lambda: float(rng.choice([0.0, 0.5, 2.0, np.nan, np.inf, -1.0]))  # noqa: E731
    k = int(rng.integers(0, 3))
    args = {names[0]: pick(), "intensity": pick(), "pi": rng.random(int(rng.integers(0, 5))),
            "dirichlet_alpha": rng.random(int(rng.integers(0, 5))) * 2.0, "max_iter": int(rng.integers(0, 4)),
            "r_eps": float(rng.choice([0.0, 1e-9, np.nan])), "bg_type": int(rng.integers(0, 8)),
            "s_tri": float(rng.choice([0.0, 0.5, 2.0, np.nan])),
            "spline_basis_preds": [list(rng.random(int(rng.integers(0, 6))))] if rng.random() < 0.3 else None}
    for name in names[2:names.index("pi")]:
        args[name] = rng.normal(size=k if rng.random() < 0.8 else int(rng.integers(0, 3)))
    for name in names:
        if name.startswith("fix_"):
            args[name] = list(rng.random(k if rng.random() < 0.8 else int(rng.integers(0, 3))) > 0.5)
        elif name.endswith(("_min", "_max")):
            args[name] = bound()
    return args


@pytest.mark.parametrize("function", [brivane_core.run_voigt_em_loop, brivane_core.run_ds_em_loop])
def test_three_parameter_em_entries_survive_random_degenerate_input(function):
    rng = np.random.default_rng(2027)
    outcomes = set()
    for _ in range(300):
        call_em_entry(function, random_three_parameter_em_arguments(rng, function), EM_PANICS + (CLAMP_FAILURE,),
                      outcomes)
    assert outcomes == {"ok", "panic"}


def test_doniach_sunjic_mle_survives_random_degenerate_input():
    rng = np.random.default_rng(8)
    outcomes = set()
    for _ in range(400):
        x = GRIDS[rng.integers(len(GRIDS))]
        intensity = GRIDS[rng.integers(len(GRIDS))]
        start = (float(rng.normal()), float(rng.choice([0.0, 1.0, -1.0, np.nan])), float(rng.choice([0.0, 0.3, 1.0])))
        bounds = [float(rng.choice([0.0, -1.0, 1.0, 2.0, np.nan, np.inf])) for _ in range(6)]
        flags = [bool(f) for f in rng.random(3) < 0.4]
        try:
            fitted = brivane_core.doniach_sunjic_mle(x, intensity, *start, *bounds, *flags)
            assert len(fitted) == 3 and all(isinstance(v, float) for v in fitted)
            outcomes.add("ok")
        except PanicException as error:
            assert str(error).startswith(CLAMP_FAILURE)
            outcomes.add("panic")
    assert outcomes == {"ok", "panic"}


def test_lorentzian_mle_survives_random_degenerate_input(capfd):
    rng = np.random.default_rng(7)
    for _ in range(400):
        x = GRIDS[rng.integers(len(GRIDS))]
        intensity = GRIDS[rng.integers(len(GRIDS))]
        start = (float(rng.normal()), float(rng.choice([0.0, 1.0, -1.0, np.nan])))
        window = (float(rng.choice([0.0, -1.0, np.nan])), float(rng.choice([0.0, 1.0, np.nan])))
        x0, gamma = brivane_core.lorentzian_mle(x, intensity, *start, *window, bool(rng.random() < 0.5),
                                                bool(rng.random() < 0.5))
        assert isinstance(x0, float) and isinstance(gamma, float)
    capfd.readouterr()


def test_pv_em_entry_survives_random_degenerate_input():
    # The Lorentzian's random arguments, plus eta, its flags, the refit switch and the width bounds
    # (a NaN bound may end a full-optimisation call with the clamp's panic).
    rng = np.random.default_rng(2027)
    outcomes = set()
    for _ in range(300):
        args = random_em_arguments(rng, LORENTZIAN)
        args["eta"] = rng.random(int(rng.integers(0, 3)))
        args["fix_eta"] = list(rng.random(int(rng.integers(0, 3))) > 0.5)
        args["gamma_pv"] = args.pop("gamma_lo")
        args["use_full_opt"] = bool(rng.random() < 0.5)
        args["gamma_min"] = float(rng.choice([0.1, 0.0, np.nan, 5.0]))
        args["gamma_max"] = float(rng.choice([10.0, 0.1, np.nan]))
        args["max_iter"] = min(args["max_iter"], 3)
        call_em_entry(brivane_core.run_pv_em_loop, args, EM_PANICS + (CLAMP_FAILURE,), outcomes)
    assert outcomes == {"ok", "panic"}


def test_pseudo_voigt_single_peak_functions_survive_random_degenerate_input():
    rng = np.random.default_rng(8)
    for _ in range(300):
        x = GRIDS[rng.integers(len(GRIDS))]
        intensity = GRIDS[rng.integers(len(GRIDS))]
        start = (float(rng.normal()), float(rng.choice([0.0, 1.0, -1.0, np.nan])), float(rng.choice([0.5, 1.0, np.nan])))
        window = (float(rng.choice([0.0, -1.0, np.nan])), float(rng.choice([0.0, 1.0, np.nan])))
        flags = [bool(f) for f in rng.random(3) < 0.3]
        assert brivane_core.pseudo_voigt_predict(x, *start, *window).shape == x.shape
        result = brivane_core.pseudo_voigt_mle_conditional_max(x, intensity, *start, *window, *flags)
        assert len(result) == 3 and all(isinstance(v, float) for v in result)
        bounds = (float(rng.choice([0.1, 2.0, np.nan])), float(rng.choice([1.0, np.nan])))
        try:
            result = brivane_core.pseudo_voigt_mle_full_optimization(x, intensity, *start, *window, *bounds, 3, 1e-9,
                                                                     *flags)
            assert len(result) == 3 and all(isinstance(v, float) for v in result)
        except PanicException as error:
            assert str(error).startswith(CLAMP_FAILURE) and np.isnan(bounds).any()


def em_entries():
    return [name for name in brivane_core.__all__ if name.endswith("em_loop")]


def em_call_with_a_short_flag_sequence(function):
    """Arguments for any EM entry, read off its signature: two peaks and a uniform background on a
    600-sample grid; the last fix-flag sequence has one entry too few."""
    names = list(inspect.signature(function).parameters)
    per_peak = names[2:names.index("pi")]
    flags = [name for name in names if name.startswith("fix_")]
    grid = np.linspace(1.0, 60.0, 600)
    args = {names[0]: grid, "intensity": 50.0 + 400.0 * np.exp(-0.5 * ((grid - 20.0) / 3.0) ** 2),
            "pi": np.array([0.45, 0.45, 0.1]), "dirichlet_alpha": np.ones(3), "max_iter": 10, "r_eps": 0.0,
            "bg_type": 1}
    for index, name in enumerate(per_peak):
        args[name] = np.array([20.0 + index, 40.0 + index])
    # A Gaussian share or an asymmetry above 1 gives no log-likelihood, and then no iteration.
    for name in ("eta", "alpha"):
        if name in args:
            args[name] = np.array([0.5, 0.5])
    for name in flags:
        args[name] = [False, False]
    args[flags[-1]] = [False]
    for name in names:
        if name not in args and name not in ("s_tri", "spline_basis_preds"):
            args[name] = False if name.startswith("use_") else 60.0 if name.endswith("_max") else 1.0
    return args


@pytest.mark.parametrize("name", em_entries())
def test_an_abort_after_the_weight_update_writes_nothing_back(name, capfd):
    # The flags are first read by the refits, after the first E-step has changed the working weights.
    function = getattr(brivane_core, name)
    args = em_call_with_a_short_flag_sequence(function)
    before = {k: v.copy() for k, v in args.items() if isinstance(v, np.ndarray)}
    with pytest.raises(PanicException) as info:
        function(**args)
    assert str(info.value) == "index out of bounds: the len is 1 but the index is 1"
    for key, value in before.items():
        np.testing.assert_array_equal(args[key], value, err_msg=key)
    args[[n for n in args if n.startswith("fix_")][-1]] = [False, False]
    function(**args)  # the same call with whole flags runs, and writes the weights
    assert not np.array_equal(args["pi"], before["pi"])
    capfd.readouterr()


TSDC_GRIDS = GRIDS + [np.linspace(250.0, 400.0, 151)]


def random_tsdc_call(rng):
    """Grids and counts from the degenerate set or one real peak, peak values and bounds that are
    sometimes zero, negative or NaN: keyword arguments of run_tsdc_em_loop."""
    t = TSDC_GRIDS[rng.integers(len(TSDC_GRIDS))].copy()
    counts = (1e4 * np.exp(-0.5 * ((t - 320.0) / 8.0) ** 2) if rng.random() < 0.5
              else TSDC_GRIDS[rng.integers(len(TSDC_GRIDS))].copy())
    k = int(rng.integers(0, 3))
    value = lambda *choices: float(rng.choice(choices))  # noqa: E731
    return dict(
        t=t, intensity=counts, ea=rng.choice([0.8, 1.1, 0.0, -1.0, np.nan], size=k),
        tau0=rng.choice([1e-12, 1e-15, 0.0, np.nan], size=int(rng.integers(0, 3))),
        tp=rng.choice([300.0, 2500.0, 0.0, np.nan], size=int(rng.integers(0, 3))),
        pi=rng.random(int(rng.integers(0, 4))), dirichlet_alpha=rng.random(int(rng.integers(0, 4))) * 2.0,
        fix_ea=list(rng.random(int(rng.integers(0, 3))) > 0.5), fix_tp=list(rng.random(int(rng.integers(0, 3))) > 0.5),
        beta=value(0.1, 0.0, -1.0, np.nan), ea_min=value(0.1, 1.5, np.nan), ea_max=value(3.0, 0.05, np.nan),
        t_min=value(250.0, 400.0, np.nan), t_max=value(400.0, 250.0, np.nan), max_iter=int(rng.integers(0, 4)),
        r_eps=value(0.0, 1e-9), bg_type=int(rng.integers(0, 6)))


def test_tsdc_functions_survive_random_degenerate_input():
    # Every call returns, or raises a fit's RuntimeError or the documented PanicException (an
    # index, a copy or a clamp with a NaN bound); a failed EM call writes nothing back.
    rng = np.random.default_rng(2027)
    outcomes = set()
    for _ in range(400):
        args = random_tsdc_call(rng)
        call_em_entry(brivane_core.run_tsdc_em_loop, args, EM_PANICS + (CLAMP_FAILURE,), outcomes)
        peak = (float(rng.choice([0.8, 0.0, -1.0, np.nan])), 1e-12, float(rng.choice([300.0, 0.0, np.nan])))
        flags = (bool(rng.random() < 0.3), bool(rng.random() < 0.3))
        t, counts = args["t"], args["intensity"]
        assert brivane_core.tsdc_predict(t, peak[0], peak[1], args["beta"]).shape == t.shape
        for call in (lambda: brivane_core.tsdc_mle_find_root(t, counts, *peak, args["ea_min"], args["ea_max"],
                                                             args["beta"], *flags),
                     lambda: brivane_core.tsdc_mle_lbfgsb(t, counts, *peak, args["ea_min"], args["ea_max"],
                                                          args["t_min"], args["t_max"], args["beta"], *flags)):
            try:
                result = call()
                assert len(result) == 3 and all(isinstance(v, float) for v in result)
                outcomes.add("fit")
            except RuntimeError as error:
                assert str(error) in ("brentq failed: NoBracketing", "brentq failed: NoConvergency", "L-BFGS-B failed",
                                      "fitted values are not numbers")
                outcomes.add("fit error")
            except PanicException as error:
                assert str(error).startswith(CLAMP_FAILURE)
                outcomes.add("clamp")
    assert outcomes == {"ok", "panic", "fit", "fit error", "clamp"}
