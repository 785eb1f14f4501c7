#pragma once
// The exponential family: exp over every double, 2^(-y^2) times a factor (the bell curve exp(-z^2)
// with z scaled into y), and exp of a value carried with a tail.
//
// Contract (errors in ulp of the exact result, reference: quadruple precision, libquadmath):
// - exp_full(x): at most 1 ulp where the result is normal, tested on 100,001 points of
//   [-745, 709.7] on every instruction set (tests/cpp/vector_math_test.cpp): measured 0.892 ulp
//   with FMA, 0.926 without. +inf above 709.78, +0 below -745.13, NaN for NaN; subnormal
//   results are rounded once (not measured).
// - exp_mostly_normal(x): the same bits as exp_full (the shortcut is taken only where every lane's
//   result is normal).
// - exp2_of_minus_square(y, 2 f): f 2^(-y^2) within 1 ulp of the exact product with FMA, 1.5 ulp of
//   f 2^(-fl(y^2)) without, where y^2 <= 1021 (tested on 120,000 points of |y| <= 32.2 with f = 1:
//   measured 0.954 ulp with FMA, 1.105 without); 0 where 2^(-y^2) < 2^-1022.5, either 0 or within
//   1 ulp in between; NaN for NaN; |y| beyond 40 counts as 40 (a flushed zero).
// - exp_with_tail(x, t): exp(x + t) for |t| below an ulp of x or so; measured through pow_positive
//   (simd/pow.hpp, at most 0.89 ulp); otherwise as exp_full.
#include "simd/lanes.hpp"

