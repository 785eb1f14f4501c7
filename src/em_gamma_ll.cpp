#include "em_gamma_ll.hpp"

#include <algorithm>

#include "failure.hpp"
#include "vector_math.hpp"

namespace brivane {

double gamma_and_log_likelihood(std::span<const double> intensity, const RowMatrix& densities,
                                std::span<const double> pi, std::span<double> mixture,
                                RowMatrix& responsibilities, std::span<double> scratch) {
  const std::size_t n = mixture.size();
  if (n == 0) return 0.0;
  const std::size_t components = pi.size();
  require_length(densities.rows(), components);
  require_length(responsibilities.rows(), components);

  // Component-outer loops keep every pass contiguous; each m[i] still sums its terms in
  // component order starting from 0.
  std::fill(mixture.begin(), mixture.end(), 0.0);
  for (std::size_t k = 0; k < components; ++k) {
    const double weight = pi[k];
    const double* __restrict d = densities.row(k).data();
    double* __restrict m = mixture.data();
    for (std::size_t i = 0; i < n; ++i) m[i] += weight * d[i];
  }
  for (std::size_t k = 0; k < components; ++k) {
    const double weight = pi[k];
    const double* __restrict d = densities.row(k).data();
    const double* __restrict m = mixture.data();
    double* __restrict g = responsibilities.row(k).data();
    for (std::size_t i = 0; i < n; ++i) g[i] = (d[i] * weight) / (m[i] + 1e-20);
  }

  require_length(intensity.size(), n);
  double* __restrict logs = scratch.data();
  for (std::size_t i = 0; i < n; ++i) logs[i] = mixture[i] + 1e-200;
  log_in_place(scratch.first(n));
  double log_likelihood = 0.0;
  for (std::size_t i = 0; i < n; ++i) log_likelihood += intensity[i] * logs[i];
  return log_likelihood;
}

void update_mixing_weights(std::span<double> pi, std::span<const double> intensity,
                           const RowMatrix& responsibilities,
                           std::span<const double> dirichlet_alpha) {
  const std::size_t components = pi.size();
  // The first component that lacks either its responsibility row or its concentration fails.
  if (components > std::min(responsibilities.rows(), dirichlet_alpha.size())) {
    if (responsibilities.rows() <= dirichlet_alpha.size()) {
      fail_index(responsibilities.rows(), responsibilities.rows());
    }
    fail_index(dirichlet_alpha.size(), dirichlet_alpha.size());
  }
  const std::size_t n = std::min(intensity.size(), responsibilities.cols());
  // pi's old values are not needed: b, then c, are built in its place.
  double total = 0.0;
  for (std::size_t k = 0; k < components; ++k) {
    const double* g = responsibilities.row(k).data();
    double expected_count = 0.0;
    for (std::size_t i = 0; i < n; ++i) expected_count += intensity[i] * g[i];
    pi[k] = expected_count + dirichlet_alpha[k] - 1.0;
    total += pi[k];
  }
  double clamped_total = 0.0;
  for (std::size_t k = 0; k < components; ++k) {
    const double share = pi[k] / total;
    pi[k] = share > 0.0 ? share : 0.0;
    clamped_total += pi[k];
  }
  for (std::size_t k = 0; k < components; ++k) pi[k] = pi[k] / clamped_total;
}

}  // namespace brivane
