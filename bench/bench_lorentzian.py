"""lorentzian_mle and run_lorentzian_em_loop against the same computations in NumPy and SciPy.

Single-peak fit (n = 2,000, a window around zero and one far from it): the module against the
same fit written with NumPy and scipy.optimize.minimize(method="L-BFGS-B") on the same objective
(same density, start values, bounds and forward-difference gradient); and a user's fit against the
twin a user would write (bench_single_peak.py). Mixture (n = 2,000, K = 3 plus a uniform background): time per EM
iteration against a NumPy E-step and weight update with the SciPy fit as refit. Both sides are
timed in this run, best of several repeats; the module's "LBFGSB finished" lines go to /dev/null
while it is timed.

    python bench/bench_lorentzian.py [--quick]
"""
import argparse
import os
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import brivane_core  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
import reference_lorentzian  # noqa: E402
import bench_single_peak  # noqa: E402
from fit_comparison import quiet_stdout  # noqa: E402
from timing import best  # noqa: E402


def counts(x, centres, widths, shares, total, seed):
    rng = np.random.default_rng(seed)
    density = sum(s / (1.0 + ((x - c) / (0.5 * w)) ** 2) / (0.5 * w) for c, w, s in zip(centres, widths, shares))
    return rng.poisson(density / density.sum() * total).astype(float)


# A single-peak fit runs on the calling thread alone, on both sides: the thread's own CPU time
# measures it without the time other processes on the machine take from it.
thread_clock = time.thread_time


def single_peak(repeats, label, x, y, window):
    """Both fits start where a user's call starts them: a free centre from the weighted mean, a
    free width from the raw second moment (the x0 and gamma passed in are not used)."""
    counter = [0]
    expected = reference_lorentzian.fit(x, y, 0.0, 1.0, *window, counter=counter)
    with quiet_stdout():
        got = brivane_core.lorentzian_mle(x, y, 0.0, 1.0, *window)
        module = best(lambda: brivane_core.lorentzian_mle(x, y, 0.0, 1.0, *window), repeats * 20, thread_clock)
    gap = (reference_lorentzian.log_likelihood(x, y, *expected, *window)
           - reference_lorentzian.log_likelihood(x, y, *got, *window))
    scipy = best(lambda: reference_lorentzian.fit(x, y, 0.0, 1.0, *window), repeats, thread_clock)
    one_pass = best(lambda: reference_lorentzian.log_likelihood(x, y, *expected, *window), repeats * 20, thread_clock)
    print(f"lorentzian_mle (thread CPU time), {label}, n = {x.size}: module {module * 1e6:8.1f} us, SciPy {scipy * 1e6:9.1f} us, "
          f"speed-up {scipy / module:6.1f}x")
    print(f"  SciPy: {counter[0] // 3} objective calls = {counter[0]} log-likelihood passes of "
          f"{one_pass * 1e6:.1f} us in NumPy; log-likelihood of SciPy's fit minus the module's: {gap:.3g} "
          f"(the module's counts: build/cpp/lorentzian_fit_bench)")


class ReferenceMixture:
    """NumPy E-step and weight update, SciPy fit per peak."""

    def __init__(self, x, y, x0, gamma):
        self.x, self.y = x, y
        self.x0, self.gamma = np.array(x0, float), np.array(gamma, float)
        self.k = len(x0)
        self.pi = np.full(self.k + 1, 1.0 / (self.k + 1))
        self.background = np.full(x.size, 1.0 / (x[-1] - x[0]))
        self.e_step()

    def e_step(self):
        d = np.vstack([reference_lorentzian.density(self.x, c, g, self.x[0], self.x[-1])
                       for c, g in zip(self.x0, self.gamma)] + [self.background])
        m = self.pi @ d
        self.g = d * self.pi[:, None] / (m + 1e-20)
        return float(self.y @ np.log(m + 1e-200))

    def iterate(self):
        b = self.g @ self.y
        self.pi = b / b.sum()
        for j in range(self.k):
            self.x0[j], self.gamma[j] = reference_lorentzian.fit(self.x, self.y * self.g[j], self.x0[j],
                                                                 self.gamma[j], self.x[0], self.x[-1])
        return self.e_step()


def mixture(repeats):
    x = np.linspace(0.0, 100.0, 2000)
    y = counts(x, [25.0, 50.0, 75.0], [4.0, 6.0, 3.0], [0.3, 0.4, 0.3], 60000, seed=2) + 5.0
    start = ([20.0, 55.0, 70.0], [5.0, 5.0, 5.0])
    iterations = 10

    def module_fit(n_iter):
        args = (x, y, np.array(start[0]), np.array(start[1]), np.full(4, 0.25), np.ones(4), [False] * 3,
                [False] * 3, x[0], x[-1], n_iter, 0.0)
        return brivane_core.run_lorentzian_em_loop(*args, bg_type=1)

    with quiet_stdout():
        setup = best(lambda: module_fit(0), repeats)
        module = (best(lambda: module_fit(iterations), repeats) - setup) / iterations

    def reference_fit():
        em = ReferenceMixture(x, y, *start)
        begin = time.perf_counter()
        for _ in range(iterations):
            em.iterate()
        return time.perf_counter() - begin

    reference = min(reference_fit() for _ in range(max(1, repeats // 2))) / iterations
    print(f"run_lorentzian_em_loop, n = 2000, K = 3: module {module * 1e6:9.1f} us/iter, "
          f"NumPy+SciPy {reference * 1e6:9.1f} us/iter, speed-up {reference / module:6.1f}x")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    repeats = 2 if parser.parse_args().quick else 5
    print(f"{os.cpu_count()} logical CPUs")
    x = np.linspace(-50.0, 50.0, 2000)
    single_peak(repeats, "peak at 3 of width 6 on [-50, 50]", x, counts(x, [3.0], [6.0], [1.0], 50000, seed=1),
                (-50.0, 50.0))
    # A window far from zero, as Raman and XPS axes are: the raw second moment starts the width
    # near 220 against a fitted 8.
    x = np.linspace(100.0, 300.0, 2000)
    single_peak(repeats, "peak at 190 of width 8 on [100, 300]", x,
                counts(x, [190.0], [8.0], [1.0], 100000, seed=4) + np.random.default_rng(5).poisson(5.0, x.size),
                (100.0, 300.0))
    # A user's fit (bench_single_peak.py): started at 180 and 5, the twin SciPy's L-BFGS-B with its
    # own differences of a plain NumPy log-likelihood.
    bench_single_peak.lorentzian_user_fit(repeats)
    mixture(repeats)


if __name__ == "__main__":
    main()
