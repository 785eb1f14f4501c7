"""Long raw calls for the Ctrl-C tests (test_interrupt.py) and benchmark (bench/bench_interrupt.py),
and the child process that runs one of them until it is sent SIGINT.

Each mixture fit and the full pseudo-Voigt optimisation is set never to end on its own: max_iter
10**9 and a tolerance no change meets (r_eps 0 for the EM loops, whose relative change is never
negative in magnitude; -inf for the full optimisation, whose gain may be), so the only way out is
the interrupt. The single-peak fits run on millions of samples, for a second or more each, again
and again."""
import os
import signal
import subprocess
import sys
import time

import numpy as np

import brivane_core as core
from sanitized import lasting

FOREVER = 10**9


def gaussian_counts(x, peaks, background, seed):
    rng = np.random.default_rng(seed)
    mean = np.full_like(x, background)
    for area, centre, width in peaks:
        mean += area * np.exp(-0.5 * ((x - centre) / width) ** 2) / (width * np.sqrt(2 * np.pi)) * (x[1] - x[0])
    return rng.poisson(mean).astype(float)


def em_spectrum(n=2000):
    x = np.linspace(480.0, 560.0, n)
    return x, gaussian_counts(x, [(4e5, 500.0, 1.0), (2e5, 512.0, 1.5), (1e5, 535.0, 0.8)], 50.0, 7)


def gaussian_em():
    x = np.linspace(0.0, 1000.0, 1_000_000)
    counts = gaussian_counts(x, [(1e7, 300.0, 20.0), (5e6, 520.0, 35.0), (4e6, 700.0, 10.0)], 2.0, 11)
    mu, sigma, pi = np.array([290.0, 540.0, 690.0]), np.full(3, 25.0), np.full(4, 0.25)
    return (lambda: core.run_em_loop(x, counts, mu, sigma, pi, np.ones(4), [False] * 3, [False] * 3, FOREVER, 0.0,
                                     0.0, 1000.0, bg_type=1)), [mu, sigma, pi]


def voigt_em():
    x, counts = em_spectrum()
    x0, sigma, gamma, pi = np.array([501.0, 511.0, 536.0]), np.ones(3), np.ones(3), np.full(4, 0.25)
    return (lambda: core.run_voigt_em_loop(x, counts, x0, sigma, gamma, pi, np.ones(4), [False] * 3, [False] * 3,
                                           [False] * 3, 480.0, 560.0, 0.01, 10.0, 0.01, 10.0, FOREVER, 0.0,
                                           bg_type=1)), [x0, sigma, gamma, pi]


def lorentzian_em():
    x, counts = em_spectrum()
    x0, gamma, pi = np.array([501.0, 511.0, 536.0]), np.full(3, 2.0), np.full(4, 0.25)
    return (lambda: core.run_lorentzian_em_loop(x, counts, x0, gamma, pi, np.ones(4), [False] * 3, [False] * 3,
                                                480.0, 560.0, FOREVER, 0.0, bg_type=1)), [x0, gamma, pi]


def pv_em():
    x, counts = em_spectrum()
    x0, gamma, eta, pi = np.array([501.0, 511.0, 536.0]), np.full(3, 2.0), np.full(3, 0.5), np.full(4, 0.25)
    return (lambda: core.run_pv_em_loop(x, counts, x0, gamma, eta, pi, np.ones(4), [False] * 3, [False] * 3,
                                        [False] * 3, True, 480.0, 560.0, 0.1, 50.0, FOREVER, 0.0,
                                        bg_type=1)), [x0, gamma, eta, pi]


def ds_em():
    x, counts = em_spectrum()
    x0, gamma, alpha, pi = np.array([501.0, 511.0, 536.0]), np.ones(3), np.full(3, 0.1), np.full(4, 0.25)
    return (lambda: core.run_ds_em_loop(x, counts, x0, gamma, alpha, pi, np.ones(4), [False] * 3, [False] * 3,
                                        [False] * 3, 480.0, 560.0, 0.01, 5.0, 0.0, 0.5, FOREVER, 0.0,
                                        bg_type=1)), [x0, gamma, alpha, pi]


