#pragma once
// Elementary functions for the hot loops of the EM iteration.
//
// exp_kernel and the log behind log_in_place are branch-free, written so that the compiler
// vectorises the loops that call them: every special case is a select, the integer work uses
// 64-bit lanes, and no integer-to-double conversion beyond SSE2 is needed. Both are within one
// unit in the last place of the exact result over the whole double range (checked against long
// double in the unit tests). Products and sums are not contracted, so every instruction-set clone
// gives identical results. The core is compiled with -fno-trapping-math, which lets the selects
// become vector blends; it changes no value.

#include <bit>
#include <cstdint>
#include <span>

namespace brivane {

namespace vector_math_detail {

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

}  // namespace vector_math_detail

// exp(x) for any double: +inf above 709.78, +0 below -745.13, NaN for NaN, subnormal results in
// between rounded once.
inline double exp_kernel(double x) {
  using namespace vector_math_detail;
  // x = k ln2 + r with |r| <= ln2 / 2, exp(x) = 2^k exp(r).
  const double shifted = x * kLog2e + kRoundingShift;
  const double k = shifted - kRoundingShift;
  const std::int64_t k_int =
      static_cast<std::int64_t>(to_bits(shifted)) - static_cast<std::int64_t>(to_bits(kRoundingShift));
  // r = hi - lo carried in two parts: hi is exact, lo holds the rounding of the reduction.
  const double hi = x - k * kLn2High;
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

// values[i] = exp(values[i]) for every entry.
void exp_in_place(std::span<double> values);

// values[i] = log(values[i]) for every entry: -inf at 0, NaN below 0 and for NaN.
void log_in_place(std::span<double> values);

}  // namespace brivane
