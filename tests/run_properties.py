"""Runs the property-based suite (tests/python/test_properties.py) at length, with fresh
randomness: 10^5 examples in all by default, and prints how the calls ended, by function.

    .venv/bin/python tests/run_properties.py [examples]
"""
import os
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
os.environ["BRIVANE_PROPERTY_EXAMPLES"] = sys.argv[1] if len(sys.argv) > 1 else "100000"
os.environ["BRIVANE_PROPERTY_RANDOM"] = "1"

import pytest  # noqa: E402

begin = time.perf_counter()
status = pytest.main(["-q", "-p", "no:cacheprovider", os.path.join(here, "python", "test_properties.py")])
elapsed = time.perf_counter() - begin
outcomes = sys.modules["test_properties"].OUTCOMES
kinds = sorted({kind for _, kind in outcomes})
print(f"\n{sum(outcomes.values())} calls in {elapsed:.0f} s")
print(f"{'function':48s}" + "".join(f"{kind:>16s}" for kind in kinds))
for function in sorted({function for function, _ in outcomes}):
    print(f"{function:48s}" + "".join(f"{outcomes[function, kind]:16d}" for kind in kinds))
sys.exit(status)
