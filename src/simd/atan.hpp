#pragma once
// The arc tangent: atan over every double, and atan2 of a positive ordinate.
//
// Contract (reference: quadruple precision, libquadmath):
// - atan_any(x): at most 0.734 ulp measured on every instruction set over +-2^-40 to +-2^40, 30,001
//   points of [-3, 3] and the reductions' seams (tests/cpp/vector_math_test.cpp); atan(+-0) = +-0,
//   +-pi/2 at +-inf, NaN for NaN.
// - atan2_of_positive(y, x): for finite y > 0, in (0, pi): at most 1.456 ulp measured on every
//   instruction set for y from 2^-30 to 2^30 and x of either sign from 2^-31 to 2^31, 0 and the
//   diagonals' neighbours (tests/cpp/vector_math_test.cpp; the base angle and the reduced one are
//   added with a rounding each). Lanes with y <= 0, infinite y or NaN carry no meaning.
#include "simd/lanes.hpp"

namespace brivane::BRIVANE_SIMD_NAMESPACE {
namespace {

// The series part s of atan(t) = t - t s for |t| <= 7/16: s = z s1(w) + w s2(w), z = t^2, w = z^2
// (fdlibm's s_atan.c: the polynomial's error is below 2^-59 of the result).
SIMD_INLINE V atan_polynomial(V t) {
  const V z = t * t;
  const V w = z * z;
  V s1 = fma(w, set(1.62858201153657823623e-02), set(4.97687799461593236017e-02));
  s1 = fma(w, s1, set(6.66107313738753120669e-02));
  s1 = fma(w, s1, set(9.09088713343650656196e-02));
  s1 = fma(w, s1, set(1.42857142725034663711e-01));
  s1 = fma(w, s1, set(3.33333333333329318027e-01));
  V s2 = fma(w, set(-3.65315727442169155270e-02), set(-5.83357013379057348645e-02));
  s2 = fma(w, s2, set(-7.69187620504482999495e-02));
  s2 = fma(w, s2, set(-1.11111104054623557880e-01));
  s2 = fma(w, s2, set(-1.99999999998764832476e-01));
  return fma(z, s1, w * s2);
}

// atan(t) for |t| <= 7/16 after the reduction of atan_of: t - t s, added to the reduction's base
// angle (high + low parts) so that only the last subtraction rounds at the size of the result.
SIMD_INLINE V atan_reduced(V t, V base_high, V base_low) {
  return base_high - (fma(t, atan_polynomial(t), -base_low) - t);
}

// The reduction of atan(a), a >= 0 (or NaN), for a below 2.4375: t = numerator / denominator with
// |t| <= 7/16, and the base angle atan(0), atan(1/2), atan(1) or atan(3/2) in two parts. NaN fails
// every comparison and keeps t = NaN.
SIMD_INLINE void atan_ranges(V a, V& numerator, V& denominator, V& high, V& low) {
  const M r0 = a >= set(0.4375), r1 = a >= set(0.6875), r2 = a >= set(1.1875);
  numerator = a;
  denominator = set(1.0);
  high = set(0.0);
  low = set(0.0);
  numerator = select(r0, set(2.0) * a - set(1.0), numerator);
  denominator = select(r0, set(2.0) + a, denominator);
  high = select(r0, set(4.63647609000806093515e-01), high);
  low = select(r0, set(2.26987774529616870924e-17), low);
  numerator = select(r1, a - set(1.0), numerator);
  denominator = select(r1, a + set(1.0), denominator);
  high = select(r1, set(7.85398163397448278999e-01), high);
  low = select(r1, set(3.06161699786838301793e-17), low);
  numerator = select(r2, a - set(1.5), numerator);
  denominator = select(r2, fma(set(1.5), a, set(1.0)), denominator);
  high = select(r2, set(9.82793723247329054082e-01), high);
  low = select(r2, set(1.39033110312309984516e-17), low);
}

// atan(x) for any double: +-pi/2 at +-inf, NaN for NaN, within one ulp. |x| is reduced to |t| <=
// 7/16 by one division, with the base angles 0, atan(1/2), atan(1), atan(3/2) and pi/2 (fdlibm).
SIMD_INLINE V atan_any(V x) {
  const V a = abs_of(x);
  V numerator, denominator, high, low;
  atan_ranges(a, numerator, denominator, high, low);
  const M r3 = a >= set(2.4375);
  numerator = select(r3, set(-1.0), numerator);
  denominator = select(r3, a, denominator);
  high = select(r3, set(1.57079632679489655800e+00), high);
  low = select(r3, set(6.12323399573676603587e-17), low);
  const V result = atan_reduced(numerator / denominator, high, low);
  return from_bits(or_int(bits(result), sign_bit_of(x)));
}

// atan2(y, x) for y > 0 (y finite), in (0, pi): atan(y / x) above the diagonal |x| >= y, x > 0;
// pi + atan(y / x) for x <= -y; pi/2 - atan(x / y) in between. The ratio is at most 1 in
// magnitude, and the base angle is added in two parts, so the result is within about one ulp.
SIMD_INLINE V atan2_of_positive(V y, V x) {
  const V a = abs_of(x);
  const M steep = a < y;  // NaN x: false, and the ratio is NaN
  const V ratio = select(steep, -x, y) / select(steep, y, x);
  const M left = (x < set(0.0)) & (a >= y);
  V high = select(steep, set(1.57079632679489655800e+00), select(left, set(3.14159265358979311600e+00), set(0.0)));
  V low = select(steep, set(6.12323399573676603587e-17), select(left, set(1.22464679914735317720e-16), set(0.0)));
  const V r = abs_of(ratio);
  V numerator, denominator, reduced_high, reduced_low;
  atan_ranges(r, numerator, denominator, reduced_high, reduced_low);
  // atan(|ratio|) = reduced_high + (reduced_low + e), e = t - t s; with the sign of the ratio the
  // whole angle is high + (low +- (reduced_high + (reduced_low + e))), summed small parts first.
  const V t = numerator / denominator;
  const V s = atan_polynomial(t);
  // atan(|ratio|) in two parts: head reduced_high + t (exact sum not needed: t is small against
  // it or reduced_high is 0), tail reduced_low - t s.
  const V magnitude = reduced_high + (fnma(t, s, reduced_low) + t);
  const V sign = from_bits(or_int(bits(set(1.0)), sign_bit_of(ratio)));
  return high + fma(sign, magnitude, low);
}

}  // namespace
}  // namespace brivane::BRIVANE_SIMD_NAMESPACE