def tsdc_em():
    t = np.arange(200.0, 450.25, 0.5)
    k = 8.61733034e-5
    tau0_of = lambda ea, tp, beta: np.exp(-ea / (k * tp)) * k * tp**2 / (beta * ea)  # noqa: E731
    rng = np.random.default_rng(1)
    counts = (rng.poisson(1e4 * core.tsdc_predict(t, 0.8, tau0_of(0.8, 300.0, 0.1), 0.1))
              + rng.poisson(1.5e4 * core.tsdc_predict(t, 1.1, tau0_of(1.1, 360.0, 0.1), 0.1))).astype(float)
    ea, tp = np.array([1.0, 1.0]), np.array([290.0, 370.0])
    tau0, pi = tau0_of(ea, tp, 0.1), np.full(2, 0.5)
    return (lambda: core.run_tsdc_em_loop(t, counts, ea, tau0, tp, pi, np.ones(2), [False] * 2, [False] * 2, 0.1,
                                          0.1, 3.0, 200.0, 450.0, FOREVER, 0.0)), [ea, tau0, tp, pi]


def pv_full_optimization():
    x, counts = em_spectrum()
    return (lambda: core.pseudo_voigt_mle_full_optimization(x, counts, 501.0, 3.0, 0.5, 480.0, 560.0, 0.1, 50.0,
                                                            FOREVER, -np.inf)), []


def long_lorentzian(n):
    x = np.linspace(-50.0, 50.0, n)
    counts = np.random.default_rng(1).poisson(3.0 / (1.0 + ((x + 10.0) / 3.0) ** 2) + 0.05).astype(float)
    return x, counts


# The single-peak fits end on their own, but on millions of samples only after seconds.
def lorentzian_fit():
    x, counts = long_lorentzian(lasting(4_000_000))
    return (lambda: core.lorentzian_mle(x, counts, 0.0, 1.0, -50.0, 50.0)), []


def doniach_sunjic_fit():
    # Its kernel's transcendental functions run some hundred times slower instrumented.
    x, counts = long_lorentzian(lasting(2_000_000, slowdown=100))
    return (lambda: core.doniach_sunjic_mle(x, counts, 0.0, 1.0, 0.1, -50.0, 50.0, 0.01, 20.0, 0.0, 0.6)), []


def pv_conditional_max():
    x, counts = long_lorentzian(lasting(2_000_000))
    return (lambda: core.pseudo_voigt_mle_conditional_max(x, counts, 0.0, 3.0, 0.5, -50.0, 50.0)), []


def tsdc_curve(n):
    t = np.linspace(200.0, 450.0, n)
    k = 8.61733034e-5
    tau0 = np.exp(-0.8 / (k * 300.0)) * k * 300.0**2 / (0.1 * 0.8)
    counts = np.random.default_rng(2).poisson(1e4 * core.tsdc_predict(t, 0.8, tau0, 0.1) * 250.0).astype(float)
    return t, counts


def tsdc_bounded_fit():
    t, counts = tsdc_curve(lasting(2_000_000))
    return (lambda: core.tsdc_mle_lbfgsb(t, counts, 1.0, 1.0, 290.0, 0.1, 3.0, 200.0, 450.0, 0.1)), []


def tsdc_root_fit():
    t, counts = tsdc_curve(lasting(8_000_000))
    return (lambda: core.tsdc_mle_find_root(t, counts, 1.0, 1.0, 300.0, 0.1, 3.0, 0.1)), []


# The fitting layer's engine: a joint fit of a spectrum of two million channels, one of a few
# thousand channels under a Tougaard background (whose every pass is quadratic in the channels),
# and a batch of spectra on the pool. The inputs are the layer's own copies, so `written` holds the
# caller's arrays, which must come out as they went in.
def layer_model(background):
    import brivane

    peaks = [brivane.Gaussian(-10.5, 2.6, area=None), brivane.Lorentzian(12.0, 3.5, area=None)]
    return brivane.Model(peaks, background=background)


def layer_counts(n, seed):
    x = np.linspace(-50.0, 50.0, n)
    rate = (2e3 * np.exp(-0.5 * ((x + 10.0) / 2.5) ** 2) + 1e3 / (1.0 + ((x - 12.0) / 1.6) ** 2) + 5.0) * 2e3 / n
    return x, np.random.default_rng(seed).poisson(rate).astype(float)


def brivane_fit():
    import brivane

    x, counts = layer_counts(2_000_000, 3)
    model = layer_model(brivane.Linear())
    return (lambda: brivane.fit(x, counts, model)), [x, counts]


