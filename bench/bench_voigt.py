"""run_voigt_em_loop and doniach_sunjic_mle against the same computations in NumPy and SciPy.

Voigt mixture (n = 2,000 on [480, 560], K = 3 peaks plus a uniform background, rough starts): time
per EM iteration of the module against the same iteration in NumPy with SciPy's L-BFGS-B refits on
the same objective (tests/python/reference_voigt.py: the profile by scipy.special.wofz, the window
mass by the 100-point Gauss-Legendre rule, forward differences of step 1e-7). The module's time per
iteration is (t(max_iter=M) - t(max_iter=0)) / M, so argument copies and the first E-step are not
counted.

Doniach-Sunjic line (an XPS-like line on 1,401 samples, rough start): doniach_sunjic_mle against
tests/python/reference_doniach_sunjic.py, each timed by the thread's CPU time (both run on the
calling thread alone).

Both sides are timed in this run, best of several repeats. The core alone, with the log-likelihood
pass against its w(z) calls and the two-core speed-up: build/cpp/voigt_em_bench.

    python bench/bench_voigt.py [--quick]
"""
import argparse
import os
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # see tests/python/conftest.py

import numpy as np  # noqa: E402

import brivane_core  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
import reference_doniach_sunjic  # noqa: E402
import reference_voigt  # noqa: E402

WINDOW = (480.0, 560.0)
BOUNDS = (0.01, 10.0, 0.01, 10.0)
PEAKS = [(500.0, 0.8, 0.5, 0.45), (512.0, 1.2, 0.15, 0.35), (535.0, 0.4, 1.2, 0.20)]
START = ([501.5, 510.0, 536.5], [1.0] * 3, [1.0] * 3)  # a user's rough guesses


def voigt_spectrum(n=2000, seed=31):
    x = np.linspace(*WINDOW, n)
    mean = sum(s * reference_voigt.profile(x - c, sg, g) for c, sg, g, s in PEAKS) * (x[1] - x[0]) * 500000.0
    return x, np.random.default_rng(seed).poisson(mean + 50.0).astype(float)


def best(f, repeats, clock=time.perf_counter):
    times = []
    for _ in range(repeats):
        begin = clock()
        f()
        times.append(clock() - begin)
    return min(times)


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
    module = best(lambda: brivane_core.doniach_sunjic_mle(*args), repeats * 4, time.thread_time)
    scipy = best(lambda: reference_doniach_sunjic.minimise(*args), repeats, time.thread_time)
    gap = reference_doniach_sunjic.log_likelihood(x, y, *expected) - reference_doniach_sunjic.log_likelihood(x, y, *fitted)
    print(f"doniach_sunjic_mle (thread CPU time), n = {x.size}: module {module * 1e3:7.2f} ms, SciPy {scipy * 1e3:7.2f} ms, "
          f"speed-up {scipy / module:5.1f}x")
    print(f"  SciPy: {counter[0]} objective calls; log-likelihood of SciPy's fit minus the module's: {gap:.3g}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    repeats = 2 if parser.parse_args().quick else 5
    print(f"{os.cpu_count()} logical CPUs")
    voigt_mixture(repeats)
    doniach_sunjic_line(repeats)


if __name__ == "__main__":
    main()