namespace brivane::BRIVANE_SIMD_NAMESPACE {
namespace {

// ---- exp ---------------------------------------------------------------------------------------

constexpr double kLog2e = 1.4426950408889634;
// ln 2 split so that k * kLn2High is exact for |k| < 2^21 (Cody and Waite).
constexpr double kLn2High = 6.93147180369123816490e-01;
constexpr double kLn2Low = 1.90821492927058770002e-10;
constexpr double kExpOverflow = 709.782712893384;     // above: +inf
constexpr double kExpUnderflow = -745.1332191019412;  // below: +0

// exp(x) = 2^k (1 + u). Returns u and k (as the integer in the low bits of `shifted`).
//
// x = k ln2 + r, |r| <= ln2 / 2, with hi = x - k ln2_high exact and lo = k ln2_low. exp(r) =
// 1 + r + r^2 q(r), q a degree-9 fit of (exp(r) - 1 - r) / r^2 on |r| <= ln2 / 2 (relative error
// of exp(r) below 2e-17). The small terms are summed first and the exact hi last, so only the last
// two additions round at the size of the result: below 0.9 ulp in all, with or without FMA.
// With a tail, the same for exp(x + x_tail), |x_tail| below an ulp of x or so: the tail joins the
// reduction's low part (a zero tail gives the same bits as none).
SIMD_INLINE V exp_mantissa_minus_one(V x, V x_tail, V& shifted) {
  shifted = fma(x, set(kLog2e), set(kRoundingShift));
  const V k = shifted - set(kRoundingShift);
  const V hi = fnma(k, set(kLn2High), x);
  const V lo = fma(k, set(kLn2Low), -x_tail);
  const V r = hi - lo;
  V q = set(2.510038549551032e-08);
  q = fma(q, r, set(2.7620088445409746e-07));
  q = fma(q, r, set(2.7557268459997064e-06));
  q = fma(q, r, set(2.4801521295954376e-05));
  q = fma(q, r, set(0.00019841269863053618));
  q = fma(q, r, set(0.0013888888917213717));
  q = fma(q, r, set(0.008333333333330062));
  q = fma(q, r, set(0.04166666666662413));
  q = fma(q, r, set(0.16666666666666669));
  q = fma(q, r, set(0.5000000000000001));
  return hi + fma(r * r, q, -lo);
}
SIMD_INLINE V exp_mantissa_minus_one(V x, V& shifted) { return exp_mantissa_minus_one(x, set(0.0), shifted); }

SIMD_INLINE I exponent_of(V shifted) { return sub_int(bits(shifted), bits(set(kRoundingShift))); }

// exp(x) = p 2^k for any double x: +inf above 709.78, +0 below -745.13, NaN for NaN, subnormal
// results in between rounded once. 2^k as 2^h 2^(k-h), h = floor(k/2), keeps both factors normal
// down to the subnormal results near -745, where only the last product rounds. The bias of 2048
// makes k positive for the logical shift; lanes outside [-1100, 1100] are replaced at the end.
SIMD_INLINE V exp_from_parts(V p, V shifted, V x) {
  const I k = exponent_of(shifted);
  const I h = sub_int(shr<1>(add_int(k, set_int(2048))), set_int(1024));
  const V low = from_bits(shl<52>(add_int(h, set_int(1023))));
  const V high = from_bits(shl<52>(add_int(sub_int(k, h), set_int(1023))));
  V result = (p * low) * high;
  result = select(x > set(kExpOverflow), set(__builtin_inf()), result);
  result = select(x < set(kExpUnderflow), set(0.0), result);
  return select(unordered(x, x), x, result);
}

SIMD_INLINE V exp_full(V x) {
  V shifted;
  return exp_from_parts(set(1.0) + exp_mantissa_minus_one(x, shifted), shifted, x);
}

// factor * 2^(-y^2), which is factor * exp(-z^2) for y = z sqrt(log2 e), with results below about
// 2^-1021 times the factor flushed to 0 instead of rounded towards the subnormals: subnormal
// results are slow on most processors, and a term that small changes no sum that adds a floor of
// 1e-200 or more to it (or multiplies by it). `twice_factor` is 2 * factor. With FMA within one ulp of 2^(-y^2) (times the
// factor, rounded once) where 2^(-y^2) >= 2^-1021; without FMA y^2 is rounded first and the last
// step rounds twice (1.5 ulp of 2^(-round(y^2))). 0 where 2^(-y^2) < 2^-1022.5; NaN for NaN.
//
// Working in powers of 2 makes the reduction exact and cheap: with k = round(-y^2), FMA gives
// r = -y^2 - k in [-1/2, 1/2] from the exact y^2 with one rounding, and 2^r = 1 + r Q(r), Q a
// degree-10 fit of (2^r - 1) / r (relative error of 2^r below 2e-17). No lane is treated apart:
// |y| is clamped to 40 (NaN passes through), and 2^k = 2 * 2^(k-1) is built from the bits of
// max(k, -1022) - 1 + 1023, which is +0 for k <= -1022.
SIMD_INLINE V exp2_of_minus_square(V y, V twice_factor) {
  const V clamped = max_or_second(set(-40.0), min_or_second(set(40.0), y));
  const V shifted = fnma(clamped, clamped, set(kRoundingShift));  // shift - y^2, rounded to an integer
  const V minus_k = set(kRoundingShift) - shifted;
  const V r = fnma(clamped, clamped, minus_k);
  V q = set(4.4549643712692967e-10);
  q = fma(q, r, set(7.072593027878997e-09));
  q = fma(q, r, set(1.0178062426976924e-07));
  q = fma(q, r, set(1.3215442552522291e-06));
  q = fma(q, r, set(1.525273382986708e-05));
  q = fma(q, r, set(0.00015403530441794136));
  q = fma(q, r, set(0.0013333558146416916));
  q = fma(q, r, set(0.009618129107606854));
  q = fma(q, r, set(0.0555041086648216));
  q = fma(q, r, set(0.24022650695910097));
  q = fma(q, r, set(0.6931471805599453));
  const V floored = max_or_second(set(kRoundingShift - 1022.0), shifted);
  const V scale = from_bits(shl<52>(sub_int(bits(floored), set_int(std::bit_cast<std::int64_t>(kRoundingShift) - 1022))));
  // 2 factor (1 + r Q), the last step rounded once.
  return fma(twice_factor * r, q, twice_factor) * scale;
}

// exp(x + x_tail) for |x_tail| below an ulp of x or so.
SIMD_INLINE V exp_with_tail(V x, V x_tail) {
  V shifted;
  return exp_from_parts(set(1.0) + exp_mantissa_minus_one(x, x_tail, shifted), shifted, x);
}

SIMD_INLINE V exp_mostly_normal(V a) {
  if (all((a >= set(-708.0)) & (a <= set(709.0)))) {
    V shifted;
    const V p = set(1.0) + exp_mantissa_minus_one(a, shifted);
    return p * from_bits(shl<52>(add_int(exponent_of(shifted), set_int(1023))));
  }
  return exp_full(a);
}

}  // namespace
}  // namespace brivane::BRIVANE_SIMD_NAMESPACE
