#include "model/likelihood.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

namespace brivane::model {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double poisson_deviance_tail(const double* y, const double* mu, std::size_t begin, std::size_t end);

}  // namespace

bool admissible(std::span<const double> counts, std::span<const double> mu) {
  for (std::size_t i = 0; i < counts.size(); ++i) {
    const double m = mu[i];
    if (!(m >= 0.0) || !std::isfinite(m)) return false;  // NaN fails the first test
    if (m == 0.0 && counts[i] > 0.0) return false;
  }
  return true;
}

namespace {

// ln Gamma(z) without the global sign that lgamma also writes (signgam): fits on several threads
// call it at once, and the write is a data race even though nobody reads the sign.
double log_gamma(double z) {
  int sign = 0;
  return ::lgamma_r(z, &sign);
}

}  // namespace

double poisson_log_likelihood(std::span<const double> counts, std::span<const double> mu) {
  if (!admissible(counts, mu)) return kNaN;
  double sum = 0.0;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    const double y = counts[i];
    sum += (y > 0.0 ? y * std::log(mu[i]) : 0.0) - mu[i] - log_gamma(y + 1.0);
  }
  return sum;
}

namespace {

constexpr std::size_t kTableSize = 1024;

double saturated_term(double y) {
  return y > 0.0 ? y * std::log(y) - y - log_gamma(y + 1.0) : 0.0;
}

}  // namespace

double saturated_log_likelihood(std::span<const double> counts) {
  static const std::array<double, kTableSize> table = [] {
    std::array<double, kTableSize> t{};
    for (std::size_t k = 0; k < kTableSize; ++k) t[k] = saturated_term(static_cast<double>(k));
    return t;
  }();
  double sum = 0.0;
  for (double y : counts) {
    const bool whole = y < static_cast<double>(kTableSize) && y == std::floor(y);
    sum += whole ? table[static_cast<std::size_t>(y)] : saturated_term(y);
  }
  return sum;
}

double poisson_deviance(std::span<const double> counts, std::span<const double> mu) {
  if (!admissible(counts, mu)) return kNaN;
  return 2.0 * poisson_deviance_tail(counts.data(), mu.data(), 0, counts.size());
}