def brivane_fit_tougaard():
    import brivane

    x, counts = layer_counts(6000, 4)
    model = layer_model([brivane.Constant(), brivane.Tougaard(b=1.0, c=100.0)])
    return (lambda: brivane.fit(x, counts, model)), [x, counts]


def brivane_fit_many():
    import brivane

    x, _ = layer_counts(1000, 5)
    counts = np.stack([layer_counts(1000, seed)[1] for seed in range(4000)])
    model = layer_model(brivane.Linear())
    start = dict(brivane.fit(x, counts[0], model).values)
    start = {name: start[name] for name in model.parameter_names}
    return (lambda: brivane.fit_many(x, counts, model, starts=start)), [x, counts]


LONG_CALLS = {"run_em_loop": gaussian_em, "run_voigt_em_loop": voigt_em, "run_lorentzian_em_loop": lorentzian_em,
              "run_pv_em_loop": pv_em, "run_ds_em_loop": ds_em, "run_tsdc_em_loop": tsdc_em,
              "pseudo_voigt_mle_full_optimization": pv_full_optimization}
# These end on their own after a second or so: the child repeats them, so that the signal almost
# surely arrives during a call (the microseconds between calls are all it could miss it in).
SINGLE_PEAK_CALLS = {"lorentzian_mle": lorentzian_fit, "doniach_sunjic_mle": doniach_sunjic_fit,
                     "pseudo_voigt_mle_conditional_max": pv_conditional_max, "tsdc_mle_lbfgsb": tsdc_bounded_fit,
                     "tsdc_mle_find_root": tsdc_root_fit}
LONG_CALLS.update(SINGLE_PEAK_CALLS)
# The layer's calls end on their own too, and are repeated in the same way.
LAYER_CALLS = {"brivane.fit": brivane_fit, "brivane.fit Tougaard": brivane_fit_tougaard,
               "brivane.fit_many": brivane_fit_many}
SINGLE_PEAK_CALLS.update(LAYER_CALLS)
LONG_CALLS.update(LAYER_CALLS)


def small_fits():
    """A Gaussian mixture and a full pseudo-Voigt optimisation, both on the pool: the arrays and
    values they return."""
    x, counts = em_spectrum(600)
    mu, sigma, pi = np.array([501.0, 511.0, 536.0]), np.ones(3), np.full(4, 0.25)
    t, ll, rel, s_tri = core.run_em_loop(x, counts, mu, sigma, pi, np.ones(4), [False] * 3, [False] * 3, 50, 1e-10,
                                         480.0, 560.0, bg_type=1)
    peak = core.pseudo_voigt_mle_full_optimization(x, counts, 501.0, 3.0, 0.5, 480.0, 560.0, 0.1, 50.0, 20, 1e-12)
    arrays = [mu, sigma, pi, ll, rel, np.array([t, s_tri, *peak])]
    # And the layer's engine, alone and on the pool.
    import brivane

    model = brivane.Model([brivane.Gaussian(c, 1.2, area=None) for c in (501.0, 511.0, 536.0)],
                          background=brivane.Constant())
    arrays.append(brivane.fit(x, counts, model).theta)
    arrays.append(brivane.fit_many(x, np.stack([counts, counts + 1.0]), model, starts=None, threads=2).theta)
    return arrays


class Recorded(Exception):
    pass


def child(name, handler="default"):
    """Runs the long call `name` until SIGINT; prints 'ready' before it starts and, once it ends,
    'interrupted <monotonic time> <arrays untouched> <a further fit gives the same bits>', or
    'finished', or '<exception name> <handler calls>' for another exception. `handler`: Python's
    default SIGINT handler, "ignored" (SIG_IGN), "raising" (one that raises Recorded) or
    "recording" (one that only counts the signals)."""
    # The fits' own lines on descriptor 1 ("LBFGSB finished") go nowhere; the parent reads this
    # protocol on a copy of the descriptor.
    protocol = os.fdopen(os.dup(1), "w")
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    calls = []

    def raising(signum, frame):
        calls.append(signum)
        raise Recorded

    if handler == "ignored":
        signal.signal(signal.SIGINT, signal.SIG_IGN)
    elif handler == "raising":
        signal.signal(signal.SIGINT, raising)
    elif handler == "recording":
        signal.signal(signal.SIGINT, lambda signum, frame: calls.append(signum))
    reference = small_fits()
    call, written = LONG_CALLS[name]()
    before = [a.copy() for a in written]
    print("ready", file=protocol, flush=True)
    try:
        call()
        while name in SINGLE_PEAK_CALLS and handler != "ignored":
            call()
        print("finished", file=protocol, flush=True)
    except KeyboardInterrupt:
        caught = time.monotonic()
        untouched = all(np.array_equal(a, b, equal_nan=True) for a, b in zip(written, before))
        again = small_fits()
        same = all(np.array_equal(a, b, equal_nan=True) for a, b in zip(reference, again))
        print("interrupted", repr(caught), untouched, same, len(calls), file=protocol, flush=True)
    except Exception as error:
        print(type(error).__name__, len(calls), file=protocol, flush=True)


