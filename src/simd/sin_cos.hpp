#pragma once
// Sine and cosine of one angle together, from one argument reduction.
//
// Contract (reference: quadruple precision, libquadmath): sin_cos_reduced(x) for |x| <=
// kSinCosLimit (1.6e6): sine at most 0.757 ulp and cosine at most 0.728 ulp, measured on every
// instruction set over 50,001 points of [-8, 8], 20,001 of [-1.6e6, 1.6e6] and the neighbours of
// k pi/2 for |k| <= 1000 (tests/cpp/vector_math_test.cpp). Lanes beyond the limit, infinite or
// NaN carry no meaning: the callers take the scalar library there.
#include "simd/lanes.hpp"

namespace brivane::BRIVANE_SIMD_NAMESPACE {
namespace {

// sin and cos of x for |x| <= kSinCosLimit (about 1.6e6), each within about one ulp; other lanes
// (larger, infinite or NaN) are left to the caller. x = k pi/2 + r with |r| <= pi/4: k pi/2 is taken
// off in three parts (fdlibm's 33-bit pieces, so k * piece is exact for |k| < 2^20), the first
// exactly, the rest with a two-sum keeping r as head + tail; the kernels of FreeBSD's k_sin.c and
// k_cos.c then use the tail, and k mod 4 picks and signs the results.
constexpr double kSinCosLimit = 1.6e6;
SIMD_INLINE void sin_cos_reduced(V x, V& sine, V& cosine) {
  const V shifted = fma(x, set(6.36619772367581382433e-01), set(kRoundingShift));
  const V k = shifted - set(kRoundingShift);
  const V first = fnma(k, set(1.57079632673412561417e+00), x);  // exact
  const V second = k * set(6.07710050630396597660e-11);          // exact
  const V head = first - second;
  const V back = head - first;
  const V tail = ((first - (head - back)) - (second + back)) - k * set(2.02226624879595063154e-21);
  const V r = head + tail;
  const V r_tail = tail - (r - head);
  const V z = r * r;
  const V w = z * z;
  // sin r = r + r^3 (S1 + z ...), with the tail's first-order term.
  V ps = fma(z, set(1.58969099521155010221e-10), set(-2.50507602534068634195e-08));
  ps = z * w * ps;
  V pr = fma(z, set(2.75573137070700676789e-06), set(-1.98412698298579493134e-04));
  pr = fma(z, pr, set(8.33333333332248946124e-03)) + ps;
  const V v = z * r;
  const V s = r - ((z * (set(0.5) * r_tail - v * pr) - r_tail) - v * set(-1.66666666666666324348e-01));
  // cos r = 1 - z/2 + z^2 (C1 + ...), 1 - z/2 compensated.
  V c1 = fma(z, set(2.48015872894767294178e-05), set(-1.38888888888741095749e-03));
  c1 = fma(z, c1, set(4.16666666666666019037e-02));
  V c2 = fma(z, set(-1.13596475577881948265e-11), set(2.08757232129817482790e-09));
  c2 = fma(z, c2, set(-2.75573143513906633035e-07));
  const V cr = fma(w * w, c2, z * c1);
  const V half_z = set(0.5) * z;
  const V one_minus = set(1.0) - half_z;
  const V c = one_minus + (((set(1.0) - one_minus) - half_z) + (z * cr - r * r_tail));
  // Quadrant k mod 4 from the low bits of the rounding shift.
  const I quadrant = and_int(bits(shifted), set_int(3));
  const M odd = from_bits(shl<52>(and_int(quadrant, set_int(1)))) > set(0.0);
  const M sine_negative = from_bits(shl<52>(and_int(quadrant, set_int(2)))) > set(0.0);
  const M cosine_negative = from_bits(shl<52>(and_int(add_int(quadrant, set_int(1)), set_int(2)))) > set(0.0);
  const V sine_value = select(odd, c, s), cosine_value = select(odd, s, c);
  sine = select(sine_negative, -sine_value, sine_value);
  cosine = select(cosine_negative, -cosine_value, cosine_value);
}

}  // namespace
}  // namespace brivane::BRIVANE_SIMD_NAMESPACE
