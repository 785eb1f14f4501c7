#pragma once
// The 100-point Gauss-Legendre rule on [0, 1], and the same rule carried onto [0, inf) by the
// substitution s = t / (1 - t), ds = dt / (1 - t)^2 (the Voigt window mass scales these offsets and
// weights by a power of two fitted to each tail). Every entry is the double nearest to the exact
// value (see make_gauss_legendre_100.py, which regenerates the table).

#include <cstddef>

namespace brivane::gauss_legendre_100 {

inline constexpr std::size_t kPoints = 100;

#include "numerics/gauss_legendre_100.inc"

}  // namespace brivane::gauss_legendre_100
