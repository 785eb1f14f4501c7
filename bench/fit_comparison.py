"""Objective calls and log-likelihoods of the single-peak fits against SciPy's L-BFGS-B, on the case
sets of tests/python/fit_comparison.py.

The module does not report how often it evaluated its objective; the numerical core does, so the
cases go through a file to build/cpp/fit_comparison_calls (built with -DBRIVANE_BUILD_TESTS=ON, as
scripts/test.sh does). SciPy's count is the nfev of its result; an objective call is one value with
its gradient on both sides (forward differences for the Lorentzian, the analytic gradient for the
TSDC bounded fit). Both fits are judged by the same NumPy
log-likelihood. Where the module is installed, its fits are checked to be the program's.

    python bench/fit_comparison.py [--program build/cpp/fit_comparison_calls]
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # see tests/python/conftest.py

import numpy as np  # noqa: E402

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))
import fit_comparison  # noqa: E402


def module_fits(program, shape, cases):
    """(objective calls, fitted parameters) per case, from the C++ program."""
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "cases.bin")
        fit_comparison.write_cases(path, cases)
        out = subprocess.run([program, shape.name, path], capture_output=True, text=True, check=True).stdout
    rows = [line.split() for line in out.splitlines()]
    if len(rows) != len(cases):
        raise SystemExit(f"{program} answered {len(rows)} of {len(cases)} cases")
    return [int(row[0]) for row in rows], [tuple(float(v) for v in row[1:]) for row in rows]


def check_against_installed_module(shape, cases, fitted):
    try:
        import brivane_core  # noqa: F401
    except ImportError:
        print("  (brivane_core not importable: the program's fits are not checked against it)")
        return
    with fit_comparison.quiet_stdout():
        installed = [tuple(map(float, shape.module_fit(case))) for case in cases]
    differing = sum(a != b for a, b in zip(installed, fitted))
    print(f"  installed module: {'same fits as the program' if not differing else f'{differing} fits differ from the program'}")


def spread(values):
    values = np.asarray(values, float)
    return f"mean {values.mean():6.1f}, median {np.median(values):5.1f}, max {values.max():4.0f}"


def report(shape, program):
    cases = shape.cases()
    begin = time.perf_counter()
    calls, fitted = module_fits(program, shape, cases)
    module_seconds = time.perf_counter() - begin
    begin = time.perf_counter()
    outcomes = fit_comparison.compare(shape, cases, module_results=fitted)
    scipy_seconds = time.perf_counter() - begin

    tolerance = fit_comparison.RELATIVE_TOLERANCE
    gaps = np.array([o.gap for o in outcomes])
    calls = np.array(calls)
    scipy_calls = np.array([o.reference_calls for o in outcomes])
    sizes = [case.x.size for case in cases]
    print(f"{shape.name}: {len(cases)} cases, {min(sizes)} to {max(sizes)} samples "
          f"(program {module_seconds:.2f} s, SciPy and judging {scipy_seconds:.2f} s)")
    check_against_installed_module(shape, cases, fitted)
    print(f"  objective calls, module: {spread(calls)}")
    print(f"  objective calls, SciPy:  {spread(scipy_calls)}")
    print(f"  module calls / SciPy calls per case: median {np.median(calls / scipy_calls):.2f}; fewer calls: "
          f"module {np.sum(calls < scipy_calls)}, SciPy {np.sum(calls > scipy_calls)}, "
          f"equal {np.sum(calls == scipy_calls)}")
    worst = max(outcomes, key=lambda o: o.gap)
    print(f"  worst relative log-likelihood gap, module short of SciPy: {worst.gap:.3g} ({worst.case.id})")
    print(f"  higher log-likelihood: module {np.sum(gaps < 0)}, SciPy {np.sum(gaps > 0)}, "
          f"equal {np.sum(gaps == 0)}; by more than {tolerance:g} relative: module {np.sum(gaps < -tolerance)}, "
          f"SciPy {np.sum(gaps > tolerance)}")
    short = [(o, c) for o, c in zip(outcomes, calls) if not o.gap <= tolerance]
    for outcome, module_calls in sorted(short, key=lambda pair: -pair[0].gap):
        known = "known" if outcome.case.id in shape.known_shortfalls else "NEW"
        print(f"    {known} {outcome.case.id}: gap {outcome.gap:.3g}, log-likelihood module {outcome.module_ll:.10g} "
              f"at {fmt(outcome.module)} in {module_calls} calls, SciPy {outcome.reference_ll:.10g} "
              f"at {fmt(outcome.reference)} in {outcome.reference_calls} calls")


def fmt(params):
    return "(" + ", ".join(f"{p:.6g}" for p in params) + ")"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", default=os.path.join(ROOT, "build", "cpp", "fit_comparison_calls"))
    program = os.path.abspath(parser.parse_args().program)
    if not os.access(program, os.X_OK):
        raise SystemExit(f"{program} not found: build it with -DBRIVANE_BUILD_TESTS=ON (scripts/test.sh does)")
    for shape in fit_comparison.SHAPES:
        report(shape, program)


if __name__ == "__main__":
    main()
