"""Access to the compiled engine, imported on first use so that ``import brivane`` works (for
models, results read back from JSON, plots) even where the engine could not be loaded."""
from __future__ import annotations

import importlib

import numpy as np

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


def _vector(a) -> np.ndarray:
    return np.ascontiguousarray(a, dtype=np.float64).ravel()


def term_arguments(kind, first, count, aux):
    """The engine's description of the terms: whole-number codes as float64 arrays, and each
    term's two auxiliary values flattened."""
    return _vector(kind), _vector(first), _vector(count), _vector(aux)


def rows_argument(rows):
    return None if rows is None else [_vector(r) for r in rows]


def evaluate(x, width, kind, first, count, aux, theta, rows) -> np.ndarray:
    """Each term's expected counts per channel, float64[C, n]."""
    return np.array(engine().evaluate(_vector(x), _vector(width), *term_arguments(kind, first, count, aux),
                                      _vector(theta), rows=rows_argument(rows)), float)


def jacobian(x, width, kind, first, count, aux, theta, rows) -> np.ndarray:
    """d mu_i / d theta_j, float64[n, P]."""
    return np.array(engine().jacobian(_vector(x), _vector(width), *term_arguments(kind, first, count, aux),
                                      _vector(theta), rows=rows_argument(rows)), float)
