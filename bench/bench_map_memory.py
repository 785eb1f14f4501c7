"""Resident memory of brivane.fit_map on a map far larger than memory: 100,000 spectra x 1,000
channels (800 MB of counts as float64), generated lazily chunk by chunk with Dask, fitted chunk by
chunk, only the fitted parameters kept. Prints the process's peak resident set size (the kernel's
high-water mark, sampled besides every 50 ms for the trace), the time, the rate and how well the
fits recovered the truth.

Each spectrum: two Lorentzian lines (a Raman map's) on a flat background, their centres following a
smooth shift field, Poisson counts drawn from a generator seeded by the chunk's first pixel, so the
map is the same on every run and nothing is held besides the chunks in flight.

    python bench/bench_map_memory.py [--spectra 100000] [--chunk 1000] [--workers 2]
"""
import argparse
import os
import resource
import threading
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # see tests/python/conftest.py

import numpy as np  # noqa: E402

import brivane  # noqa: E402

X = np.linspace(300.0, 799.5, 1000)
WIDTH = np.gradient(X)
CENTRES, FWHM, AREAS, LEVEL = (520.0, 640.0), (8.0, 14.0), (3e4, 1e4), 40.0


def shift_of(pixels):
    return 2.0 * np.sin(pixels / 1700.0) + np.cos(pixels / 97.0)


def generate(pixels):
    """Counts (len(pixels), 1000) for a chunk of pixel indices."""
    rng = np.random.default_rng(int(pixels[0]))
    shift = shift_of(pixels.astype(float))[:, None]
    mu = np.full((pixels.size, X.size), LEVEL)
    for centre, fwhm, area in zip(CENTRES, FWHM, AREAS):
        u = X - (centre + shift)
        half = 0.5 * fwhm
        mu += area * half / (np.pi * (u * u + half * half)) * WIDTH
    return rng.poisson(mu).astype(float)


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main():
    import dask
    import dask.array as da

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--spectra", type=int, default=100_000)
    parser.add_argument("--chunk", type=int, default=1000, help="pixels per chunk")
    parser.add_argument("--workers", type=int, default=2, help="Dask threads")
    args = parser.parse_args()

    pixels = da.arange(args.spectra, chunks=args.chunk)
    counts = da.map_blocks(generate, pixels, new_axis=1, chunks=(pixels.chunks[0], (X.size,)), dtype=float)
    model = brivane.Model([brivane.Lorentzian(c + 2.0, 1.1 * w, area=0.9 * a) for c, w, a in zip(CENTRES, FWHM, AREAS)],
                          background=brivane.Constant(level=1.1 * LEVEL))
    # fit_many's threads stay at one per Dask thread: the chunks in flight already keep the cores busy.
    result = brivane.fit_map(counts, model, x=X, threads=1)

    peak = [resident_bytes()]
    done = threading.Event()

    def watch():
        while not done.wait(0.05):
            peak[0] = max(peak[0], resident_bytes())

    watcher = threading.Thread(target=watch, daemon=True)
    start_rss = resident_bytes()
    watcher.start()
    begin, cpu = time.perf_counter(), time.process_time()
    with dask.config.set(scheduler="threads", num_workers=args.workers):
        fitted = result.compute()
    elapsed, cpu = time.perf_counter() - begin, time.process_time() - cpu
    done.set()
    watcher.join()
    high_water = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

    truth = CENTRES[0] + shift_of(np.arange(args.spectra, dtype=float))
    pull = (fitted["p0.center"].values - truth) / fitted["p0.center_stderr"].values
    print(f"{args.spectra} spectra x {X.size} channels ({args.spectra * X.size * 8 / 2**30:.2f} GiB of counts), "
          f"chunks of {args.chunk} pixels, {args.workers} Dask threads")
    print(f"time {elapsed:.1f} s wall ({args.spectra / elapsed:.0f} spectra/s), {cpu:.1f} s CPU")
    print(f"resident memory: {start_rss / 2**20:.0f} MiB before the fit, peak {max(peak[0], high_water) / 2**20:.0f} MiB "
          f"(limit 1024 MiB): {'below' if max(peak[0], high_water) < 2**30 else 'ABOVE'} 1 GiB")
    print(f"converged {fitted['converged'].values.mean():.2%}; p0.center pulls: mean {np.nanmean(pull):+.3f}, "
          f"sd {np.nanstd(pull):.3f}, |pull| > 4 in {np.mean(np.abs(pull) > 4):.3%}")


if __name__ == "__main__":
    main()