def interrupt_child(name, delay, env=None, timeout=120.0, handler="default"):
    """Starts the child for `name`, sends it SIGINT `delay` seconds after it is ready and returns
    (what it printed last, split, and the seconds from the signal to its KeyboardInterrupt)."""
    words, sent = signalled_child(f"child({name!r}, {handler!r})", delay, env, timeout)
    latency = float(words[1]) - sent if words[:1] == ["interrupted"] else None
    return words, latency


def signalled_child(call, delay, env, timeout):
    """Runs interrupt_calls.<call> in a child process, sends it SIGINT `delay` seconds after it
    printed 'ready' and returns what it printed after that, split, with the signal's time."""
    script = f"import sys; sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r}); " \
             f"import interrupt_calls; interrupt_calls.{call}"
    process = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True, env=env)
    try:
        ready = process.stdout.readline().strip()
        assert ready == "ready", ready
        time.sleep(delay)
        sent = time.monotonic()
        process.send_signal(signal.SIGINT)
        output, _ = process.communicate(timeout=timeout)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    return output.split(), sent


def map_child():
    """Fits a map of 10,000 spectra with brivane.fit_map on Dask's threaded scheduler (4 blocks, 2
    threads); prints 'ready' once the first block has started and, after SIGINT, 'interrupted'
    with the time the main thread caught KeyboardInterrupt, then, once the pool has stopped, how
    and when each block ended (stopped by KeyboardInterrupt or returned)."""
    import concurrent.futures

    import dask.array as da

    import brivane
    import brivane.maps

    x, _ = layer_counts(1000, 5)
    counts = np.stack([layer_counts(1000, seed)[1] for seed in range(10000)])
    model = layer_model(brivane.Linear())
    start = dict(brivane.fit(x, counts[0], model).values)
    start = {name: start[name] for name in model.parameter_names}
    ends = []
    fit_block = brivane.maps._fit_block

    def recorded_block(block, *args, **kwargs):
        if block.size == 0:  # Dask's trial call on an empty block
            return fit_block(block, *args, **kwargs)
        if not ends:
            ends.append(("started", time.monotonic()))
            print("ready", flush=True)
        try:
            out = fit_block(block, *args, **kwargs)
        except KeyboardInterrupt:
            ends.append(("stopped", time.monotonic()))
            raise
        ends.append(("returned", time.monotonic()))
        return out

    brivane.maps._fit_block = recorded_block
    pool = concurrent.futures.ThreadPoolExecutor(2)
    try:
        brivane.fit_map(da.from_array(counts, chunks=(2500, -1)), model, x=x, starts=start).compute(
            scheduler="threads", pool=pool)
        print("finished", flush=True)
    except KeyboardInterrupt:
        caught = time.monotonic()
        pool.shutdown(wait=True)
        print("interrupted", repr(caught), *(f"{how} {when!r}" for how, when in ends), flush=True)


def interrupt_map_child(delay, env=None, timeout=300.0):
    """Runs map_child, sends it SIGINT `delay` seconds after its first block started, and returns
    (each block's end as 'stopped-after' or 'returned-after' the main thread's KeyboardInterrupt,
    or '...-before'; ['finished'] if the map ended first) and the seconds from the signal to the
    last block's end."""
    words, sent = signalled_child("map_child()", delay, env, timeout)
    if words[:1] != ["interrupted"]:
        return words, None
    caught = float(words[1])
    ends = [(words[i], float(words[i + 1])) for i in range(2, len(words), 2) if words[i] != "started"]
    outcomes = [f"{how}-{'after' if when > caught else 'before'}" for how, when in ends]
    return outcomes, max(when for _, when in ends) - sent
