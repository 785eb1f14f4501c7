"""Time per EM iteration of run_em_loop against the same iteration written in NumPy.

K = 5 Gaussian peaks plus a uniform background, for n = 2,000 and n = 1,000,000 samples. The
module's time per iteration is (t(max_iter=M) - t(max_iter=0)) / M, so argument copies and the
first E-step are not counted; NumPy's is the time of M loop bodies over M. Both are the best of
several repeats, measured in this run on this machine.

    python bench/bench_em.py [--quick]
"""
import argparse
import math
import os
import time

# NumPy's BLAS threads spin between calls and would steal the two cores from the module's worker
# pool (and from NumPy itself: its matrix-vector products here are far too small to gain).
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import brivane_core  # noqa: E402

K = 5


def spectrum(n, seed=1):
    rng = np.random.default_rng(seed)
    x = np.linspace(0.0, 100.0, n)
    centres = np.array([15.0, 30.0, 45.0, 60.0, 80.0])
    widths = np.array([2.0, 3.0, 1.5, 4.0, 2.5])
    density = sum(np.exp(-0.5 * ((x - c) / w) ** 2) / w for c, w in zip(centres, widths)) + 0.05
    intensity = rng.poisson(density * 5e6 / density.sum()).astype(float)
    start = dict(mu=centres + 1.0, sigma=widths * 1.2, pi=np.full(K + 1, 1.0 / (K + 1)))
    return x, intensity, start


def module_fit(x, intensity, start, iterations):
    mu, sigma, pi = start["mu"].copy(), start["sigma"].copy(), start["pi"].copy()
    begin = time.perf_counter()
    brivane_core.run_em_loop(x, intensity, mu, sigma, pi, np.ones(K + 1), [False] * K, [False] * K,
                             iterations, 0.0, 0.0, 100.0, bg_type=1)
    return time.perf_counter() - begin


class NumpyEm:
    """The same iteration, array at a time."""

    def __init__(self, x, intensity, start, x_min=0.0, x_max=100.0):
        self.x, self.intensity = x, intensity
        self.mu, self.sigma, self.pi = start["mu"].copy(), start["sigma"].copy(), start["pi"].copy()
        self.alpha = np.ones(K + 1)
        self.background = np.where((x >= x_min) & (x <= x_max), 1.0 / (x_max - x_min), 0.0)
        self.d = np.empty((K + 1, x.size))
        self.densities()
        self.ll = self.e_step()

    def densities(self):
        z = (self.x[None, :] - self.mu[:, None]) / (self.sigma[:, None] * math.sqrt(2.0))
        self.d[:K] = np.exp(-z * z) / np.sqrt(2.0 * math.pi * self.sigma**2)[:, None]
        self.d[K] = self.background

    def e_step(self):
        m = self.pi @ self.d
        self.g = self.d * self.pi[:, None] / (m + 1e-20)[None, :]
        return float(self.intensity @ np.log(m + 1e-200))

    def iterate(self):
        b = self.g @ self.intensity + self.alpha - 1.0
        c = b / b.sum()
        c[~(c > 0)] = 0.0
        self.pi = c / c.sum()
        w = self.g[:K] * self.intensity[None, :]
        total = w.sum(axis=1) + 1e-100
        self.mu = (w @ self.x) / total
        variance = np.einsum("ki,ki->k", w, (self.x[None, :] - self.mu[:, None]) ** 2) / total
        self.sigma = np.maximum(np.sqrt(variance), 1e-5)
        self.densities()
        new = self.e_step()
        rel = (new - self.ll) / abs(self.ll)
        self.ll = new
        return rel


def numpy_fit(x, intensity, start, iterations):
    em = NumpyEm(x, intensity, start)
    begin = time.perf_counter()
    for _ in range(iterations):
        em.iterate()
    return time.perf_counter() - begin, em


def best(f, repeats):
    return min(f() for _ in range(repeats))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer repeats")
    args = parser.parse_args()
    repeats = 2 if args.quick else 5
    print(f"EM iteration, K = {K} Gaussians + uniform background, {os.cpu_count()} logical CPUs")
    print(f"{'n':>10}  {'module us/iter':>15}  {'numpy us/iter':>14}  {'speed-up':>9}")
    for n, iterations in ((2_000, 400), (1_000_000, 8)):
        x, intensity, start = spectrum(n)
        # Same answer first: both run the same iteration from the same start.
        mu = start["mu"].copy()
        brivane_core.run_em_loop(x, intensity, mu, start["sigma"].copy(), start["pi"].copy(),
                                 np.ones(K + 1), [False] * K, [False] * K, 3, 0.0, 0.0, 100.0, bg_type=1)
        _, reference = numpy_fit(x, intensity, start, 3)
        assert np.allclose(mu, reference.mu, rtol=1e-9), (mu, reference.mu)

        setup = best(lambda: module_fit(x, intensity, start, 0), repeats)
        module = (best(lambda: module_fit(x, intensity, start, iterations), repeats) - setup) / iterations
        numpy = best(lambda: numpy_fit(x, intensity, start, iterations)[0], repeats) / iterations
        print(f"{n:>10}  {module * 1e6:15.1f}  {numpy * 1e6:14.1f}  {numpy / module:8.1f}x")


if __name__ == "__main__":
    main()
