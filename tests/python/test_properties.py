"""Property-based tests (Hypothesis) over the fourteen functions of the module: arguments drawn from
what users pass and from what breaks things (wrong types, 2-D and float32 arrays, lists, arrays of
mismatched lengths, NaN, infinities, subnormal and huge values, empty and degenerate grids and
windows, bounds out of order, integers out of range).

Asserted for every call:
- it returns, or raises only a documented exception: TypeError (a value of the wrong type),
  OverflowError (an integer out of range), PanicException with one of the documented texts, and
  RuntimeError with its documented texts from the two single-peak TSDC fits;
- a failed call leaves every array it was given as it was, and no call changes an array it only
  reads;
- a mixture fit returns histories of iterations + 1 entries, at most max_iter + 1, and writes a NaN
  into a parameter array only where one was before: a NaN is never reported as a fit;
- a single-peak fit returns no NaN when every number it was given is finite.

About 10^4 examples in all by default (2,000 against the sanitized module; BRIVANE_PROPERTY_EXAMPLES
sets the total), derandomised
so that the test command is repeatable; tests/run_properties.py runs 10^5 with fresh randomness.
"""
import collections
import functools
import inspect
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import brivane_core
from brivane_core import PanicException
from sanitized import SANITIZED

FUNCTIONS = list(brivane_core.__all__)
# A module under AddressSanitizer (the test command's second run, its runtime preloaded) runs a
# few times slower: a fifth of the examples keep that run's time in bounds.
TOTAL_EXAMPLES = int(os.environ.get("BRIVANE_PROPERTY_EXAMPLES", "2000" if SANITIZED else "10000"))
RANDOM = os.environ.get("BRIVANE_PROPERTY_RANDOM") == "1"
PROPERTY_SETTINGS = settings(max_examples=max(1, TOTAL_EXAMPLES // (len(FUNCTIONS) + 1)), deadline=None,
                             derandomize=not RANDOM, database=None,
                             suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                                     HealthCheck.function_scoped_fixture])

# What the calls ended with, by function: tests/run_properties.py prints it.
OUTCOMES = collections.Counter()

PANIC_TEXTS = ("index out of bounds: the len is ", "copy_from_slice: ", "min > max, or either was NaN. ")
TSDC_FIT_ERRORS = ("brentq failed: NoBracketing", "brentq failed: NoConvergency", "L-BFGS-B failed",
                   "fitted values are not numbers")

SPECIAL = np.array([0.0, -0.0, 5e-324, -5e-324, 2.2e-308, 1e-300, 1e-12, 1e12, 1e300, -1e300,
                    1.7976931348623157e308, np.inf, -np.inf, np.nan])
WRONG_TYPES = [[1.0, 2.0], np.ones(3, dtype=np.float32), np.ones((2, 2)), "1", None, 1j]


# Every example is drawn from a generator that Hypothesis seeds, together with the few choices
# that shape it (the function's peak count, which misuse if any): drawing every value through
# Hypothesis costs it some tens of microseconds each, and an EM call has some eighty of them,
# far more than the call itself takes. The failing arguments are printed in full.
class Draw:
    def __init__(self, rng):
        self.rng = rng

    def integer(self, low, high):
        return int(self.rng.integers(low, high + 1))

    def real(self):
        """Moderate values, widths-like values, special values and arbitrary bit patterns."""
        kind = self.integer(0, 3)
        if kind == 0:
            return float(self.rng.uniform(-100.0, 100.0))
        if kind == 1:
            return float(self.rng.uniform(0.01, 10.0))
        if kind == 2:
            return float(self.rng.choice(SPECIAL))
        return float(self.rng.integers(0, 2**64, dtype=np.uint64).view(np.float64))

    def special_array(self, n):
        """n values, about a third of them special (NaN, infinities, subnormal and huge values,
        signed zeros), the others normal with a spread of 50."""
        return np.where(self.rng.random(n) < 0.35, self.rng.choice(SPECIAL, n), self.rng.normal(0.0, 50.0, n))

    def grid(self):
        """Ascending grids, mostly: axes near zero or far from it, wide or narrow spacing; otherwise
        anything (constant, or with special values in any order)."""
        kind = self.integer(0, 5)
        if kind <= 3:
            start = float(self.rng.choice([0.0, -50.0, 200.0, 1e9, 450.0]))
            step = float(self.rng.choice([1.0, 0.5, 1e-3, 1e-12, 10.0]))
            return start + step * np.arange(self.integer(0, 60), dtype=np.float64)
        if kind == 4:
            return np.zeros(self.integer(0, 5))
        return self.special_array(self.integer(0, 40))

    def counts(self, n):
        """Counts for a grid of n samples: Poisson counts at any scale (down to 5e-324), zeros, or
        special values, sometimes of another length."""
        kind = self.integer(0, 5)
        if kind <= 2:
            scale = float(self.rng.choice([1.0, 100.0, 1e-3, 1e12, 5e-324]))
            return scale * self.rng.poisson(float(self.rng.choice([0.5, 20.0, 1000.0])), n).astype(np.float64)
        if kind == 3:
            return np.zeros(n)
        return self.special_array(n if kind == 4 else self.integer(0, n + 2))

    def peak_array(self, name, size):
        kind = self.integer(0, 3)
        if kind == 0:
            return np.full(size, 1.0 / max(size, 1)) if name == "pi" else np.ones(size)
        if kind == 1:
            return self.rng.uniform(0.05, 5.0, size)
        if kind == 2:
            return np.array([self.real() for _ in range(size)], dtype=np.float64)
        return self.special_array(size)


