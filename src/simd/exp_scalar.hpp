#pragma once
// A scalar exp(x) for loops that form their exponent per sample and are left to the compiler's
// own vectorisation (compiled for baseline x86-64 and for AVX2 alike): written branch-free so that
// such loops still vectorise. Unlike the other headers here it is plain C++, with no lanes.
//
// Contract (reference: quadruple precision, libquadmath): exp_kernel(x) for any double, at most
// 1 ulp where the result is normal, tested on 200,001 points of [-708, 709.7]
// (tests/cpp/vector_math_test.cpp): measured 0.854 ulp; by construction at most 0.88 ulp. +inf above 709.78, +0 below
// -745.13, NaN for NaN; subnormal results in between are rounded once (not measured).

#include <bit>
#include <cstdint>

namespace brivane {

namespace exp_scalar_detail {

inline double from_bits(std::uint64_t bits) { return std::bit_cast<double>(bits); }
inline std::uint64_t to_bits(double value) { return std::bit_cast<std::uint64_t>(value); }

constexpr double kLog2e = 1.4426950408889634;
// ln 2 split so that k * kLn2High is exact for |k| < 2^21 (Cody and Waite 1980).
constexpr double kLn2High = 6.93147180369123816490e-01;
constexpr double kLn2Low = 1.90821492927058770002e-10;
// Adding 1.5 * 2^52 rounds a double of magnitude below 2^51 to an integer held in the low bits.
constexpr double kRoundingShift = 6755399441055744.0;
constexpr double kExpOverflow = 709.782712893384;     // above: +inf
constexpr double kExpUnderflow = -745.1332191019412;  // below: +0

}  // namespace exp_scalar_detail

inline double exp_kernel(double x) {
  using namespace exp_scalar_detail;
  // Beyond these the result is +inf or +0 anyway (the selects below); holding x here keeps the
  // integer arithmetic of the exponent from overflowing for huge negative arguments. NaN passes.
  const double held = x < -746.0 ? -746.0 : (x > 710.0 ? 710.0 : x);
  // x = k ln2 + r with |r| <= ln2 / 2, exp(x) = 2^k exp(r).
  const double shifted = held * kLog2e + kRoundingShift;
  const double k = shifted - kRoundingShift;
  const std::int64_t k_int =
      static_cast<std::int64_t>(to_bits(shifted)) - static_cast<std::int64_t>(to_bits(kRoundingShift));
  // r = hi - lo carried in two parts: hi is exact, lo holds the rounding of the reduction.
  const double hi = held - k * kLn2High;
  const double lo = k * kLn2Low;
  const double r = hi - lo;
  // exp(r) = 1 + r + r^2 q(r), q the Taylor series of (exp(r) - 1 - r) / r^2 to degree 11 (the
  // remainder is below 5e-18 on |r| <= 0.347). The small terms are summed first and the exact
  // hi last, so only the final two additions round at the size of the result: at most 0.88 ulp,
  // with no division in the loop.
  double q = 1.0 / 6227020800.0;
  q = q * r + 1.0 / 479001600.0;
  q = q * r + 1.0 / 39916800.0;
  q = q * r + 1.0 / 3628800.0;
  q = q * r + 1.0 / 362880.0;
  q = q * r + 1.0 / 40320.0;
  q = q * r + 1.0 / 5040.0;
  q = q * r + 1.0 / 720.0;
  q = q * r + 1.0 / 120.0;
  q = q * r + 1.0 / 24.0;
  q = q * r + 1.0 / 6.0;
  q = q * r + 0.5;
  const double p = 1.0 + (hi + ((r * r) * q - lo));
  // 2^k in two halves keeps both factors normal down to the subnormal results near -745, where
  // only the last product rounds.
  const std::int64_t half = k_int >> 1;
  const double scale_low = from_bits(static_cast<std::uint64_t>(half + 1023) << 52);
  const double scale_high = from_bits(static_cast<std::uint64_t>(k_int - half + 1023) << 52);
  double result = (p * scale_low) * scale_high;
  result = x > kExpOverflow ? __builtin_inf() : result;
  result = x < kExpUnderflow ? 0.0 : result;
  return x != x ? x : result;
}

}  // namespace brivane
