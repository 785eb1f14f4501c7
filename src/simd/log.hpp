#pragma once
// The natural logarithm: log over every double, and ln x in two parts for the powers.
//
// Contract (reference: quadruple precision, libquadmath):
// - log_any(x): at most 1 ulp (measured 0.816 ulp) on every instruction set over 2^-1074 to 2^1023 (steps of
//   0.29 in the exponent, subnormals included) and 50,001 points of [0.7, 1.5]
//   (tests/cpp/vector_math_test.cpp). -inf at 0, NaN below 0 and for NaN, +inf at +inf.
// - log_normal(x, bias): the same for positive normal finite x (log_any's fast path).
// - log_extended(x, head, tail): ln x = head + tail within about 2^-59 relative for positive
//   normal finite x (fdlibm's bound on its polynomial); not measured by itself, only through
//   pow_positive (at most 0.89 ulp). Other lanes carry no meaning.
#include "simd/exp.hpp"

namespace brivane::BRIVANE_SIMD_NAMESPACE {
namespace {

// ---- log ---------------------------------------------------------------------------------------

// Coefficients of (log(1+f) - 2s - ...)/(2s) in s^2, s = f / (2 + f), on [sqrt(1/2) - 1,
// sqrt(2) - 1] (Sun's fdlibm, e_log.c; error below 2^-58.45).
constexpr double kLg1 = 6.666666666666735130e-01;
constexpr double kLg2 = 3.999999999940941908e-01;
constexpr double kLg3 = 2.857142874366239149e-01;
constexpr double kLg4 = 2.222219843214978396e-01;
constexpr double kLg5 = 1.818357216161805012e-01;
constexpr double kLg6 = 1.531383769920937332e-01;
constexpr double kLg7 = 1.479819860511658591e-01;
constexpr double kTwo52 = 4503599627370496.0;

// log(x) for x in [2^-1022, 2^1024) from its exponent k and its mantissa m, with s = f / (2 + f),
// f = m - 1, as in fdlibm (below one ulp). `exponent_bias` is 1023, or 1023 + 52 for a subnormal
// number scaled by 2^52.
SIMD_INLINE V log_normal(V x, V exponent_bias) {
  const I b = bits(x);
  // The mantissa m in [sqrt(1/2), sqrt(2)): take it in [1, 2) and halve it above sqrt(2).
  const V mantissa = from_bits(or_int(and_int(b, set_int(0x000fffffffffffffLL)), set_int(0x3ff0000000000000LL)));
  const M upper = mantissa > set(1.4142135623730951);
  const V m = select(upper, mantissa * set(0.5), mantissa);
  // The exponent as a double without an integer conversion instruction.
  const V biased = from_bits(or_int(shr<52>(b), set_int(0x4330000000000000LL))) - set(kTwo52);
  const V k = (biased - exponent_bias) + select(upper, set(1.0), set(0.0));

  const V f = m - set(1.0);
  const V s = f / (set(2.0) + f);
  const V z = s * s;
  const V w = z * z;
  const V t1 = w * fma(w, fma(w, set(kLg6), set(kLg4)), set(kLg2));
  const V t2 = z * fma(w, fma(w, fma(w, set(kLg7), set(kLg5)), set(kLg3)), set(kLg1));
  const V r = t2 + t1;
  const V half_f_squared = set(0.5) * (f * f);
  return k * set(kLn2High) - ((half_f_squared - fma(s, half_f_squared + r, k * set(kLn2Low))) - f);
}

// log(x): -inf at 0, NaN below 0 and for NaN, +inf at +inf; subnormal inputs are scaled into the
// normal range first. Below one ulp. Vectors of positive normal numbers (the usual case) skip the
// special cases; the values are the same either way.
SIMD_INLINE V log_any(V x) {
  const V smallest_normal = set(2.2250738585072014e-308);
  if (all((x >= smallest_normal) & (x < set(__builtin_inf())))) return log_normal(x, set(1023.0));
  const M subnormal = x < smallest_normal;
  V result = log_normal(select(subnormal, x * set(kTwo52), x), select(subnormal, set(1023.0 + 52.0), set(1023.0)));
  result = select(x == set(0.0), set(-__builtin_inf()), result);
  result = select(x == set(__builtin_inf()), x, result);
  result = select(x < set(0.0), set(__builtin_nan("")), result);
  return select(unordered(x, x), x, result);
}

// ln x as head + tail, for positive normal x: about 2^-59 of the result. With x = 2^k m, m in
// [sqrt(1/2), sqrt(2)), f = m - 1 and s = f / (2 + f) carried with its rounding error, ln m =
// 2s + s R(s^2) (fdlibm's R, error below 2^-58.45), and k ln 2 in two parts.
SIMD_INLINE void log_extended(V x, V& head, V& tail) {
  const I b = bits(x);
  const V mantissa = from_bits(or_int(and_int(b, set_int(0x000fffffffffffffLL)), set_int(0x3ff0000000000000LL)));
  const M upper = mantissa > set(1.4142135623730951);
  const V m = select(upper, mantissa * set(0.5), mantissa);
  const V biased = from_bits(or_int(shr<52>(b), set_int(0x4330000000000000LL))) - set(kTwo52);
  const V k = (biased - set(1023.0)) + select(upper, set(1.0), set(0.0));
  const V f = m - set(1.0);  // exact
  const V denominator = set(2.0) + f;
  const V denominator_tail = (set(2.0) - denominator) + f;  // exact: 2 + f = denominator + tail
  const V s = f / denominator;
  const V s_tail = ((f - s * denominator) - product_error(s, denominator, s * denominator) - s * denominator_tail) /
                   denominator;
  const V z = s * s;
  const V w = z * z;
  const V t1 = w * fma(w, fma(w, set(kLg6), set(kLg4)), set(kLg2));
  const V t2 = z * fma(w, fma(w, fma(w, set(kLg7), set(kLg5)), set(kLg3)), set(kLg1));
  const V r = t2 + t1;
  const V a = k * set(kLn2High);  // exact
  const V twice_s = set(2.0) * s;
  const V sum = a + twice_s;
  const V back = sum - a;
  const V error = (a - (sum - back)) + (twice_s - back);
  head = sum;
  tail = error + fma(k, set(kLn2Low), fma(s, r, set(2.0) * s_tail));
}

}  // namespace
}  // namespace brivane::BRIVANE_SIMD_NAMESPACE
