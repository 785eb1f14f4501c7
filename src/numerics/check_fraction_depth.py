"""Checks the depth rule of the vectorised exponential integrals (simd/exponential_integrals.hpp): the
continued fraction of exp(x) E_n(x), truncated at J = ceil((c + sqrt(3x))^2 / x) + 3 levels, against
the same fraction 200 levels deeper, in 50-digit arithmetic. Prints the worst truncation error of
C1 = exp(x) E1(x) and C2 = exp(x) E2(x) in units of 2^-53 relative.

    python check_fraction_depth.py [c]      (c = 9.5 by default; the scalar routine uses 11)
"""
import math
import sys

import mpmath

mpmath.mp.dps = 50


def tail(x, depth):
    """C1 and C2 from the fraction truncated at `depth`, run backwards as a ratio N / D."""
    n, d = mpmath.mpf(0), mpmath.mpf(1)
    for j in range(depth, 1, -1):
        n, d = d, (x + 2 * j - 1) * d - j * j * n
    q2 = n / d
    c1 = 1 / (x + 1 - q2)
    return c1, c1 * (1 - q2)


def depth_rule(x, c):
    root = math.sqrt(3.0 * x)
    return math.ceil((c + root) * (c + root) / x) + 3


def main():
    c = float(sys.argv[1]) if len(sys.argv) > 1 else 9.5
    xs = [1.0 + 0.01 * i for i in range(1, 200)] + [3.0 + 0.25 * i for i in range(80)]
    xs += [23.0 + i for i in range(687)]
    worst = [0.0, 0.0]
    for value in xs:
        x = mpmath.mpf(value)
        truncated = tail(x, depth_rule(value, c))
        converged = tail(x, depth_rule(value, c) + 200)
        for k in range(2):
            worst[k] = max(worst[k], float(abs(truncated[k] / converged[k] - 1)) / 2.0**-53)
    print(f"c = {c}: worst truncation C1 {worst[0]:.3g} ulp, C2 {worst[1]:.3g} ulp")


if __name__ == "__main__":
    main()
