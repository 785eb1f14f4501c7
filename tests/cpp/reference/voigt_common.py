"""Shared by the Voigt reference scripts: the quadrature table of the unit (read from the committed
.inc file, so both sides use the same doubles), the scale of each tail's nodes, and the problem
definitions that voigt_test.cpp repeats by index."""
import math
import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parents[3]


def quadrature():
    """(offsets s_i, weights w_i / (1 - t_i)^2) of the substitution, as committed."""
    text = (ROOT / "src" / "numerics" / "gauss_legendre_100.inc").read_text()

    def column(name):
        body = re.search(name + r"\[100\] = \{(.*?)\};", text, re.S).group(1)
        return [float(v) for v in body.replace("\n", " ").split(",") if v.strip()]

    return column("kTailOffset"), column("kTailWeight")


def tail_scale(distance, sigma, gamma):
    """L of the tail substitution s = L t / (1 - t): |sigma| + |gamma| + the edge's distance from the
    centre, rounded down to a power of two; 1 where that is not a positive normal number."""
    raw = (abs(sigma) + abs(gamma)) + distance
    if not (raw >= 2.0 ** -1022) or not math.isfinite(raw):
        return 1.0
    return math.ldexp(1.0, math.frexp(raw)[1] - 1)


def grid(low, step, count):
    # low and step are dyadic, so every node is exact in binary and identical in C++.
    return [low + i * step for i in range(count)]


def weights(count, base, spread):
    # Integer counts from a fixed permutation-like pattern: exact in both languages.
    return [float(base + (i * 7919) % 1000 * spread) for i in range(count)]
