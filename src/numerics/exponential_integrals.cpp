#include "numerics/exponential_integrals.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

#include "failure.hpp"
#include "vector_math.hpp"

namespace brivane {

namespace {

// Where the terms of a formula are larger than its result (the series near x = 1, whose terms
// reach three times E1(1)) or where several roundings would add up (exp(-x) times a continued
// fraction), the sums are carried as double-doubles: a value is hi + lo with |lo| at most half
// an ulp of hi. The transforms below are exact as long as every product and sum is rounded as
// written, which the build guarantees (no contraction into fused multiply-adds).
struct Double2 {
  double hi;
  double lo;
};

inline Double2 two_sum(double a, double b) {
  const double s = a + b;
  const double b_part = s - a;
  const double a_part = s - b_part;
  return {s, (a - a_part) + (b - b_part)};
}

// The same when |a| >= |b| (or a is 0).
inline Double2 quick_two_sum(double a, double b) {
  const double s = a + b;
  return {s, b - (s - a)};
}

// Dekker's split of a into two halves of 26 bits each, so that their products are exact.
inline Double2 split(double a) {
  const double t = 134217729.0 * a;  // 2^27 + 1
  const double hi = t - (t - a);
  return {hi, a - hi};
}

inline Double2 two_product(double a, double b) {
  const double p = a * b;
  const Double2 as = split(a);
  const Double2 bs = split(b);
  return {p, ((as.hi * bs.hi - p) + as.hi * bs.lo + as.lo * bs.hi) + as.lo * bs.lo};
}

inline Double2 negate(Double2 a) { return {-a.hi, -a.lo}; }

inline Double2 scale(Double2 a, double power_of_two) { return {a.hi * power_of_two, a.lo * power_of_two}; }

inline Double2 add(Double2 a, Double2 b) {
  Double2 s = two_sum(a.hi, b.hi);
  const Double2 t = two_sum(a.lo, b.lo);
  s = quick_two_sum(s.hi, s.lo + t.hi);
  return quick_two_sum(s.hi, s.lo + t.lo);
}

inline Double2 add(Double2 a, double b) {
  const Double2 s = two_sum(a.hi, b);
  return quick_two_sum(s.hi, s.lo + a.lo);
}

inline Double2 multiply(Double2 a, double b) {
  const Double2 p = two_product(a.hi, b);
  return quick_two_sum(p.hi, p.lo + a.lo * b);
}

inline Double2 multiply(Double2 a, Double2 b) {
  const Double2 p = two_product(a.hi, b.hi);
  return quick_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

// a / b: the double quotient q plus the correction (a - q b) / b, the remainder formed exactly.
inline Double2 divide(Double2 a, double b) {
  const double q = a.hi / b;
  const Double2 p = two_product(q, b);
  const double remainder = ((a.hi - p.hi) - p.lo) + a.lo;
  return quick_two_sum(q, remainder / b);
}

// 1 / a: the double quotient q plus the correction (1 - q a) / a, whose remainder 1 - q a is
// formed from the exact product q a.hi (1 - that product is exact, the two being within an ulp).
inline Double2 reciprocal(Double2 a) {
  const double q = 1.0 / a.hi;
  const Double2 p = two_product(q, a.hi);
  const double remainder = ((1.0 - p.hi) - p.lo) - q * a.lo;
  return quick_two_sum(q, remainder / a.hi);
}

// ln 2 in three pieces; the first two have 42 significant bits, so their products with any
// exponent below 2^11 in magnitude are exact.
constexpr double kLn2A = 0x1.62e42fefa3800p-1;
constexpr double kLn2B = 0x1.ef35793c76800p-45;
constexpr double kLn2C = -0x1.9ff0342542fc3p-90;
constexpr double kLog2e = 1.4426950408889634;
constexpr double kSqrtHalf = 0.70710678118654752;

// Euler's constant as a double-double.
constexpr Double2 kEulerGamma = {0x1.2788cfc6fb619p-1, -0x1.6cb90701fbfabp-58};

// Coefficients c[j] of a series sum_j c[j] x^j, evaluated by Horner's rule from the last.
template <std::size_t N>
inline double horner(const std::array<double, N>& c, double x) {
  double sum = c[N - 1];
  for (std::size_t j = N - 1; j-- > 0;) sum = sum * x + c[j];
  return sum;
}

constexpr double factorial(int k) {
  double f = 1.0;
  for (int j = 2; j <= k; ++j) f *= j;
  return f;
}

// 1/3, 1/5, ..., 1/23: 2 atanh(s) = 2s + 2s^3 (1/3 + s^2/5 + ...). With s^2 <= 0.0295 the first
// omitted term is below 1e-19 of the sum.
constexpr std::array<double, 11> kAtanhSeries = [] {
  std::array<double, 11> c{};
  for (int j = 0; j < 11; ++j) c[j] = 1.0 / (2 * j + 3);
  return c;
}();

// ln x for a finite x > 0 (subnormals included) as a double-double, to about 2^-100 relative.
// x = 2^m f with f in [sqrt(1/2), sqrt(2)); ln f = 2 atanh((f - 1) / (f + 1)), whose quotient
// is formed as a double-double (f - 1 is exact) and whose odd terms beyond the first are at
// most 1% of it, so a double suffices for them.
Double2 log_double2(double x) {
  int exponent = 0;
  double f = std::frexp(x, &exponent);
  if (f < kSqrtHalf) {
    f *= 2.0;
    --exponent;
  }
  const double numerator = f - 1.0;
  const Double2 denominator = two_sum(f, 1.0);
  const double s = numerator / denominator.hi;
  const Double2 p = two_product(s, denominator.hi);
  const double s_low = (((numerator - p.hi) - p.lo) - s * denominator.lo) / denominator.hi;
  const double s2 = s * s;
  const Double2 log_f = add(Double2{2.0 * s, 2.0 * s_low}, 2.0 * s * s2 * horner(kAtanhSeries, s2));
  const double m = exponent;
  const Double2 log_scale = add(two_sum(m * kLn2A, m * kLn2B), m * kLn2C);
  return add(log_scale, log_f);
}

// The series about 0, for 0 < x <= 1, with L = ln x + gamma:
//   E1(x) = -L + x - x^2/4 + x^3/18 + x^4 U(x),          U = sum_{k>=4} (-1)^(k+1) x^(k-4) / (k k!),
//   E2(x) = 1 - x + x L - x^2/2 + x^3/12 + x^4 V(x),     V = sum_{k>=4} (-1)^(k+1) x^(k-4) / ((k-1) k!).
// (E2 is the series of exp(-x) - x E1(x).) Near x = 1 the terms are up to three times the
// result, so everything but the quartic tails is summed in double-double; the tails are at most
// 0.009 and 0.014 and carry their rounding at that size, a few hundredths of an ulp of the
// result. The terms stop at k = 20, where x^k / (k k!) is below 1e-19 of either result.
constexpr std::size_t kSeriesTerms = 17;
constexpr std::array<double, kSeriesTerms> kE1Tail = [] {
  std::array<double, kSeriesTerms> c{};
  for (int k = 4; k < 4 + static_cast<int>(kSeriesTerms); ++k) {
    c[k - 4] = (k % 2 == 1 ? 1.0 : -1.0) / (k * factorial(k));
  }
  return c;
}();
constexpr std::array<double, kSeriesTerms> kE2Tail = [] {
  std::array<double, kSeriesTerms> c{};
  for (int k = 4; k < 4 + static_cast<int>(kSeriesTerms); ++k) {
    c[k - 4] = (k % 2 == 1 ? 1.0 : -1.0) / ((k - 1) * factorial(k));
  }
  return c;
}();

template <bool kE1, bool kE2>
ExponentialIntegrals series(double x) {
  const Double2 l = add(log_double2(x), kEulerGamma);
  const Double2 x2 = two_product(x, x);
  const Double2 x3 = multiply(x2, x);
  const double x4 = x2.hi * x2.hi;
  ExponentialIntegrals result{0.0, 0.0};
  if constexpr (kE1) {
    Double2 e1 = add(Double2{x, 0.0}, negate(scale(x2, 0.25)));
    e1 = add(e1, divide(x3, 18.0));
    e1 = add(e1, x4 * horner(kE1Tail, x));
    e1 = add(e1, negate(l));
    result.e1 = e1.hi + e1.lo;
  }
  if constexpr (kE2) {
    Double2 e2 = add(two_sum(1.0, -x), multiply(l, x));
    e2 = add(e2, negate(scale(x2, 0.5)));
    e2 = add(e2, divide(x3, 12.0));
    e2 = add(e2, x4 * horner(kE2Tail, x));
    result.e2 = e2.hi + e2.lo;
  }
  return result;
}

// exp(-x) = m 2^k for 1 < x <= 709.79, m in [0.70, 1.42] as a double-double. The reduced
// argument r = -x - k ln 2 is exact to 2^-100 (the first two products with the pieces of ln 2
// are exact, -x - k kLn2A by Sterbenz's lemma); exp(r) = 1 + r + r^2/2 + r^3 P(r) with the
// cubic tail (at most 0.0075) in double.
constexpr std::array<double, 14> kExpTail = [] {
  std::array<double, 14> c{};
  for (int j = 0; j < 14; ++j) c[j] = 1.0 / factorial(j + 3);
  return c;
}();

struct ScaledExp {
  Double2 mantissa;
  int exponent;
};

ScaledExp exp_of_negative(double x) {
  const double k = std::nearbyint(-x * kLog2e);
  Double2 r = two_sum(-x - k * kLn2A, -k * kLn2B);
  r = add(r, -k * kLn2C);
  Double2 square = two_product(r.hi, r.hi);
  square.lo += 2.0 * r.hi * r.lo;
  Double2 e = quick_two_sum(1.0, r.hi);
  e = add(e, r.lo);
  e = add(e, scale(square, 0.5));
  e = add(e, r.hi * r.hi * r.hi * horner(kExpTail, r.hi));
  return {e, static_cast<int>(k)};
}

// exp(x) E_n(x) for x > 1 as the continued fraction
//   C1 = 1/(b1 - a1/(b2 - a2/(b3 - ...))),  b_j = x + 2j - 1,  a_j = j^2,
// whose tails Q_j = 1/(b_j - a_j Q_(j+1)) give C1 = Q_1 = 1/(x + 1 - Q_2) and, since
// exp(x) E2 = 1 - x C1, C2 = C1 (1 - Q_2): one fraction serves both integrals, and unlike the
// recurrence E2 = exp(-x) - x E1 nothing cancels for large x.
//
// The fraction is evaluated backwards, from a depth J with Q_(J+1) taken as 0. Forwards, by the
// three-term recurrences of numerator and denominator, it is ill-conditioned here: with b_j
// about 2j and a_j = j^2 the recurrence has a double characteristic root, both of its solutions
// grow alike, and every step cancels (near x = 1 the result came out 2e-14 off). Backwards, an
// error in Q_(j+1) enters Q_j multiplied by a_j Q_j^2 < 1, so roundings are damped on their way
// up, as is the truncation. The truncation error decays like exp(-4 (sqrt(J x) - sqrt(3 x))),
// so J = (11 + sqrt(3x))^2 / x + 3 (rounded up) levels leave it below 2^-64 relative for every
// x > 1 (checked against exact arithmetic): 166 levels at x = 1, 17 at x = 30, 8 near 709.
// The last two levels are taken in double-double: a relative error of Q_3 reaches C1 multiplied
// by at most 0.06 and C2 by at most 0.09 (at x = 1, less for larger x), so the few roundings
// of the deep tail add about a tenth of an ulp to the final product's.
//
// The deep tail carries Q_j as a ratio N_j / D_j, N_j = D_(j+1) and D_j = b_j D_(j+1) - a_j N_(j+1)
// (from Q_(J+1) = 0 / 1), and divides once at the end: a division per level would set the pace,
// a product and a difference per level take less than half its time. The same roundings enter
// D_j, relative to it, as enter the denominator b_j - a_j Q_(j+1) above, and an error of D_(j+1)
// reaches Q_j = D_(j+1) / D_j damped as before. D grows by about b_j per level, so it is scaled
// down by 2^-600 (exactly) whenever it passes 2^600.
double deep_tail(double x) {
  const double root = std::sqrt(3.0 * x);
  const int depth = static_cast<int>(std::ceil((11.0 + root) * (11.0 + root) / x)) + 3;
  double numerator = 0.0;
  double denominator = 1.0;
  for (int j = depth; j >= 3; --j) {
    const double a = static_cast<double>(j) * j;
    const double next = (x + (2.0 * j - 1.0)) * denominator - a * numerator;
    numerator = denominator;
    denominator = next;
    if (denominator > 0x1p600) {
      numerator *= 0x1p-600;
      denominator *= 0x1p-600;
    }
  }
  return numerator / denominator;
}

template <bool kE1, bool kE2>
ExponentialIntegrals continued_fraction(double x) {
  const double q3 = deep_tail(x);
  const Double2 q2 = reciprocal(add(two_sum(x, 3.0), -4.0 * q3));
  const Double2 c1 = reciprocal(add(two_sum(x, 1.0), negate(q2)));
  const ScaledExp e = exp_of_negative(x);
  ExponentialIntegrals result{0.0, 0.0};
  // The product is rounded once to a double and then scaled by 2^k, exactly unless the result
  // is subnormal (x above about 701.8), where the second rounding is that of the subnormal grid.
  if constexpr (kE1) {
    const Double2 m = multiply(e.mantissa, c1);
    result.e1 = std::ldexp(m.hi + m.lo, e.exponent);
  }
  if constexpr (kE2) {
    const Double2 c2 = multiply(c1, add(two_sum(1.0, -q2.hi), -q2.lo));
    const Double2 m = multiply(e.mantissa, c2);
    result.e2 = std::ldexp(m.hi + m.lo, e.exponent);
  }
  return result;
}

template <bool kE1, bool kE2>
ExponentialIntegrals evaluate(double x) {
  if (!(x >= 0.0)) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return {nan, nan};
  }
  if (x == 0.0) return {std::numeric_limits<double>::infinity(), 1.0};
  if (x > kExponentialIntegralCutoff) return {0.0, 0.0};
  if (x <= 1.0) return series<kE1, kE2>(x);
  return continued_fraction<kE1, kE2>(x);
}

}  // namespace

double exponential_integral_e1(double x) { return evaluate<true, false>(x).e1; }

double exponential_integral_e2(double x) { return evaluate<false, true>(x).e2; }

ExponentialIntegrals exponential_integrals(double x) { return evaluate<true, true>(x); }

void exponential_integrals(std::span<const double> x, std::span<double> e1, std::span<double> e2) {
  if (!e1.empty()) require_length(e1.size(), x.size());
  if (!e2.empty()) require_length(e2.size(), x.size());
  simd_kernels().exponential_integrals(x.data(), x.size(), e1.empty() ? nullptr : e1.data(),
                                       e2.empty() ? nullptr : e2.data());
}

}  // namespace brivane