@functools.lru_cache(maxsize=None)
def parameters_of(function):
    """(name, kind, has a default) for every parameter of `function`, in order."""
    parameters = inspect.signature(getattr(brivane_core, function)).parameters
    names = list(parameters)
    result = []
    for name, p in parameters.items():
        if name in ("x", "t"):
            kind = "grid"
        elif name == "intensity":
            kind = "counts"
        elif name in ("max_iter", "bg_type", "spline_basis_preds"):
            kind = name
        elif name.startswith("fix_"):
            kind = "flags" if function.startswith("run_") else "flag"
        elif name == "use_full_opt":
            kind = "flag"
        elif function.startswith("run_") and (name in ("pi", "dirichlet_alpha") or
                                              2 <= names.index(name) < names.index("pi")):
            kind = "array"  # the per-peak arrays lie between the intensities and pi
        else:
            kind = "real"
        result.append((name, kind, p.default is not inspect.Parameter.empty))
    return tuple(result)


@st.composite
def calls(draw, function):
    """Keyword arguments for `function`, and the exception type a value of the wrong type or an
    integer out of range, put in on purpose, must raise (None without such a misuse)."""
    peaks = draw(st.integers(0, 3))
    d = Draw(np.random.default_rng(draw(st.integers(0, 2**64 - 1))))
    misuse = d.integer(0, 19)
    args = {}
    grid = None
    for name, kind, has_default in parameters_of(function):
        if has_default and d.integer(0, 3) == 0:
            continue  # left to its default
        if kind == "grid":
            value = grid = d.grid()
        elif kind == "counts":
            value = d.counts(0 if grid is None else len(grid))
        elif kind == "array" and name in ("pi", "dirichlet_alpha"):
            value = None  # sized below, once the background is known
        elif kind == "array":
            size = peaks if d.integer(0, 24) else d.integer(0, 4)  # or a length that breaks the contract
            value = d.peak_array(name, size)
        elif kind == "flags":
            size = peaks if d.integer(0, 24) else d.integer(0, 4)
            value = [bool(b) for b in d.rng.random(size) < 0.3]
        elif kind == "flag":
            value = bool(d.integer(0, 1))
        elif kind == "max_iter":
            value = d.integer(0, 6)
        elif kind == "bg_type":
            value = d.integer(0, 4) if d.integer(0, 9) else d.integer(5, 255)
        elif kind == "spline_basis_preds":
            n = 0 if grid is None else len(grid)
            rows, length = d.integer(0, 2), n if d.integer(0, 9) else d.integer(0, n + 1)
            value = None if d.integer(0, 1) else [list(row) for row in d.rng.random((rows, length))]
        else:
            value = d.real()
        args[name] = value
    # One weight per peak and background row: none for code 0 (and for codes above 4), one for
    # codes 1 to 3, one per row for 4.
    bg_type, rows = args.get("bg_type", 0), args.get("spline_basis_preds")
    background = 1 if 1 <= bg_type <= 3 else len(rows) if bg_type == 4 and rows is not None else 0
    for name in ("pi", "dirichlet_alpha"):
        if name in args:
            args[name] = d.peak_array(name, peaks + background if d.integer(0, 24) else d.integer(0, 4))
    if misuse == 0 and args:
        args[sorted(args)[d.integer(0, len(args) - 1)]] = WRONG_TYPES[d.integer(0, len(WRONG_TYPES) - 1)]
        return args, TypeError
    if misuse == 1 and ("max_iter" in args or "bg_type" in args):
        name = "max_iter" if "max_iter" in args else "bg_type"
        args[name] = [-1, 2**64, 256, 2**70][d.integer(0, 3)] if name == "max_iter" else [-1, 256, 2**70][d.integer(0, 2)]
        if name == "max_iter" and args[name] == 256:
            return args, None  # 256 iterations are allowed
        return args, OverflowError
    return args, None


