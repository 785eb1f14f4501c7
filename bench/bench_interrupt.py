"""Ctrl-C: how soon a long raw call ends after SIGINT, and what the interrupt checks cost a fit.

Latency: each long call of tests/python/interrupt_calls.py (fits that never end on their own) runs
in a child process that is sent SIGINT `delay` seconds into it; the figure is the time from the
signal to the child's KeyboardInterrupt (both read on the monotonic clock), the largest of the
repeats.

Cost: the same fits, each with a fixed amount of work, timed (best of repeats, each in a fresh
process) against the module with the checks and against one built without them
(-DBRIVANE_INTERRUPT_CHECKS=OFF, in build/bench-no-interrupt-checks, built here on first use),
the two measured alternately in the same run. The ratio is checked / unchecked.

    .venv/bin/python bench/bench_interrupt.py [--repeats 5] [--inner 7] [--delay 1.0] [--module-dir build/py]

--module-dir is the directory of the module with checks (default: the one installed in .venv).
"""
import argparse
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))

from interrupt_calls import LONG_CALLS, interrupt_child, interrupt_map_child  # noqa: E402

BASELINE = os.path.join(ROOT, "build", "bench-no-interrupt-checks")

# Fits with a fixed amount of work; each prints its best wall time in seconds.
TIMED = {
    "Gaussian EM, n = 1e6, 20 iterations": """
x = np.linspace(0.0, 1000.0, 1_000_000)
counts = gaussian_counts(x, [(1e7, 300.0, 20.0), (5e6, 520.0, 35.0), (4e6, 700.0, 10.0)], 2.0, 11)
def run():
    core.run_em_loop(x, counts, np.array([290.0, 540.0, 690.0]), np.full(3, 25.0), np.full(4, 0.25), np.ones(4),
                     [False] * 3, [False] * 3, 20, 0.0, 0.0, 1000.0, bg_type=1)
""",
    "Gaussian EM, n = 2000, 500 iterations": """
x, counts = em_spectrum()
def run():
    core.run_em_loop(x, counts, np.array([501.0, 511.0, 536.0]), np.ones(3), np.full(4, 0.25), np.ones(4),
                     [False] * 3, [False] * 3, 500, 0.0, 480.0, 560.0, bg_type=1)
""",
    "Voigt EM, n = 2000, 10 iterations": """
x, counts = em_spectrum()
def run():
    core.run_voigt_em_loop(x, counts, np.array([501.0, 511.0, 536.0]), np.ones(3), np.ones(3), np.full(4, 0.25),
                           np.ones(4), [False] * 3, [False] * 3, [False] * 3, 480.0, 560.0, 0.01, 10.0, 0.01, 10.0,
                           10, 0.0, bg_type=1)
""",
    "pseudo-Voigt full optimisation, n = 2000, 30 steps": """
x, counts = em_spectrum()
def run():
    core.pseudo_voigt_mle_full_optimization(x, counts, 501.0, 3.0, 0.5, 480.0, 560.0, 0.1, 50.0, 30, -np.inf)
""",
    # The call frame's part alone: SIGINT's handler swapped in and back (two system calls) around
    # a call that does almost nothing.
    "pseudo_voigt_predict, n = 10, 20000 calls": """
x = np.linspace(0.0, 1.0, 10)
def run():
    for _ in range(20000):
        core.pseudo_voigt_predict(x, 0.5, 0.1, 0.5, 0.0, 1.0)
""",
    "Lorentzian fit, n = 1e5, 200 calls": """
x = np.linspace(-50.0, 50.0, 100_000)
counts = np.random.default_rng(1).poisson(3.0 / (1.0 + ((x + 10.0) / 3.0) ** 2) + 0.05).astype(float)
def run():
    for _ in range(200):
        core.lorentzian_mle(x, counts, 0.0, 1.0, -50.0, 50.0)
""",
}

TIMING_CHILD = """
import os, sys, time
sys.path.insert(0, {tests!r})
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
import numpy as np
import brivane_core as core
from interrupt_calls import em_spectrum, gaussian_counts
{setup}
run()
best = min(timed(run) for _ in range({inner}))
os.write(2, repr(best).encode())
"""

TIMED_HELPER = """
def timed(f):
    begin = time.perf_counter(); f(); return time.perf_counter() - begin
"""


def build_baseline():
    if not os.path.exists(os.path.join(BASELINE, "build.ninja")):
        subprocess.run(["cmake", "-S", ROOT, "-B", BASELINE, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                        f"-DPython_EXECUTABLE={sys.executable}", "-DBRIVANE_BUILD_PYTHON=ON",
                        "-DBRIVANE_INTERRUPT_CHECKS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BASELINE, "--target", "brivane_core"], check=True, stdout=subprocess.DEVNULL)


def environment(module_dir):
    env = dict(os.environ)
    if module_dir:
        env["PYTHONPATH"] = module_dir
    return env


def time_fit(setup, module_dir, inner=3):
    script = TIMING_CHILD.format(tests=os.path.join(ROOT, "tests", "python"), setup=TIMED_HELPER + setup, inner=inner)
    result = subprocess.run([sys.executable, "-c", script], env=environment(module_dir), check=True,
                            stderr=subprocess.PIPE, text=True)
    return float(result.stderr.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--delay", type=float, default=1.0)
    parser.add_argument("--inner", type=int, default=7, help="timed runs per process (the best counts)")
    parser.add_argument("--module-dir", default=None)
    options = parser.parse_args()
    checked_env = environment(options.module_dir)

    print(f"Latency from SIGINT to KeyboardInterrupt, signal sent {options.delay} s into the call "
          f"(largest and smallest of {options.repeats}):")
    for name in LONG_CALLS:
        latencies = []
        for _ in range(options.repeats):
            words, latency = interrupt_child(name, options.delay, env=checked_env)
            if latency is None or words[2:4] != ["True", "True"]:
                raise SystemExit(f"{name}: the child printed {words}")
            latencies.append(latency)
        print(f"  {name:36s} max {max(latencies) * 1e3:8.2f} ms   min {min(latencies) * 1e3:8.2f} ms")
    # A map on Dask's threaded scheduler: the figure is the time to the end of the last block running
    # in the pool's threads (the main thread's own KeyboardInterrupt comes at once). Its blocks take
    # about a second, so the signal is sent 0.2 s into the first.
    latencies = []
    for _ in range(options.repeats):
        ends, latency = interrupt_map_child(0.2, env=checked_env)
        if latency is None or "returned-after" in ends:
            raise SystemExit(f"brivane.fit_map: the blocks ended as {ends}")
        latencies.append(latency)
    print(f"  {'brivane.fit_map (threaded Dask)':36s} max {max(latencies) * 1e3:8.2f} ms   "
          f"min {min(latencies) * 1e3:8.2f} ms")

    build_baseline()
    print(f"\nCost of the checks: best fit time with them / without them (best of {options.repeats} processes "
          "each, measured alternately):")
    for label, setup in TIMED.items():
        checked, unchecked = [], []
        for _ in range(options.repeats):
            checked.append(time_fit(setup, options.module_dir, options.inner))
            unchecked.append(time_fit(setup, BASELINE, options.inner))
        print(f"  {label:52s} {min(checked) * 1e3:9.2f} ms / {min(unchecked) * 1e3:9.2f} ms = "
              f"{min(checked) / min(unchecked):.4f}")


if __name__ == "__main__":
    main()
