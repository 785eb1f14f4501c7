"""Many concurrent brivane.fit and fit_many calls from Python threads, for ThreadSanitizer
(scripts/tsan.sh): the engine given on the command line (built with -fsanitize=thread) is loaded
as brivane._engine, and every result is checked against the same call made alone first."""
import importlib.util
import sys
import threading

import numpy as np

spec = importlib.util.spec_from_file_location("brivane._engine", sys.argv[1])
engine = importlib.util.module_from_spec(spec)
spec.loader.exec_module(engine)
sys.modules["brivane._engine"] = engine

import brivane  # noqa: E402

assert brivane._compiled.engine() is engine

x = np.linspace(420.0, 620.0, 300)
rng = np.random.default_rng(17)
rate = (3e4 * 0.5 * (4.0 / np.pi) / ((x - 520.0) ** 2 + 16.0) + 1e4 * 0.5 * (6.0 / np.pi) / ((x - 560.0) ** 2 + 36.0)
        + 20.0)
counts = rng.poisson(rate, (6, x.size)).astype(float)
model = brivane.Model([brivane.Lorentzian(518.0, 7.0, area=2.5e4), brivane.Lorentzian(562.0, 11.0, area=1.2e4)],
                      background=brivane.Linear(level=20.0, slope=0.0))
alone = [brivane.fit(x, c, model).theta for c in counts]
batch_alone = brivane.fit_many(x, counts, model, threads=1).theta
failures = []


THREADS, ROUNDS = 8, 6


def worker(k):
    for round_ in range(ROUNDS):
        if (k + round_) % 2:
            got = brivane.fit(x, counts[k % 6], model).theta
            if got.tobytes() != alone[k % 6].tobytes():
                failures.append(("fit", k))
        else:
            got = brivane.fit_many(x, counts, model, threads=2).theta
            if got.tobytes() != batch_alone.tobytes():
                failures.append(("fit_many", k))


threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print("concurrent calls:", THREADS * ROUNDS, "differing:", failures)
sys.exit(1 if failures else 0)
