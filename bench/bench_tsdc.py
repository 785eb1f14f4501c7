"""tsdc_predict, tsdc_mle_find_root and tsdc_mle_lbfgsb against the same computations in NumPy and
SciPy (tests/python/reference_tsdc.py): scipy.special.expn for the exponential integrals,
scipy.optimize.brentq for the root-finding fit, scipy.optimize.minimize(method="L-BFGS-B") with the
same value and gradient for the bounded fit.

The curve: a 0.9 eV peak at 320 K, beta 0.1 K/s, 20,000 Poisson counts, on grids of 0.5 K from 200
to 450 K (501 samples) and of 0.05 K (5,001 samples). Both fits start where a user starts them: ea
at a round 1 eV, tp at the temperature of the highest count, ea searched or bounded in [0.1, 3] eV,
tp bounded by the grid. Both sides are timed in this run by the wall clock (the module shares its
per-sample work among the worker pool in chunks of 128 samples), in alternating rounds so that a
change in the machine's load meets both; each figure is the best of its rounds.

    python bench/bench_tsdc.py [--quick]
"""
import argparse
import os
import sys
import warnings

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import brivane_core  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
import reference_tsdc  # noqa: E402
from timing import best  # noqa: E402

BETA = 0.1
EA_BOUNDS = (0.1, 3.0)


def spectrum(step):
    t = np.arange(200.0, 450.0 + step / 2, step)
    tau0 = reference_tsdc.tau0_from_peak(0.9, 320.0, BETA)
    expected = 20000.0 * reference_tsdc.density(t, 0.9, tau0, BETA) * step
    return t, np.random.default_rng(3).poisson(expected).astype(float)


def compare(label, module, reference, rounds):
    module_time = reference_time = float("inf")
    for _ in range(rounds):
        module_time = min(module_time, best(module, 5))
        reference_time = min(reference_time, best(reference, 1))
    print(f"  {label:<18} module {module_time * 1e6:9.1f} us, NumPy/SciPy {reference_time * 1e6:9.1f} us, "
          f"speed-up {reference_time / module_time:6.1f}x")
    return reference_time / module_time


def run(step, rounds):
    t, counts = spectrum(step)
    print(f"n = {t.size}:")
    ea0, tp0 = 1.0, float(t[np.argmax(counts)])
    tau0 = reference_tsdc.tau0_from_peak(0.9, 320.0, BETA)

    np.testing.assert_allclose(brivane_core.tsdc_predict(t, 0.9, tau0, BETA),
                               reference_tsdc.density(t, 0.9, tau0, BETA), rtol=1e-12)
    compare("tsdc_predict", lambda: brivane_core.tsdc_predict(t, 0.9, tau0, BETA),
            lambda: reference_tsdc.density(t, 0.9, tau0, BETA), rounds)

    root_args = (t, counts, ea0, 1.0, tp0, *EA_BOUNDS, BETA)
    got, expected = brivane_core.tsdc_mle_find_root(*root_args), reference_tsdc.root_fit(*root_args)
    compare("tsdc_mle_find_root", lambda: brivane_core.tsdc_mle_find_root(*root_args),
            lambda: reference_tsdc.root_fit(*root_args), rounds)
    print(f"    fits: module ea {got[0]:.6f} eV, tp {got[2]:.4f} K; SciPy ea {expected[0]:.6f} eV, tp {expected[2]:.4f} K")

    bounded_args = (t, counts, ea0, 1.0, tp0, *EA_BOUNDS, float(t[0]), float(t[-1]), BETA)
    got, expected = brivane_core.tsdc_mle_lbfgsb(*bounded_args), reference_tsdc.bounded_fit(*bounded_args)
    compare("tsdc_mle_lbfgsb", lambda: brivane_core.tsdc_mle_lbfgsb(*bounded_args),
            lambda: reference_tsdc.bounded_fit(*bounded_args), rounds)
    print(f"    fits: module ea {got[0]:.6f} eV, tp {got[2]:.4f} K; SciPy ea {expected[0]:.6f} eV, "
          f"tp {expected[2]:.4f} K in {expected[3].nfev} objective calls")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    rounds = 3 if parser.parse_args().quick else 10
    warnings.simplefilter("ignore", RuntimeWarning)
    print(f"{os.cpu_count()} logical CPUs, load average {os.getloadavg()[0]:.1f}")
    run(0.5, rounds)
    run(0.05, rounds)


if __name__ == "__main__":
    main()
