"""Ctrl-C ends every long-running raw call: a child process running a fit that would never end on
its own is sent SIGINT in the middle of it and must raise KeyboardInterrupt, leave the arrays it
was given as they were, and fit again afterwards to the same bits as before (the worker pool and
the interrupt request both back to normal). How fast the interrupt arrives is measured by
bench/bench_interrupt.py, not asserted here."""
import numpy as np
import pytest

import brivane_core
from interrupt_calls import LONG_CALLS, interrupt_child, interrupt_map_child


@pytest.mark.parametrize("name", list(LONG_CALLS))
def test_sigint_ends_a_long_call(name):
    words, _ = interrupt_child(name, delay=0.3)
    assert words[:1] == ["interrupted"], words
    untouched, same = words[2:4]
    assert untouched == "True", "the caller's arrays were written"
    assert same == "True", "a fit after the interrupt differs from one before it"


@pytest.mark.parametrize("handler, name, outcome", [
    # The handler is passed the signal when the call has stopped; what it raises is the call's
    # exception, and one that raises nothing leaves KeyboardInterrupt.
    ("raising", "run_voigt_em_loop", ["Recorded", "1"]),
    ("recording", "run_voigt_em_loop", ["interrupted", "True", "True", "1"]),
    # An ignored SIGINT stops nothing: the fit ends on its own.
    ("ignored", "lorentzian_mle", ["finished"]),
])
def test_the_interpreters_handler_decides(handler, name, outcome):
    words, _ = interrupt_child(name, delay=0.3, handler=handler)
    assert [w for i, w in enumerate(words) if i != 1 or words[0] != "interrupted"] == outcome, words


def test_full_optimization_from_a_start_without_a_likelihood_returns_it():
    # Before, a NaN gain went on: with max_iter 10**9 this looped for ever.
    x = np.linspace(0.0, 10.0, 200)
    peak = brivane_core.pseudo_voigt_mle_full_optimization(x, np.ones(200), np.nan, np.inf, 0.5, 0.0, 10.0, 0.1,
                                                           5.0, 10**9, 1e-9)
    assert np.isnan(peak[0]) and peak[1:] == (np.inf, 0.5)


@pytest.mark.parametrize("name", ["lorentzian_mle", "doniach_sunjic_mle", "pseudo_voigt_mle_conditional_max",
                                  "tsdc_mle_lbfgsb", "tsdc_mle_find_root"])
def test_other_threads_run_while_a_single_peak_fit_computes(name, capfd):
    # These held the interpreter lock while they computed: every other Python thread stopped for
    # the seconds a fit on millions of samples takes (for ever with the inputs of a loop that did
    # not end). The main thread must run in the middle of the fit, not only at its ends, where a
    # thread switch may come while the worker runs Python code.
    import threading
    import time

    call, _ = LONG_CALLS[name]()
    span = {}

    def fit():
        span["start"] = time.monotonic()
        call()
        span["end"] = time.monotonic()

    worker = threading.Thread(target=fit)
    stamps = []
    worker.start()
    while worker.is_alive():
        stamps.append(time.monotonic())
        worker.join(0.01)
    capfd.readouterr()
    start, end = span["start"], span["end"]
    middle = [t for t in stamps if start + 0.1 * (end - start) < t < end - 0.1 * (end - start)]
    assert middle, f"the main thread did not run during the {end - start:.2f} s of the fit"




def test_sigint_stops_the_blocks_of_a_map_running_in_the_schedulers_threads():
    # Dask's threaded scheduler waits for its pool in the main thread, where the interpreter raises
    # KeyboardInterrupt; the blocks running in the pool's threads must stop too, not run on to the
    # end of their spectra after the caller was told the map was interrupted.
    pytest.importorskip("dask.array")
    ends, _ = interrupt_map_child(delay=0.2)
    assert ends and ends[0] != "finished", ends
    assert "returned-after" not in ends, f"a block ran on after the interrupt: {ends}"
    assert "stopped-after" in ends, ends