namespace {

// Two channels at a time in the baseline x86-64 vector (the sums' order is fixed by the code, not
// by the instruction set).
using Lanes = double __attribute__((vector_size(16)));
using Mask = long long __attribute__((vector_size(16)));

inline Lanes load(const double* p) {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// ln((1 + s) / (1 - s)) = 2 atanh(s) = 2 (s + s^3/3 + s^5/5 + ...), for |s| <= 1/8: the nine terms
// up to s^17/17 leave a remainder below s^18/19 < 1e-18 of the sum. The ratio of two positive
// numbers a / b within [7/9, 9/7] is (1 + s) / (1 - s) with s = (a - b) / (a + b), whose
// difference is exact (a and b within a factor 2), so its logarithm costs one division and a
// polynomial, in vectors, where the library's log1p is a call per channel.
// (Vectors travel by reference: a four-lane vector passed by value would take an ABI of its own.)
template <class V>
__attribute__((always_inline)) inline void two_atanh(const V& s, V& out) {
  const V s2 = s * s;
  V p = 1.0 / 17.0 + s2 * 0.0;
  for (double c : {1.0 / 15.0, 1.0 / 13.0, 1.0 / 11.0, 1.0 / 9.0, 1.0 / 7.0, 1.0 / 5.0, 1.0 / 3.0, 1.0}) p = c + s2 * p;
  out = 2.0 * s * p;
}

inline double two_atanh(double s) {
  Lanes v = {s, 0.0}, out;
  two_atanh(v, out);
  return out[0];
}

constexpr double kSeriesRange = 0.125;

// sum over [begin, end) of y ln(y / mu) - (y - mu) (mu admissible): ln(y / mu) by the series of
// 2 atanh((y - mu) / (y + mu)) within its range, two channels at a time, the library's log1p of
// (y - mu) / mu (without rounding y / mu first) beyond it in a second pass.
double poisson_deviance_tail(const double* y, const double* mu, std::size_t begin, std::size_t end) {
  const Lanes zero = {0.0, 0.0};
  Lanes sum0 = zero, sum1 = zero;
  Mask wide = {0, 0};
  auto pair = [&](std::size_t i, Lanes& sum) {
    const Lanes yv = load(y + i), m = load(mu + i);
    const Mask positive = yv > zero;
    const Lanes ratio = (yv - m) / (yv + m);
    const Mask narrow = (ratio <= kSeriesRange) & (ratio >= -kSeriesRange);
    wide |= ~narrow & positive;
    Lanes series;
    two_atanh(ratio, series);
    sum += ((positive & narrow) ? yv * series : zero) - (yv - m);
  };
  std::size_t i = begin;
  for (; i + 4 <= end; i += 4) {
    pair(i, sum0);
    pair(i + 2, sum1);
  }
  const Lanes total = sum0 + sum1;
  double sum = total[0] + total[1];
  bool any_wide = wide[0] || wide[1];
  for (; i < end; ++i) {
    const double ratio = (y[i] - mu[i]) / (y[i] + mu[i]);
    const bool narrow = std::abs(ratio) <= kSeriesRange;
    any_wide = any_wide || (!narrow && y[i] > 0.0);
    sum += (y[i] > 0.0 && narrow ? y[i] * two_atanh(ratio) : 0.0) - (y[i] - mu[i]);
  }
  if (any_wide) {
    for (std::size_t k = begin; k < end; ++k) {
      if (!(y[k] > 0.0)) continue;
      const double ratio = (y[k] - mu[k]) / (y[k] + mu[k]);
      if (!(std::abs(ratio) <= kSeriesRange)) sum += y[k] * std::log1p((y[k] - mu[k]) / mu[k]);
    }
  }
  return sum;
}


// The vector pass of deviance_change over the channels [0, stop), stop a multiple of four, in
// vectors of two (the baseline) or four (AVX2) channels: each channel's term goes to the partial
// sum of its place in the step of four, and the four are added as (0 + 2) + (1 + 3), so both widths
// give the same bits (no fused multiply-add, which would round differently).
struct ChangePass {
  double sum = 0.0;
  bool admissible = true, wide = false;
};

template <class V>
__attribute__((always_inline)) inline ChangePass change_pass(const double* y, const double* old_values,
                                                             const double* new_values, std::size_t stop) {
  constexpr std::size_t kLanes = sizeof(V) / sizeof(double), kAccumulators = 4 / kLanes;
  const V zero = V{} * 0.0;
  V sum[kAccumulators];
  for (std::size_t a = 0; a < kAccumulators; ++a) sum[a] = zero;
  auto fine = zero == zero, wide = zero != zero;
  for (std::size_t i = 0; i < stop; i += 4) {
    for (std::size_t a = 0; a < kAccumulators; ++a) {
      const std::size_t j = i + a * kLanes;
      V yv, m, o;
      std::memcpy(&yv, y + j, sizeof yv);
      std::memcpy(&m, new_values + j, sizeof m);
      std::memcpy(&o, old_values + j, sizeof o);
      const V difference = o - m;
      const auto positive = yv > zero;
      fine &= (m >= zero) & (m <= std::numeric_limits<double>::max()) & ~((m == zero) & positive);
      const V ratio = difference / (o + m);
      const auto narrow = (ratio <= kSeriesRange) & (ratio >= -kSeriesRange);
      wide |= ~narrow & positive;
      V series;
      two_atanh(ratio, series);
      sum[a] += ((positive & narrow) ? yv * series : zero) - difference;
    }
  }
  auto lane = [&](std::size_t place) { return sum[place / kLanes][place % kLanes]; };
  ChangePass pass;
  pass.sum = (lane(0) + lane(2)) + (lane(1) + lane(3));
  for (std::size_t k = 0; k < kLanes; ++k) {
    pass.admissible = pass.admissible && fine[k] != 0;
    pass.wide = pass.wide || wide[k] != 0;
  }
  return pass;
}

using Quad = double __attribute__((vector_size(32)));

ChangePass change_pass_baseline(const double* y, const double* old_values, const double* new_values,
                                std::size_t stop) {
  return change_pass<Lanes>(y, old_values, new_values, stop);
}

__attribute__((target("avx2"))) ChangePass change_pass_avx2(const double* y, const double* old_values,
                                                            const double* new_values, std::size_t stop) {
  return change_pass<Quad>(y, old_values, new_values, stop);
}

const bool kHasAvx2 = __builtin_cpu_supports("avx2");

}  // namespace

double deviance_change(std::span<const double> counts, std::span<const double> mu_old,
                       std::span<const double> mu_new) {
  // One pass in vectors, without calls or branches: every channel's -difference, y times
  // ln(mu_old / mu_new) = 2 atanh(s), s = (mu_old - mu_new) / (mu_old + mu_new), by its series
  // where |s| <= 1/8 (a relative change up to 28 %), and the admissibility of mu_new. Channels
  // beyond the series' range (far from the optimum, where steps are large) take the library's
  // log1p in a second pass.
  const std::size_t n = counts.size();
  const double* y = counts.data();
  const double* old_values = mu_old.data();
  const double* new_values = mu_new.data();
  const std::size_t stop = n - n % 4;
  const ChangePass pass = kHasAvx2 ? change_pass_avx2(y, old_values, new_values, stop)
                                   : change_pass_baseline(y, old_values, new_values, stop);
  double sum = pass.sum;
  bool admissible_new = pass.admissible, any_wide = pass.wide;
  std::size_t i = stop;
  for (; i < n; ++i) {
    const double m = new_values[i], difference = old_values[i] - m;
    admissible_new = admissible_new && m >= 0.0 && std::isfinite(m) && !(m == 0.0 && y[i] > 0.0);
    const double ratio = difference / (old_values[i] + m);
    const bool narrow = std::abs(ratio) <= kSeriesRange;
    any_wide = any_wide || (!narrow && y[i] > 0.0);
    sum += (y[i] > 0.0 && narrow ? y[i] * two_atanh(ratio) : 0.0) - difference;
  }
  if (!admissible_new) return kNaN;
  if (any_wide) {
    for (std::size_t k = 0; k < n; ++k) {
      if (!(y[k] > 0.0)) continue;
      const double ratio = (old_values[k] - new_values[k]) / (old_values[k] + new_values[k]);
      if (!(std::abs(ratio) <= kSeriesRange)) sum += y[k] * std::log1p((old_values[k] - new_values[k]) / new_values[k]);
    }
  }
  return 2.0 * sum;
}

double pearson_chi_square(std::span<const double> counts, std::span<const double> mu) {
  // A plain division per channel: the sums are the only order to fix, and four independent ones
  // keep the divisions' latency from serialising the loop.
  constexpr double kFloor = 1e-300;
  const std::size_t n = counts.size();
  const double* y = counts.data();
  const double* m = mu.data();
  auto term = [&](std::size_t i) {
    const double d = y[i] - m[i];
    return d * d / (m[i] > kFloor || m[i] != m[i] ? m[i] : kFloor);
  };
  double sum[4] = {0.0, 0.0, 0.0, 0.0};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (std::size_t a = 0; a < 4; ++a) sum[a] += term(i + a);
  }
  double total = (sum[0] + sum[2]) + (sum[1] + sum[3]);
  for (; i < n; ++i) total += term(i);
  return total;
}

}  // namespace brivane::model
