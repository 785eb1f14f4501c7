"""Runs the property-based suites at length, with fresh randomness, and prints how the calls ended,
by function: tests/python/test_properties.py over the raw module's functions and
tests/python/test_properties_layer.py over brivane's public calls, 10^5 examples each by default.

    .venv/bin/python tests/run_properties.py [examples] [--suite raw|layer|both]
"""
import argparse
import collections
import os
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
SUITES = {"raw": "test_properties", "layer": "test_properties_layer"}

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("examples", nargs="?", type=int, default=100000, help="examples per suite")
parser.add_argument("--suite", choices=("raw", "layer", "both"), default="both")
arguments = parser.parse_args()
os.environ["BRIVANE_PROPERTY_EXAMPLES"] = str(arguments.examples)
os.environ["BRIVANE_LAYER_PROPERTY_EXAMPLES"] = str(arguments.examples)
os.environ["BRIVANE_PROPERTY_RANDOM"] = "1"

import pytest  # noqa: E402

modules = list(SUITES.values()) if arguments.suite == "both" else [SUITES[arguments.suite]]
begin = time.perf_counter()
status = pytest.main(["-q", "-p", "no:cacheprovider"] + [os.path.join(here, "python", m + ".py") for m in modules])
elapsed = time.perf_counter() - begin
outcomes = collections.Counter()
for module in modules:
    if module in sys.modules:
        outcomes.update(sys.modules[module].OUTCOMES)
kinds = sorted({kind for _, kind in outcomes})
print(f"\n{sum(outcomes.values())} calls in {elapsed:.0f} s")
print(f"{'function':48s}" + "".join(f"{kind:>16s}" for kind in kinds))
for function in sorted({function for function, _ in outcomes}):
    print(f"{function:48s}" + "".join(f"{outcomes[function, kind]:16d}" for kind in kinds))
sys.exit(status)