def finite_everywhere(args):
    for value in args.values():
        if isinstance(value, float) and not np.isfinite(value):
            return False
        if isinstance(value, np.ndarray) and not np.isfinite(value).all():
            return False
    return True


def nan_only_where_it_was(after, before):
    return after.shape == before.shape and not (np.isnan(after) & ~np.isnan(before)).any()


@pytest.mark.parametrize("function", FUNCTIONS)
@PROPERTY_SETTINGS
@given(data=st.data())
def test_documented_outcomes_only(function, data, capfd):
    args, misuse = data.draw(calls(function))
    before = {name: value.copy() for name, value in args.items() if isinstance(value, np.ndarray)}
    kinds = {name: kind for name, kind, _ in parameters_of(function)}
    written = [name for name in before if function.startswith("run_") and kinds[name] == "array"
               and name != "dirichlet_alpha"]
    outcome = "returned"
    try:
        result = getattr(brivane_core, function)(**args)
    except (TypeError, OverflowError) as error:
        assert misuse is not None and isinstance(error, misuse), f"{type(error).__name__}: {error}"
        outcome = type(error).__name__
    except PanicException as error:
        assert str(error).startswith(PANIC_TEXTS), str(error)
        outcome = "PanicException"
    except RuntimeError as error:
        assert function in ("tsdc_mle_find_root", "tsdc_mle_lbfgsb") and str(error) in TSDC_FIT_ERRORS, str(error)
        outcome = "RuntimeError"
    failed = outcome != "returned"
    OUTCOMES[function, outcome] += 1
    capfd.readouterr()  # the Lorentzian fits' lines on descriptor 1

    for name, value in before.items():
        if failed or name not in written:
            assert np.array_equal(args[name], value, equal_nan=True), f"{name} was changed"
    if failed:
        return
    if function.startswith("run_"):
        iterations, log_likelihood, relative_change, s_tri = result
        assert len(log_likelihood) == len(relative_change) == iterations + 1
        assert iterations <= args.get("max_iter", 0)
        for name in written:
            assert nan_only_where_it_was(args[name], before[name]), f"NaN written into {name}: {args[name]}"
    elif function.endswith("_predict"):
        assert result.shape == args[next(iter(args))].shape
    elif finite_everywhere(args):
        assert not np.isnan(result).any(), f"NaN returned: {result}"


@pytest.mark.parametrize("function", [f for f in FUNCTIONS if f.startswith("run_")])
@PROPERTY_SETTINGS
@given(data=st.data())
def test_no_weight_returns_the_start_at_once(function, data, capfd):
    # Without counts there is nothing to fit: the start comes back after no iteration, however
    # large max_iter (10**9 here; before, this ran to it, writing NaN).
    args, misuse = data.draw(calls(function))
    if misuse is not None or "x" not in args and "t" not in args:
        return
    grid = args.get("x", args.get("t"))
    args["intensity"] = np.zeros(len(grid))
    args["max_iter"] = 10**9
    before = {name: value.copy() for name, value in args.items() if isinstance(value, np.ndarray)}
    try:
        iterations, log_likelihood, relative_change, _ = getattr(brivane_core, function)(**args)
    except PanicException as error:
        assert str(error).startswith(PANIC_TEXTS), str(error)
        OUTCOMES[function + " without counts", "PanicException"] += 1
        return
    finally:
        capfd.readouterr()
    OUTCOMES[function + " without counts", "returned"] += 1
    assert iterations == 0 and len(log_likelihood) == len(relative_change) == 1
    for name, value in before.items():
        assert np.array_equal(args[name], value, equal_nan=True), f"{name} was changed"
