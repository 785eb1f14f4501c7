"""run_voigt_em_loop and doniach_sunjic_mle against the same computations in NumPy and SciPy.

Voigt mixture (n = 2,000 on [480, 560], K = 3 peaks plus a uniform background, rough starts): time
per EM iteration of the module against the same iteration in NumPy with SciPy's L-BFGS-B refits on
the same objective (tests/python/reference_voigt.py: the profile by scipy.special.wofz, the window
mass by the 100-point Gauss-Legendre rule, forward differences of step 1e-7). The module's time per
iteration is (t(max_iter=M) - t(max_iter=0)) / M, so argument copies and the first E-step are not
counted.

Doniach-Sunjic line (an XPS-like line on 1,401 samples, rough start): doniach_sunjic_mle against
tests/python/reference_doniach_sunjic.py, the twin timed by the thread's CPU time (it runs on the
calling thread alone), the module by the wall clock and by the CPU time of all its threads, per fit
and per objective call. The two minimisers stop by different rules (SciPy's also ends a run whose
accepted step no longer lowers the value, a test the module's rules do not have), so a single line
can cost them quite different numbers of calls; the same timing over the 210 Doniach-Sunjic cases
of tests/python/fit_comparison.py (rough starts, 200 to 2,000 samples, axes near and far from zero,
small and huge counts, some parameters held) gives the ratio a user fitting many lines sees.

Both sides are timed in this run, best of several repeats. The core alone, with the log-likelihood
pass against its w(z) calls and the two-core speed-up: build/cpp/voigt_em_bench.

    python bench/bench_voigt.py [--quick]
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # see tests/python/conftest.py

import numpy as np  # noqa: E402

import brivane_core  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
import fit_comparison  # noqa: E402
import reference_doniach_sunjic  # noqa: E402
import reference_voigt  # noqa: E402
from timing import best  # noqa: E402

WINDOW = (480.0, 560.0)
BOUNDS = (0.01, 10.0, 0.01, 10.0)
PEAKS = [(500.0, 0.8, 0.5, 0.45), (512.0, 1.2, 0.15, 0.35), (535.0, 0.4, 1.2, 0.20)]
START = ([501.5, 510.0, 536.5], [1.0] * 3, [1.0] * 3)  # a user's rough guesses


def voigt_spectrum(n=2000, seed=31):
    x = np.linspace(*WINDOW, n)
    mean = sum(s * reference_voigt.profile(x - c, sg, g) for c, sg, g, s in PEAKS) * (x[1] - x[0]) * 500000.0
    return x, np.random.default_rng(seed).poisson(mean + 50.0).astype(float)


def module_em(x, y, iterations):
    x0, sigma, gamma = (np.array(v, float) for v in START)
    pi = np.full(4, 0.25)
    brivane_core.run_voigt_em_loop(x, y, x0, sigma, gamma, pi, np.ones(4), [False] * 3, [False] * 3, [False] * 3,
                                   *WINDOW, *BOUNDS, iterations, 0.0, bg_type=1)
    return x0, sigma, gamma, pi


def voigt_mixture(repeats):
    x, y = voigt_spectrum()
    iterations = 5
    # The same iteration on both sides: parameters after two iterations agree.
    reference = reference_voigt.Mixture(x, y, *START, np.full(4, 0.25), WINDOW + BOUNDS)
    for _ in range(2):
        reference.iterate()
    module = module_em(x, y, 2)
    gap = np.max(np.abs(np.ravel(reference.params) - np.ravel(np.column_stack(module[:3]))))
    # The module on the wall clock (its refits run on every worker of the pool) and on the CPU
    # clock of the whole process (the work of all its threads: what one core would take); the
    # reference runs on this thread alone, so its CPU time is its time, whatever else the machine
    # runs.
    per_iteration = {}
    for name, clock in (("wall", time.perf_counter), ("cpu", time.process_time)):
        setup = best(lambda: module_em(x, y, 0), repeats, clock)
        per_iteration[name] = (best(lambda: module_em(x, y, iterations), repeats, clock) - setup) / iterations

    def reference_run():
        em = reference_voigt.Mixture(x, y, *START, np.full(4, 0.25), WINDOW + BOUNDS)
        begin = time.thread_time()
        for _ in range(iterations):
            em.iterate()
        return time.thread_time() - begin

    reference = min(reference_run() for _ in range(max(1, repeats // 2))) / iterations
    print(f"run_voigt_em_loop, n = {x.size}, K = 3 + uniform background, per EM iteration:")
    print(f"  NumPy+SciPy {reference * 1e3:8.2f} ms (thread CPU time)")
    print(f"  module      {per_iteration['wall'] * 1e3:8.2f} ms on the wall clock, speed-up {reference / per_iteration['wall']:5.1f}x")
    print(f"  module      {per_iteration['cpu'] * 1e3:8.2f} ms of CPU time over all its threads, speed-up "
          f"{reference / per_iteration['cpu']:5.1f}x (one core's worth of work against one core's)")
    print(f"  largest parameter difference after two iterations: {gap:.2g}")


def doniach_sunjic_line(repeats):
    x = np.linspace(278.0, 292.0, 1401)
    v = reference_doniach_sunjic.density(x, 284.8, 0.45, 0.12)
    y = np.random.default_rng(41).poisson(200000.0 * v * (x[1] - x[0]) + 20.0).astype(float)
    args = (x, y, 286.0, 2.0, 0.3, x[0], x[-1], 0.01, 5.0, 0.0, 0.6)
    fitted = brivane_core.doniach_sunjic_mle(*args)
    counter = [0]
    expected, _ = reference_doniach_sunjic.minimise(*args, counter=counter)
    module = {name: best(lambda: brivane_core.doniach_sunjic_mle(*args), repeats * 4, clock) for name, clock in CLOCKS}
    scipy = best(lambda: reference_doniach_sunjic.minimise(*args), repeats, time.thread_time)
    gap = reference_doniach_sunjic.log_likelihood(x, y, *expected) - reference_doniach_sunjic.log_likelihood(x, y, *fitted)
    print(f"doniach_sunjic_mle, n = {x.size}, per fit: SciPy {scipy * 1e3:7.2f} ms (thread CPU time)")
    report_module(module, scipy, "ms", 1e3)
    calls = module_objective_calls(args)
    print(f"  SciPy: {counter[0]} objective calls; log-likelihood of SciPy's fit minus the module's: {gap:.3g}")
    if calls:
        print(f"  module: {calls} objective calls. Per call: SciPy {scipy / counter[0] * 1e6:6.1f} us; module "
              f"{module['wall'] / calls * 1e6:6.1f} us on the wall clock ({(scipy / counter[0]) / (module['wall'] / calls):5.1f}x), "
              f"{module['cpu'] / calls * 1e6:6.1f} us of CPU time ({(scipy / counter[0]) / (module['cpu'] / calls):5.1f}x)")


# The module on the wall clock (its passes share the pool's workers from 512 samples on) and on the
# CPU clock of the whole process (the work of all its threads: what one core would take); the
# SciPy twins run on the calling thread alone, so their CPU time is their time.
CLOCKS = (("wall", time.perf_counter), ("cpu", time.process_time))


def report_module(module, reference, unit, scale):
    for name, what in (("wall", "on the wall clock"), ("cpu", "of CPU time over all its threads")):
        print(f"  module {module[name] * scale:8.3f} {unit} {what}, speed-up {reference / module[name]:5.1f}x")


def module_objective_calls(args):
    """The module's objective calls on one fit, from build/cpp/fit_comparison_calls where it is built
    (the module does not report them); None where it is not."""
    program = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "cpp", "fit_comparison_calls")
    if not os.access(program, os.X_OK):
        return None
    x, y, x0, gamma, alpha, x_min, x_max, *settings = args
    case = fit_comparison.Case("bench", "bench", x, y, (x0, gamma, alpha), (False,) * 3, (x_min, x_max), tuple(settings))
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "case.bin")
        fit_comparison.write_cases(path, [case])
        out = subprocess.run([program, "doniach_sunjic", path], capture_output=True, text=True, check=True).stdout
    return int(out.split()[0])


def doniach_sunjic_case_set():
    cases = fit_comparison.DONIACH_SUNJIC.cases()

    def run(fit, clock):
        begin = clock()
        for case in cases:
            fit(case)
        return clock() - begin

    module = {name: min(run(fit_comparison.doniach_sunjic_module_fit, clock) for _ in range(3)) for name, clock in CLOCKS}
    scipy = run(fit_comparison.doniach_sunjic_reference_fit, time.thread_time)
    print(f"doniach_sunjic_mle, all {len(cases)} comparison cases: SciPy {scipy:7.3f} s (thread CPU time)")
    report_module(module, scipy, "s", 1.0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    repeats = 2 if parser.parse_args().quick else 5
    print(f"{os.cpu_count()} logical CPUs")
    voigt_mixture(repeats)
    doniach_sunjic_line(repeats)
    doniach_sunjic_case_set()


if __name__ == "__main__":
    main()
