"""The pseudo-Voigt fits of the module against the same algorithms written with NumPy and SciPy, and
the mixture fit beside lmfit.

1. Single-peak fits, n = 2,000, from where a user starts them (the highest sample for the centre,
   a width a factor 1.8 off, eta 0.5): pseudo_voigt_mle_conditional_max and
   pseudo_voigt_mle_full_optimization against tests/python/reference_pseudo_voigt.py, the same
   passes with SciPy's brentq and L-BFGS-B and NumPy's sums.
2. run_pv_em_loop, K = 3 plus a uniform background, n = 2,000, with either refit, against a NumPy
   E-step and weight update with those NumPy and SciPy refits: time per EM iteration.
3. Three pseudo-Voigt peaks plus a constant background on a 2,000-point Poisson spectrum: the
   module's EM (both refits) beside lmfit's PseudoVoigtModel x 3 + ConstantModel, least squares
   with weights 1 / sqrt(counts), from the same rough starts: time per fit and the recovered
   centres and widths against the truth. lmfit is a benchmark-only dependency:
   `pip install -r bench/requirements.txt`.

Both sides are timed in this run, best of several repeats. The module's full optimisation runs its
mixing search on the worker pool and its EM runs the refits there, so its times are wall-clock
times; the process's CPU time is printed beside them, and NumPy, SciPy and lmfit run on one thread
(OPENBLAS_NUM_THREADS=1).

    python bench/bench_pseudo_voigt.py [--quick]
"""
import argparse
import os
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import brivane_core  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
import reference_pseudo_voigt as reference  # noqa: E402


def spectrum(x, peaks, areas, background, seed):
    step = x[1] - x[0]
    rate = background + sum(a * reference.density(x, *p, -np.inf, np.inf) * step for p, a in zip(peaks, areas))
    return np.random.default_rng(seed).poisson(rate).astype(float)


def best(f, repeats):
    """(best wall time, process CPU time of that run, result of the last run)."""
    times = []
    for _ in range(repeats):
        wall, cpu = time.perf_counter(), time.process_time()
        result = f()
        times.append((time.perf_counter() - wall, time.process_time() - cpu))
    return (*min(times), result)


def line(label, module, reference_time, unit=1e3, suffix="ms"):
    wall, cpu = module
    print(f"  {label}: module {wall * unit:9.2f} {suffix} (CPU {cpu * unit:9.2f}), NumPy+SciPy "
          f"{reference_time * unit:9.2f} {suffix}, speed-up {reference_time / wall:6.1f}x wall, "
          f"{reference_time / cpu:6.1f}x CPU")


def single_peak(repeats):
    print("Single peak, n = 2000, from a user's start")
    cases = {
        "Raman axis, peak at 521.3 of width 4.2, eta 0.35": (np.linspace(450.0, 600.0, 2000), (521.3, 4.2, 0.35), 2e5, 20.0),
        "peak at 40 of width 8, eta 0.9 on [0, 100]": (np.linspace(0.0, 100.0, 2000), (40.0, 8.0, 0.9), 5e4, 2.0),
    }
    for label, (x, truth, area, background) in cases.items():
        y = spectrum(x, [truth], [area], background, seed=1)
        window = (float(x[0]), float(x[-1]))
        start = (float(x[np.argmax(y)]), truth[1] * 1.8, 0.5)
        limits = (0.01, window[1] - window[0], 200, 1e-10)
        print(f" {label}")
        *module, got = best(lambda: brivane_core.pseudo_voigt_mle_conditional_max(x, y, *start, *window), repeats * 5)
        *scipy, expected = best(lambda: reference.conditional_max(x, y, *start, *window), repeats)
        line("conditional max (one pass)", module, scipy[1])
        print(f"    module {fmt(got)}, NumPy+SciPy {fmt(expected)}")
        *module, got = best(lambda: brivane_core.pseudo_voigt_mle_full_optimization(x, y, *start, *window, *limits),
                            repeats * 5)
        *scipy, expected = best(lambda: reference.full_optimization(x, y, *start, *window, *limits), repeats)
        line("full optimisation        ", module, scipy[1])
        print(f"    module {fmt(got)}, NumPy+SciPy {fmt(expected)}, truth {fmt(truth)}")


def fmt(values):
    return "(" + ", ".join(f"{v:.5g}" for v in values) + ")"


class ReferenceMixture:
    """NumPy E-step and weight update; the NumPy and SciPy refits of reference_pseudo_voigt."""

    def __init__(self, x, y, peaks, use_full_opt, window, gamma_bounds, max_iter, r_eps):
        self.x, self.y, self.window = x, y, window
        self.peaks = [tuple(p) for p in peaks]
        self.pi = np.full(len(peaks) + 1, 1.0 / (len(peaks) + 1))
        self.use_full_opt, self.gamma_bounds, self.max_iter, self.r_eps = use_full_opt, gamma_bounds, max_iter, r_eps
        self.background = np.full(x.size, 1.0 / (window[1] - window[0]))
        self.ll = self.e_step()

    def e_step(self):
        d = np.vstack([reference.density(self.x, *p, *self.window) for p in self.peaks] + [self.background])
        m = self.pi @ d
        self.g = d * self.pi[:, None] / (m + 1e-20)
        return float(self.y @ np.log(m + 1e-200))

    def iterate(self):
        b = self.g @ self.y
        self.pi = b / b.sum()
        refitted = []
        for k, p in enumerate(self.peaks):
            w = self.y * self.g[k]
            if self.use_full_opt:
                refitted.append(reference.full_optimization(self.x, w, *p, *self.window, *self.gamma_bounds,
                                                            self.max_iter, self.r_eps))
            else:
                refitted.append(reference.conditional_max(self.x, w, *p, *self.window))
        self.peaks = refitted
        new = self.e_step()
        rel = (new - self.ll) / abs(self.ll)
        self.ll = new
        return rel

    def run(self):
        for t in range(1, self.max_iter + 1):
            if abs(self.iterate()) < self.r_eps:
                return t
        return self.max_iter


