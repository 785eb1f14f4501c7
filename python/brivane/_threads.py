"""The number of threads of the oneTBB pool that the compiled modules share.

brivane._engine and brivane_core both run their parallel work on oneTBB's pool, one per process,
whose size is capped by a ``tbb::global_control`` object. The engine owns that object
(``_engine.set_threads`` / ``get_threads``); since both modules are linked to the one oneTBB
runtime of the process, its cap holds for brivane_core's functions as well.
"""
from __future__ import annotations

from typing import Optional

from ._compiled import engine


def set_threads(n: Optional[int] = None) -> None:
    """Use at most ``n`` threads for brivane's parallel work (fits, EM passes), ``None`` for one per
    processor (the default). Applies to the whole process, to brivane_core's functions as well.
    """
    if n is not None:
        if isinstance(n, bool) or not isinstance(n, int):
            raise TypeError(f"n must be an integer or None, not {type(n).__name__}")
        if n < 1:
            raise ValueError(f"n must be >= 1, got {n}")
        if n > 2**63 - 1:  # beyond the engine's integer: an OverflowError there
            raise ValueError(f"n must be at most 2**63 - 1, got {n}")
    engine().set_threads(0 if n is None else int(n))


def get_threads() -> int:
    """The number of threads brivane's parallel work may use now."""
    return int(engine().get_threads())
