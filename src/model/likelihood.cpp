#include "model/likelihood.hpp"

#include <cmath>
#include <cstddef>
#include <limits>

namespace brivane::model {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}

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

double poisson_deviance(std::span<const double> counts, std::span<const double> mu) {
  if (!admissible(counts, mu)) return kNaN;
  double sum = 0.0;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    const double y = counts[i], m = mu[i];
    if (y > 0.0) {
      const double relative = (y - m) / m;  // y / m - 1 without rounding y / m first
      sum += y * std::log1p(relative) - (y - m);
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
      sum += y * std::log1p(difference / mu_new[i]) - difference;
    } else {
      sum -= difference;
    }
  }
  return 2.0 * sum;
}

}  // namespace brivane::model
