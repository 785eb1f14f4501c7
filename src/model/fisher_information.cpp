#include "model/fisher_information.hpp"

#include <algorithm>

namespace brivane::model {

void free_jacobian(const Problem& problem, std::span<const double> full_jacobian, std::span<const double> slope,
                   std::span<double> jacobian) {
  const std::size_t n = problem.channel_count();
  std::fill(jacobian.begin(), jacobian.begin() + n * problem.free_count(), 0.0);
  const auto root = problem.root();
  for (std::size_t j = 0; j < problem.parameter_count(); ++j) {
    if (root[j] == kNoRoot || slope[j] == 0.0) continue;
    const double s = slope[j];
    const double* from = full_jacobian.data() + j * n;
    double* to = jacobian.data() + root[j] * n;
    for (std::size_t i = 0; i < n; ++i) to[i] += s * from[i];
  }
}

void score_and_information(std::span<const double> jacobian, std::size_t free_count, std::span<const double> counts,
                           std::span<const double> mu, std::span<double> score, std::span<double> information,
                           std::span<double> weighted) {
  const std::size_t n = counts.size();
  for (std::size_t l = 0; l < free_count; ++l) {
    const double* column = jacobian.data() + l * n;
    double g = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double m = mu[i];
      const double inverse = m > 0.0 ? 1.0 / m : 0.0;
      weighted[i] = column[i] * inverse;
      g += weighted[i] * (counts[i] - m);  // J (y / mu - 1), formed as J (y - mu) / mu
    }
    score[l] = g;
    for (std::size_t k = l; k < free_count; ++k) {
      const double* other = jacobian.data() + k * n;
      double sum = 0.0;
      for (std::size_t i = 0; i < n; ++i) sum += weighted[i] * other[i];
      information[k * free_count + l] = sum;
      information[l * free_count + k] = sum;
    }
  }
}

}  // namespace brivane::model
