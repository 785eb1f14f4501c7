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

namespace {

// sum_i a_i b_i in four interleaved partial sums: the additions of one sum wait on each other, so a
// single running sum would hold the loop to one term per addition latency.
double dot(const double* a, const double* b, std::size_t n) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    s0 += a[i] * b[i];
    s1 += a[i + 1] * b[i + 1];
    s2 += a[i + 2] * b[i + 2];
    s3 += a[i + 3] * b[i + 3];
  }
  for (; i < n; ++i) s0 += a[i] * b[i];
  return (s0 + s1) + (s2 + s3);
}

}  // namespace

void score_and_information(std::span<const double> jacobian, std::size_t free_count, std::span<const double> counts,
                           std::span<const double> mu, std::span<double> score, std::span<double> information,
                           std::span<double> weighted, std::span<double> residual) {
  const std::size_t n = counts.size();
  // weighted first holds 1 / mu, residual (y - mu) / mu.
  for (std::size_t i = 0; i < n; ++i) {
    const double m = mu[i];
    const double inverse = m > 0.0 ? 1.0 / m : 0.0;
    residual[i] = (counts[i] - m) * inverse;
    weighted[i] = inverse;
  }
  for (std::size_t l = 0; l < free_count; ++l) score[l] = dot(jacobian.data() + l * n, residual.data(), n);
  // residual is free again: it holds each column divided by mu in turn.
  for (std::size_t l = 0; l < free_count; ++l) {
    const double* column = jacobian.data() + l * n;
    for (std::size_t i = 0; i < n; ++i) residual[i] = column[i] * weighted[i];
    for (std::size_t k = l; k < free_count; ++k) {
      const double sum = dot(jacobian.data() + k * n, residual.data(), n);
      information[k * free_count + l] = sum;
      information[l * free_count + k] = sum;
    }
  }
}

}  // namespace brivane::model
