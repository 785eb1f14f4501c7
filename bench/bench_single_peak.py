"""lorentzian_mle and doniach_sunjic_mle on a user's fit at n = 2,000, against the twin a user
would write: a plain NumPy log-likelihood handed to scipy.optimize.minimize(method="L-BFGS-B") with
SciPy's own forward-difference gradient, from the user's start.

Lorentzian: x from 100 to 300 (2,000 samples), counts ~ Poisson(3 + a peak at 190 of half width 4
and height 30), started at x0 = 180, gamma = 5. The module starts a free centre and width from the
data's moments whatever is passed (the width from the raw second moment, near 240 on this axis), so
it takes more objective calls than the twin started near the answer; both counts are printed.
Doniach-Sunjic: an XPS-like line at 284.8 (gamma 0.45, alpha 0.12) on 20 counts, x from 278 to 292
(2,000 samples), started at 286, 2, 0.3 with gamma in [0.01, 5] and alpha in [0, 0.6].

Both sides are timed in this run on the wall clock, best of several repeats (the module's
"LBFGSB finished" lines go to /dev/null). Where the time goes: the objective calls of each side
(the module's from build/cpp/fit_comparison_calls where it is built), the time of one NumPy
log-likelihood, and the module's time per objective call.

    python bench/bench_single_peak.py [--quick]
"""
import argparse
import math
import os
import subprocess
import sys
import tempfile
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from scipy.optimize import minimize  # noqa: E402

import brivane_core  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))
import fit_comparison  # noqa: E402
import reference_doniach_sunjic  # noqa: E402
from bench_em import instruction_set, processor  # noqa: E402
from fit_comparison import quiet_stdout  # noqa: E402
from timing import best  # noqa: E402


def lorentzian_nll(x, y, x_min, x_max):
    """-LL of the module's Lorentzian (density normalised by its trapezoid integral) in NumPy."""
    def nll(p):
        x0, gamma = p
        e = 0.5 * gamma
        mass = math.atan((x_max - x0) / e) / math.pi - math.atan((x_min - x0) / e) / math.pi
        d = gamma / (((x - x0) ** 2 + e * e) * (max(mass, 1e-300) * math.pi))
        total = float(np.sum(np.diff(x) * ((d[:-1] + d[1:]) * 0.5)))
        return -float(np.sum(y * np.log(d / total + 1e-200)))
    return nll


def doniach_sunjic_nll(x, y):
    def nll(p):
        return -reference_doniach_sunjic.log_likelihood(x, y, *p)
    return nll


def counted(f):
    calls = [0]

    def wrapped(p):
        calls[0] += 1
        return f(p)
    return wrapped, calls


def module_objective_calls(shape, x, y, params, window, settings=()):
    """The module's objective calls on one fit, from build/cpp/fit_comparison_calls; None where it is
    not built (the module does not report them)."""
    program = os.path.join(HERE, "..", "build", "cpp", "fit_comparison_calls")
    if not os.access(program, os.X_OK):
        return None
    case = fit_comparison.Case("bench", "bench", x, y, params, (False,) * len(params), window, settings)
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "case.bin")
        fit_comparison.write_cases(path, [case])
        out = subprocess.run([program, shape, path], capture_output=True, text=True, check=True).stdout
    return int(out.split()[0])


def compare(label, repeats, module_fit, nll, start, bounds, calls_of_module):
    objective, calls = counted(nll)
    with quiet_stdout():
        fitted = module_fit()
        module = {name: best(module_fit, repeats * 20, clock) for name, clock in CLOCKS}
    twin = minimize(objective, start, method="L-BFGS-B", bounds=bounds)
    twin_calls = calls[0]
    scipy = {name: best(lambda: minimize(nll, start, method="L-BFGS-B", bounds=bounds), repeats, clock)
             for name, clock in CLOCKS}
    one_pass = best(lambda: nll(twin.x), repeats * 20, time.thread_time)
    print(f"{label}:")
    for name, what in (("wall", "wall clock"), ("cpu", "CPU time")):
        print(f"  {what:10}: module {module[name] * 1e6:8.1f} us, SciPy twin {scipy[name] * 1e6:8.1f} us, "
              f"speed-up {scipy[name] / module[name]:5.1f}x")
    objective = twin_calls * one_pass
    print(f"  SciPy: {twin_calls} log-likelihoods of {one_pass * 1e6:.1f} us in NumPy "
          f"({objective / scipy['cpu']:.0%} of its CPU time), -LL {twin.fun:.6f}; module -LL {nll(fitted):.6f}")
    # What SciPy's minimiser costs depends on its version (and on its BLAS); the twin's
    # log-likelihoods alone bound the ratio from below whatever the minimiser.
    print(f"  the twin's log-likelihoods alone against the module's CPU time: {objective / module['cpu']:5.1f}x")
    if calls_of_module:
        passes = calls_of_module * (1 + len(start))
        print(f"  module: {calls_of_module} objective calls ({passes} log-likelihoods' worth), "
              f"{module['cpu'] / calls_of_module * 1e6:.2f} us of CPU time a call")


# The module on the wall clock and on the CPU time of all its threads (the Doniach-Sunjic passes
# share the pool's workers from 512 samples on); the twin runs on the calling thread alone. On a
# busy machine the CPU times still compare like with like where the wall clock does not.
CLOCKS = (("wall", time.perf_counter), ("cpu", time.process_time))


def lorentzian_user_fit(repeats):
    x = np.linspace(100.0, 300.0, 2000)
    rng = np.random.default_rng(23)
    y = rng.poisson(3.0 + 30.0 / (1.0 + ((x - 190.0) / 4.0) ** 2)).astype(float)
    window = (100.0, 300.0)
    calls = module_objective_calls("lorentzian", x, y, (180.0, 5.0), window)
    compare("lorentzian_mle, peak at 190 of half width 4 on 3 counts, n = 2000", repeats,
            lambda: brivane_core.lorentzian_mle(x, y, 180.0, 5.0, *window),
            lorentzian_nll(x, y, *window), [180.0, 5.0], [window, (0.1, 2000.0)], calls)


def doniach_sunjic_user_fit(repeats):
    x = np.linspace(278.0, 292.0, 2000)
    v = reference_doniach_sunjic.density(x, 284.8, 0.45, 0.12)
    y = np.random.default_rng(41).poisson(200000.0 * v * (x[1] - x[0]) + 20.0).astype(float)
    start, window, settings = (286.0, 2.0, 0.3), (x[0], x[-1]), (0.01, 5.0, 0.0, 0.6)
    calls = module_objective_calls("doniach_sunjic", x, y, start, window, settings)
    compare("doniach_sunjic_mle, XPS-like line at 284.8 on 20 counts, n = 2000", repeats,
            lambda: brivane_core.doniach_sunjic_mle(x, y, *start, *window, *settings),
            doniach_sunjic_nll(x, y), list(start), [window, settings[:2], settings[2:]], calls)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    repeats = 2 if parser.parse_args().quick else 5
    name, flags = processor()
    print(f"{name}, {len(os.sched_getaffinity(0))} logical CPUs; module kernels: {instruction_set(flags)}")
    lorentzian_user_fit(repeats)
    doniach_sunjic_user_fit(repeats)


if __name__ == "__main__":
    main()
