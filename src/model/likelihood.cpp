#include "model/likelihood.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

namespace brivane::model {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// log1p(e) for |e| <= 1/64 as 2 atanh(s), s = e / (2 + e), |s| <= 1/127: five odd terms leave a
// remainder below s^11 / 11 < 1e-23 of s, so the result carries the few ulps of forming s (within
// 3 ulps of log1p's). Near the optimum every channel's model changes by far less than this, and
// the library's log1p would cost more than the rest of the pass together.
inline double log1p_small(double e) {
  const double s = e / (2.0 + e);
  const double s2 = s * s;
  return 2.0 * s * (1.0 + s2 * (1.0 / 3.0 + s2 * (1.0 / 5.0 + s2 * (1.0 / 7.0 + s2 * (1.0 / 9.0)))));
}

inline double log1p_fast(double e) { return std::abs(e) <= 0.015625 ? log1p_small(e) : std::log1p(e); }

}  // namespace

bool admissible(std::span<const double> counts, std::span<const double> mu) {
  for (std::size_t i = 0; i < counts.size(); ++i) {
    const double m = mu[i];
    if (!(m >= 0.0) || !std::isfinite(m)) return false;  // NaN fails the first test
    if (m == 0.0 && counts[i] > 0.0) return false;
  }
  return true;
}

double poisson_log_likelihood(std::span<const double> counts, std::span<const double> mu) {
  if (!admissible(counts, mu)) return kNaN;
  double sum = 0.0;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    const double y = counts[i];
    sum += (y > 0.0 ? y * std::log(mu[i]) : 0.0) - mu[i] - std::lgamma(y + 1.0);
  }
  return sum;
}

namespace {

constexpr std::size_t kTableSize = 1024;

double saturated_term(double y) {
  return y > 0.0 ? y * std::log(y) - y - std::lgamma(y + 1.0) : 0.0;
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
  double sum = 0.0;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    const double y = counts[i], m = mu[i];
    if (y > 0.0) {
      const double relative = (y - m) / m;  // y / m - 1 without rounding y / m first
      sum += y * log1p_fast(relative) - (y - m);
    } else {
      sum += m;
    }
  }
  return 2.0 * sum;
}

double deviance_change(std::span<const double> counts, std::span<const double> mu_old,
                       std::span<const double> mu_new) {
  if (!admissible(counts, mu_new)) return kNaN;
  double sum = 0.0;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    const double y = counts[i], difference = mu_old[i] - mu_new[i];
    if (y > 0.0) {
      sum += y * log1p_fast(difference / mu_new[i]) - difference;
    } else {
      sum -= difference;
    }
  }
  return 2.0 * sum;
}

}  // namespace brivane::model
