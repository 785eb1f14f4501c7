#include "vector_math.hpp"

#include <bit>
#include <cstdint>

// Branch-free log over arrays, written like exp_kernel so that the compiler vectorises it.

namespace brivane {

namespace {

using namespace vector_math_detail;

// Minimax coefficients of (log(1+f) - 2s - ...)/(2s) in s^2, s = f / (2 + f), on
// [sqrt(1/2) - 1, sqrt(2) - 1] (Sun's fdlibm, e_log.c; error below 2^-58.45).
constexpr double kLg1 = 6.666666666666735130e-01;
constexpr double kLg2 = 3.999999999940941908e-01;
constexpr double kLg3 = 2.857142874366239149e-01;
constexpr double kLg4 = 2.222219843214978396e-01;
constexpr double kLg5 = 1.818357216161805012e-01;
constexpr double kLg6 = 1.531383769920937332e-01;
constexpr double kLg7 = 1.479819860511658591e-01;
constexpr double kTwo52 = 4503599627370496.0;
constexpr std::uint64_t kMantissaMask = 0x000fffffffffffffULL;
constexpr std::uint64_t kExponentOne = 0x3ff0000000000000ULL;

inline double log_kernel(double x) {
  // Subnormal inputs are scaled into the normal range first.
  const bool subnormal = x < 2.2250738585072014e-308;
  const double scaled = subnormal ? x * kTwo52 : x;
  const std::uint64_t bits = to_bits(scaled);
  // m in [sqrt(1/2), sqrt(2)): take the mantissa in [1, 2) and halve it above sqrt(2).
  const double mantissa = from_bits((bits & kMantissaMask) | kExponentOne);
  const bool upper = mantissa > 1.4142135623730951;
  const std::uint64_t exponent_field = (bits >> 52) & 0x7ff;
  const double m = upper ? mantissa * 0.5 : mantissa;
  // The exponent as a double without an integer conversion instruction.
  const double biased = from_bits(0x4330000000000000ULL | exponent_field) - kTwo52;
  const double k = biased - (subnormal ? 1023.0 + 52.0 : 1023.0) + (upper ? 1.0 : 0.0);

  const double f = m - 1.0;
  const double s = f / (2.0 + f);
  const double z = s * s;
  const double w = z * z;
  const double t1 = w * (kLg2 + w * (kLg4 + w * kLg6));
  const double t2 = z * (kLg1 + w * (kLg3 + w * (kLg5 + w * kLg7)));
  const double r = t2 + t1;
  const double half_f_squared = 0.5 * f * f;
  double result = k * kLn2High - ((half_f_squared - (s * (half_f_squared + r) + k * kLn2Low)) - f);
  result = x == 0.0 ? -__builtin_inf() : result;
  result = x == __builtin_inf() ? x : result;
  result = x < 0.0 ? __builtin_nan("") : result;
  return x != x ? x : result;
}

}  // namespace

__attribute__((target_clones("avx2", "default")))
void exp_in_place(std::span<double> values) {
  double* __restrict v = values.data();
  const std::size_t n = values.size();
  for (std::size_t i = 0; i < n; ++i) v[i] = exp_kernel(v[i]);
}

__attribute__((target_clones("avx2", "default")))
void log_in_place(std::span<double> values) {
  double* __restrict v = values.data();
  const std::size_t n = values.size();
  for (std::size_t i = 0; i < n; ++i) v[i] = log_kernel(v[i]);
}

}  // namespace brivane
