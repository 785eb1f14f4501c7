"""What the tests of the brivane layer share: whether the compiled engine is there, the bundled
spectra, and the models users fit to them."""
import importlib
import os

import numpy as np
import pytest

try:
    importlib.import_module("brivane._engine")
    HAVE_ENGINE = True
except ImportError:
    HAVE_ENGINE = False

needs_engine = pytest.mark.skipif(not HAVE_ENGINE, reason="brivane._engine cannot be imported")

DATA = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "data")


def load(name):
    """(x, counts) of a bundled spectrum."""
    x, y = np.loadtxt(os.path.join(DATA, name), delimiter=",", skiprows=1, unpack=True)
    return x, y
