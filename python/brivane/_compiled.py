"""Access to the compiled engine, imported on first use so that ``import brivane`` works (for
models, results read back from JSON, plots) even where the engine could not be loaded."""
from __future__ import annotations

import importlib

_engine = None


def engine():
    """The compiled engine ``brivane._engine``, or an ImportError that says what to do."""
    global _engine
    if _engine is None:
        try:
            _engine = importlib.import_module("brivane._engine")
        except ImportError as error:
            raise ImportError(
                "brivane's compiled engine (brivane._engine) could not be imported: "
                f"{error}. It is built with the package: reinstall brivane from a wheel or with "
                "'pip install .' from the source tree (needs g++, oneTBB and libcerf).") from error
    return _engine


def engine_available() -> bool:
    try:
        engine()
    except ImportError:
        return False
    return True
