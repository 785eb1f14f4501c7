"""The number of threads of the oneTBB pool that the compiled modules share.

brivane._engine and brivane_core both run their parallel work on oneTBB's pool, one per process,
whose size is capped by a ``tbb::global_control`` object. Where the engine offers its own call
for it, that call is used; otherwise the cap is set through oneTBB's exported entry points
(``tbb::detail::r1::create`` / ``destroy`` on a ``global_control`` record, part of oneTBB's stable
binary interface), which reaches every module linked to the same libtbb.
"""
from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading

_lock = threading.Lock()
_control = None        # the live global_control record, kept alive while the cap holds
_library = None
_MAX_ALLOWED_PARALLELISM = 0


class _GlobalControl(ctypes.Structure):
    # oneTBB's d1::global_control: the value, a reserved word, the parameter's code.
    _fields_ = [("value", ctypes.c_size_t), ("reserved", ctypes.c_ssize_t), ("parameter", ctypes.c_int)]


def _tbb():
    global _library
    if _library is None:
        import brivane_core  # noqa: F401 (loads the libtbb the compiled modules use)
        for name in ("libtbb.so.12", ctypes.util.find_library("tbb"), "libtbb.so"):
            if not name:
                continue
            try:
                library = ctypes.CDLL(name)
                library._ZN3tbb6detail2r16createERNS0_2d114global_controlE.argtypes = [ctypes.c_void_p]
                library._ZN3tbb6detail2r17destroyERNS0_2d114global_controlE.argtypes = [ctypes.c_void_p]
                library._ZN3tbb6detail2r127global_control_active_valueEi.argtypes = [ctypes.c_int]
                library._ZN3tbb6detail2r127global_control_active_valueEi.restype = ctypes.c_size_t
                _library = library
                break
            except (OSError, AttributeError):
                continue
        else:
            raise RuntimeError("oneTBB's library could not be found to set the number of threads")
    return _library


def _engine_call(name):
    try:
        from ._compiled import engine
        return getattr(engine(), name, None)
    except ImportError:
        return None


def set_threads(n=None) -> None:
    """Use at most ``n`` threads for brivane's parallel work (fits, EM passes), ``None`` for one per
    processor (the default). Applies to the whole process, to brivane_core's functions as well.
    """
    global _control
    if n is not None:
        if isinstance(n, bool) or not isinstance(n, int):
            raise TypeError(f"n must be an integer or None, not {type(n).__name__}")
        if n < 1:
            raise ValueError(f"n must be >= 1, got {n}")
    native = _engine_call("set_threads")
    if native is not None:
        native(0 if n is None else n)
        return
    with _lock:
        tbb = _tbb()
        if _control is not None:
            tbb._ZN3tbb6detail2r17destroyERNS0_2d114global_controlE(ctypes.byref(_control))
            _control = None
        if n is not None:
            control = _GlobalControl(n, 0, _MAX_ALLOWED_PARALLELISM)
            tbb._ZN3tbb6detail2r16createERNS0_2d114global_controlE(ctypes.byref(control))
            _control = control


def get_threads() -> int:
    """The number of threads brivane's parallel work may use now."""
    native = _engine_call("get_threads")
    if native is not None:
        return int(native())
    with _lock:
        try:
            return int(_tbb()._ZN3tbb6detail2r127global_control_active_valueEi(_MAX_ALLOWED_PARALLELISM))
        except RuntimeError:
            return os.cpu_count() or 1
