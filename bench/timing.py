"""The timing rule of the benchmarks: the best of several runs, since a run is only ever slowed by
what else the machine does."""
import time


def best(f, repeats, clock=time.perf_counter):
    """The shortest of `repeats` runs of f() on `clock`."""
    times = []
    for _ in range(repeats):
        begin = clock()
        f()
        times.append(clock() - begin)
    return min(times)