def module_mixture(x, y, peaks, use_full_opt, window, gamma_bounds, max_iter, r_eps, bg_type=1):
    k = len(peaks)
    x0, gamma, eta = (np.array(v, float) for v in zip(*peaks))
    pi = np.full(k + 1, 1.0 / (k + 1))
    t, ll, rel, _ = brivane_core.run_pv_em_loop(x, y, x0, gamma, eta, pi, np.ones(k + 1), [False] * k, [False] * k,
                                                [False] * k, use_full_opt, *window, *gamma_bounds, max_iter, r_eps,
                                                bg_type=bg_type)
    return t, ll, list(zip(x0, gamma, eta)), pi


TRUTH = [(25.0, 4.0, 0.3), (50.0, 6.0, 0.7), (72.0, 3.0, 0.5)]
AREAS = [30000.0, 50000.0, 20000.0]
STARTS = [(22.0, 6.0, 0.5), (53.0, 4.0, 0.5), (70.0, 5.0, 0.5)]  # a user's reading of the plot


def mixture(repeats):
    print("run_pv_em_loop, n = 2000, K = 3 + uniform background, from a user's start, r_eps 1e-8")
    x = np.linspace(0.0, 100.0, 2000)
    y = spectrum(x, TRUTH, AREAS, 10.0, seed=3)
    settings = ((0.0, 100.0), (0.1, 50.0), 500, 1e-8)
    for use_full_opt in (False, True):
        *module, (t, ll, fitted, _) = best(lambda: module_mixture(x, y, STARTS, use_full_opt, *settings), repeats)
        em = ReferenceMixture(x, y, STARTS, use_full_opt, *settings)
        begin = time.perf_counter()
        t_ref = em.run()
        scipy = time.perf_counter() - begin
        name = "full optimisation" if use_full_opt else "conditional max  "
        line(f"{name} refits, per iteration", (module[0] / t, module[1] / t), scipy / t_ref)
        print(f"    iterations: module {t}, NumPy+SciPy {t_ref}; log-likelihood module {ll[-1]:.10g}, "
              f"NumPy+SciPy {em.ll:.10g}")


def lmfit_comparison(repeats):
    try:
        from lmfit.models import ConstantModel, PseudoVoigtModel
    except ImportError:
        print("lmfit is not installed (pip install -r bench/requirements.txt): comparison skipped")
        return
    x = np.linspace(0.0, 100.0, 2000)
    y = spectrum(x, TRUTH, AREAS, 10.0, seed=3)
    print("Three pseudo-Voigt peaks + constant background, n = 2000, Poisson counts; truth "
          + ", ".join(f"(x0 {c:g}, FWHM {g:g}, eta {e:g})" for c, g, e in TRUTH))

    model = ConstantModel(prefix="bg_")
    for k in range(len(STARTS)):
        model = model + PseudoVoigtModel(prefix=f"p{k}_")
    params = model.make_params(bg_c=float(np.median(np.sort(y)[: y.size // 10])))
    step = x[1] - x[0]
    for k, (centre, width, eta) in enumerate(STARTS):
        # lmfit's pseudo-Voigt: sigma is half the FWHM, fraction the Lorentzian share (1 - eta),
        # amplitude the area; the start area is the counts near the start centre.
        near = np.abs(x - centre) < width
        params[f"p{k}_center"].set(value=centre)
        params[f"p{k}_sigma"].set(value=width / 2.0, min=0.0)
        params[f"p{k}_fraction"].set(value=1.0 - eta, min=0.0, max=1.0)
        params[f"p{k}_amplitude"].set(value=float(y[near].sum() * step), min=0.0)
    weights = 1.0 / np.sqrt(np.maximum(y, 1.0))
    *lm_time, result = best(lambda: model.fit(y, params, x=x, weights=weights), repeats)
    lm = [(result.params[f"p{k}_center"].value, result.params[f"p{k}_fwhm"].value,
           1.0 - result.params[f"p{k}_fraction"].value) for k in range(len(STARTS))]

    settings = ((0.0, 100.0), (0.1, 50.0), 1000, 1e-9)
    rows = [("lmfit (least squares)", lm_time, lm, f"{result.nfev} model evaluations")]
    for use_full_opt in (True, False):
        *em_time, (t, _, fitted, _) = best(lambda: module_mixture(x, y, STARTS, use_full_opt, *settings), repeats)
        name = "module EM, full optimisation" if use_full_opt else "module EM, conditional max"
        rows.append((name, em_time, fitted, f"{t} EM iterations"))
    for name, (wall, cpu), fitted, note in rows:
        print(f"  {name:30s} {wall * 1e3:8.1f} ms per fit (CPU {cpu * 1e3:8.1f} ms), {note}")
        for (c, g, e), (tc, tg, te) in zip(fitted, TRUTH):
            print(f"      x0 {c:8.4f} ({c - tc:+.4f})  FWHM {g:7.4f} ({g - tg:+.4f})  eta {e:5.3f} ({e - te:+.3f})")
    lm_wall = rows[0][1][0]
    for name, (wall, _), _, _ in rows[1:]:
        print(f"  lmfit time / {name} time: {lm_wall / wall:.2f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer repeats")
    repeats = 2 if parser.parse_args().quick else 5
    print(f"{os.cpu_count()} logical CPUs")
    single_peak(repeats)
    mixture(max(1, repeats // 2))
    lmfit_comparison(repeats)


if __name__ == "__main__":
    main()
