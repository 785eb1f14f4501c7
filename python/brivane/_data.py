"""Conversion and checks of the data a fit is given: every bad input becomes a TypeError or a
ValueError that names the argument (and the channel), and the caller's arrays are never written."""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import List, Tuple

import numpy as np


def as_vector(values, argument: str) -> np.ndarray:
    """A fresh one-dimensional float64 copy of ``values`` (a list, tuple or array of real numbers)."""
    if isinstance(values, (str, bytes)):
        raise TypeError(f"{argument} must be a sequence of real numbers, not {type(values).__name__}")
    try:
        original = np.asarray(values)
    except Exception:  # NumPy raises several kinds for ragged or odd input
        raise TypeError(f"{argument} must be a one-dimensional sequence of real numbers") from None
    if original.dtype.kind not in "biuf":
        raise TypeError(f"{argument} must hold real numbers, not {original.dtype} values")
    if original.dtype.kind == "b":
        raise TypeError(f"{argument} must hold real numbers, not booleans")
    if original.ndim != 1:
        raise ValueError(f"{argument} must be one-dimensional, got shape {original.shape}")
    return np.array(original, dtype=np.float64, copy=True)


def channel_widths(x: np.ndarray) -> np.ndarray:
    """Each channel's width on an ascending grid: half the distance between its two neighbours,
    the distance to the one neighbour at either end, 1 for a single channel."""
    if x.size == 1:
        return np.ones(1)
    width = np.empty_like(x)
    width[0] = x[1] - x[0]
    width[-1] = x[-1] - x[-2]
    width[1:-1] = 0.5 * (x[2:] - x[:-2])
    return width


@dataclass
class Data:
    """The data in ascending order of x, with each channel's index in the caller's arrays."""
    x: np.ndarray
    counts: np.ndarray
    width: np.ndarray
    index: np.ndarray
    notes: List[str] = field(default_factory=list)


def prepare(x, counts) -> Data:
    x = as_vector(x, "x")
    counts = as_vector(counts, "counts")
    if x.size != counts.size:
        raise ValueError(f"x and counts differ in length: x has {x.size} channels, counts {counts.size}")
    if x.size < 2:
        raise ValueError(f"x must have at least two channels, got {x.size}")
    # Each test over the whole array first; the index of the first bad channel only when it fails.
    if not np.isfinite(x).all():
        bad = np.flatnonzero(~np.isfinite(x))
        raise ValueError(f"x[{bad[0]}] is {x[bad[0]]}: every x must be finite")
    if not np.isfinite(counts).all():
        bad = np.flatnonzero(~np.isfinite(counts))
        raise ValueError(f"counts[{bad[0]}] is {counts[bad[0]]}: every count must be finite")
    if counts.min() < 0:
        bad = np.flatnonzero(counts < 0)
        raise ValueError(f"counts[{bad[0]}] is negative ({counts[bad[0]]:g}): counts must be >= 0")
    step = np.diff(x)
    notes = []
    index = np.arange(x.size)
    if np.all(step > 0):
        pass
    elif np.all(step < 0):
        # A descending axis (binding energy as recorded, say) is the same spectrum: the channels
        # are put in ascending order, and the result says so.
        x, counts, index = x[::-1].copy(), counts[::-1].copy(), index[::-1].copy()
        notes.append("x was descending: the channels were put in ascending order of x")
    else:
        ascending = step[0] > 0
        i = int(np.flatnonzero(step <= 0)[0] if ascending else np.flatnonzero(step >= 0)[0])
        raise ValueError(f"x must be strictly ascending or strictly descending: x[{i + 1}] = "
                         f"{x[i + 1]:g} follows x[{i}] = {x[i]:g}")
    return Data(x, counts, channel_widths(x), index, notes)


def window_channels(data: Data, window) -> Tuple[int, int]:
    """The first and one-past-last channel (ascending order) inside ``window = (lower, upper)``."""
    if window is None:
        return 0, data.x.size
    if isinstance(window, (str, bytes)):
        raise TypeError("window must be a pair (lower, upper) of x values")
    try:
        lower, upper = window
        lower, upper = float(lower), float(upper)
    except OverflowError:
        raise ValueError(f"window {window!r} must be finite") from None
    except (TypeError, ValueError):
        raise TypeError(f"window must be a pair (lower, upper) of x values, got {window!r}") from None
    if not (math.isfinite(lower) and math.isfinite(upper)):
        raise ValueError(f"window ({lower}, {upper}) must be finite")
    if not lower < upper:
        raise ValueError(f"window ({lower:g}, {upper:g}) is reversed or empty: lower must be below upper")
    x, w = data.x, data.width
    low_edge, high_edge = x[0] - 0.5 * w[0], x[-1] + 0.5 * w[-1]
    if lower < low_edge or upper > high_edge:
        raise ValueError(f"window ({lower:g}, {upper:g}) reaches outside the data, which cover "
                         f"[{x[0]:g}, {x[-1]:g}]")
    first = int(np.searchsorted(x, lower, side="left"))
    stop = int(np.searchsorted(x, upper, side="right"))
    if stop - first < 2:
        raise ValueError(f"window ({lower:g}, {upper:g}) holds {stop - first} channels; a fit needs more")
    return first, stop


# The largest count the compiled engine takes (a signed 64-bit integer).
LARGEST_COUNT = 2**63 - 1


def positive_int(value, argument: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{argument} must be an integer, not {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{argument} must be >= 1, got {value}")
    if value > LARGEST_COUNT:
        raise ValueError(f"{argument} must be at most 2**63 - 1, got {value}")
    return int(value)


def positive_float(value, argument: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{argument} must be a real number, not {type(value).__name__}")
    try:
        value = float(value)
    except OverflowError:  # an integer beyond a float's range
        value = math.inf
    if not (value > 0 and math.isfinite(value)):
        raise ValueError(f"{argument} must be a positive finite number, got {value}")
    return value


def choice(value, argument: str, options: Tuple[str, ...]) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{argument} must be one of {', '.join(map(repr, options))}, not {type(value).__name__}")
    if value not in options:
        raise ValueError(f"{argument} must be one of {', '.join(map(repr, options))}, got {value!r}")
    return value


def optional(value, argument, check):
    return None if value is None else check(value, argument)
