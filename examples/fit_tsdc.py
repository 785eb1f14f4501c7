"""Fits two overlapping relaxation peaks to a synthetic thermally stimulated depolarisation current.

The curve: a sample heated at 0.1 K/s from 200 to 450 K, the depolarisation current of two
first-order relaxations (activation energies 0.85 and 1.15 eV, current maxima at 305 and 350 K,
40% and 60% of the released charge) and a small steady leakage, recorded every 0.5 K as counts of a
fixed charge (Poisson noise, fixed seed). run_tsdc_em_loop fits both peaks and a uniform background
from rough starts; the table gives each peak's activation energy, relaxation times and peak
temperature.

    python examples/fit_tsdc.py [--plot FILE]
"""
import argparse
import sys

import numpy as np

import brivane_core

BETA = 0.1  # K/s: tau0 comes out in seconds
K_BOLTZMANN = 8.61733034e-5  # eV/K
TRUE_PEAKS = [(0.85, 305.0), (1.15, 350.0)]  # (ea in eV, tp in K)
TRUE_SHARES = [0.4, 0.6]
LEAKAGE_SHARE = 0.05
TOTAL = 40000.0  # expected counts
# Where a user would start: a round 1 eV each, and maxima read roughly off the plotted curve.
START = [(1.0, 300.0), (1.0, 355.0)]


def tau0_from_peak(ea, tp):
    """The pre-exponential relaxation time that puts the current maximum at tp."""
    return np.exp(-ea / (K_BOLTZMANN * tp)) * (tp * (K_BOLTZMANN * tp) / (BETA * ea))


def synthetic_curve(seed=2024):
    t = np.arange(200.0, 450.25, 0.5)
    step = t[1] - t[0]
    peaks = sum(share * brivane_core.tsdc_predict(t, ea, tau0_from_peak(ea, tp), BETA)
                for (ea, tp), share in zip(TRUE_PEAKS, TRUE_SHARES))
    expected = TOTAL * ((1.0 - LEAKAGE_SHARE) * peaks * step + LEAKAGE_SHARE / t.size)
    return t, np.random.default_rng(seed).poisson(expected).astype(float)


def fit(t, counts):
    k = len(START)
    ea = np.array([s[0] for s in START])
    tp = np.array([s[1] for s in START])
    tau0 = tau0_from_peak(ea, tp)
    pi = np.full(k + 1, 1.0 / (k + 1))  # the peaks, then the uniform background
    iterations, log_likelihood, _, _ = brivane_core.run_tsdc_em_loop(
        t, counts, ea, tau0, tp, pi, np.ones(k + 1), [False] * k, [False] * k,
        beta=BETA, ea_min=0.1, ea_max=3.0, t_min=float(t[0]), t_max=float(t[-1]),
        max_iter=1000, r_eps=1e-12, bg_type=1)
    return ea, tau0, tp, pi, iterations, log_likelihood


def report(t, counts, ea, tau0, tp, pi, iterations, log_likelihood):
    print(f"synthetic depolarisation current: {t.size} samples, {t[0]:.0f}-{t[-1]:.0f} K, beta {BETA} K/s, "
          f"{counts.sum():.0f} counts")
    print(f"EM converged after {iterations} iterations, log-likelihood {log_likelihood[-1]:.3f}")
    print()
    print(f"{'peak':>4}  {'Ea eV':>7}  {'tau0 s':>10}  {'tau(Tp) s':>9}  {'Tp K':>7}  {'weight':>6}  "
          f"{'true Ea, Tp':>13}")
    for i, (e, t0, p, w) in enumerate(zip(ea, tau0, tp, pi)):
        tau_at_peak = t0 * np.exp(e / (K_BOLTZMANN * p))  # the relaxation time where the current peaks
        true_ea, true_tp = TRUE_PEAKS[i]
        print(f"{i + 1:>4}  {e:7.4f}  {t0:10.3e}  {tau_at_peak:9.1f}  {p:7.2f}  {w:6.4f}  "
              f"{true_ea:5.2f}, {true_tp:5.1f}")
    print(f"{'bg':>4}  {'uniform':>7}  {'':10}  {'':9}  {'':7}  {pi[-1]:6.4f}")


def plot(path, t, counts, ea, tau0, tp, pi):
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: no plot written")
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    scale = counts.sum() * (t[1] - t[0])  # counts per sample of a unit-mass density
    components = [w * scale * brivane_core.tsdc_predict(t, e, t0, BETA) for e, t0, w in zip(ea, tau0, pi)]
    background = np.full_like(t, pi[-1] * counts.sum() / t.size)
    fig, ax = plt.subplots(figsize=(9, 4.5))
    ax.plot(t, counts, ".", color="0.55", ms=3, label="data")
    for i, c in enumerate(components):
        ax.fill_between(t, background, c + background, alpha=0.45, lw=0,
                        label=f"peak {i + 1}: {ea[i]:.3f} eV, {tp[i]:.1f} K")
    ax.plot(t, background, "k:", lw=1.0, label="leakage")
    ax.plot(t, sum(components) + background, "k", lw=1.2, label="total")
    ax.set_xlabel("temperature (K)")
    ax.set_ylabel("counts per 0.5 K")
    ax.legend(fontsize=8)
    ax.set_title(f"Depolarisation current, two relaxations heated at {BETA} K/s")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    print(f"plot written to {path}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plot", default="tsdc_fit.png", help="PNG file for the plot")
    args = parser.parse_args(argv)
    t, counts = synthetic_curve()
    result = fit(t, counts)
    report(t, counts, *result)
    plot(args.plot, t, counts, *result[:4])


if __name__ == "__main__":
    sys.exit(main())
