#include "em_gamma_ll.hpp"

#include <algorithm>

#include "failure.hpp"
#include "vector_math.hpp"

namespace brivane {

namespace {

// Samples per block of the E-step: the block's densities, responsibilities and logarithms stay
// in the first-level cache while every component passes over them.
constexpr std::size_t kBlock = 512;

void check_weight_update_sizes(std::size_t components, std::size_t rows, std::size_t alphas) {
  // The first component that lacks either its responsibility row or its concentration fails.
  if (components <= std::min(rows, alphas)) return;
  if (rows <= alphas) fail_index(rows, rows);
  fail_index(alphas, alphas);
}

// pi holds b[k] without the prior on entry and the new weights on return.
void dirichlet_update(std::span<double> pi, std::span<const double> dirichlet_alpha) {
  double total = 0.0;
  for (std::size_t k = 0; k < pi.size(); ++k) {
    pi[k] = pi[k] + dirichlet_alpha[k] - 1.0;
    total += pi[k];
  }
  double clamped_total = 0.0;
  for (double& weight : pi) {
    const double share = weight / total;
    weight = share > 0.0 ? share : 0.0;
    clamped_total += weight;
  }
  for (double& weight : pi) weight = weight / clamped_total;
}

// Adds one block of every row to that row's sum. Each sum still grows in sample order; up to
// eight sums advance together so that their additions overlap instead of each waiting on the one
// before.
void accumulate_row_sums(const RowMatrix& rows, std::size_t start, std::size_t len,
                         std::span<double> sums) {
  constexpr std::size_t kGroup = 8;
  for (std::size_t first = 0; first < sums.size(); first += kGroup) {
    const std::size_t group = std::min(kGroup, sums.size() - first);
    const double* row[kGroup];
    double sum[kGroup];
    for (std::size_t j = 0; j < group; ++j) {
      row[j] = rows.row(first + j).data() + start;
      sum[j] = sums[first + j];
    }
    for (std::size_t i = 0; i < len; ++i) {
      for (std::size_t j = 0; j < group; ++j) sum[j] += row[j][i];
    }
    for (std::size_t j = 0; j < group; ++j) sums[first + j] = sum[j];
  }
}

// One E-step over blocks of samples. With kWeights, rows receive intensity * G and the counts
// their sums; otherwise rows receive G.
template <bool kWeights>
[[gnu::always_inline]] inline double e_step(std::span<const double> intensity, const RowMatrix& densities,
              std::span<const double> pi, std::span<double> mixture, RowMatrix& rows,
              std::span<double> expected_counts) {
  const std::size_t n = mixture.size();
  if (n == 0) return 0.0;
  const std::size_t components = pi.size();
  require_length(densities.rows(), components);
  require_length(rows.rows(), components);
  require_length(intensity.size(), n);
  if constexpr (kWeights) std::fill(expected_counts.begin(), expected_counts.end(), 0.0);

  double logs[kBlock];
  double log_likelihood = 0.0;
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t len = std::min(kBlock, n - start);
    double* __restrict m = mixture.data() + start;
    const double* __restrict counts = intensity.data() + start;
    // Each m[i] sums its terms in component order, starting from 0.
    std::fill(m, m + len, 0.0);
    for (std::size_t k = 0; k < components; ++k) {
      const double weight = pi[k];
      const double* __restrict d = densities.row(k).data() + start;
      for (std::size_t i = 0; i < len; ++i) m[i] += weight * d[i];
    }
    for (std::size_t k = 0; k < components; ++k) {
      const double weight = pi[k];
      const double* __restrict d = densities.row(k).data() + start;
      double* __restrict g = rows.row(k).data() + start;
      if constexpr (kWeights) {
        for (std::size_t i = 0; i < len; ++i) g[i] = counts[i] * ((d[i] * weight) / (m[i] + 1e-20));
      } else {
        for (std::size_t i = 0; i < len; ++i) g[i] = (d[i] * weight) / (m[i] + 1e-20);
      }
    }
    if constexpr (kWeights) accumulate_row_sums(rows, start, len, expected_counts);
    for (std::size_t i = 0; i < len; ++i) logs[i] = m[i] + 1e-200;
    log_in_place({logs, len});
    for (std::size_t i = 0; i < len; ++i) log_likelihood += counts[i] * logs[i];
  }
  return log_likelihood;
}

}  // namespace

__attribute__((target_clones("avx2", "default")))
double gamma_and_log_likelihood(std::span<const double> intensity, const RowMatrix& densities,
                                std::span<const double> pi, std::span<double> mixture,
                                RowMatrix& responsibilities) {
  return e_step<false>(intensity, densities, pi, mixture, responsibilities, {});
}

__attribute__((target_clones("avx2", "default")))
double weights_and_log_likelihood(std::span<const double> intensity, const RowMatrix& densities,
                                  std::span<const double> pi, std::span<double> mixture,
                                  RowMatrix& weights, std::span<double> expected_counts) {
  require_length(expected_counts.size(), pi.size());
  return e_step<true>(intensity, densities, pi, mixture, weights, expected_counts);
}

void update_mixing_weights(std::span<double> pi, std::span<const double> intensity,
                           const RowMatrix& responsibilities,
                           std::span<const double> dirichlet_alpha) {
  const std::size_t components = pi.size();
  check_weight_update_sizes(components, responsibilities.rows(), dirichlet_alpha.size());
  const std::size_t n = std::min(intensity.size(), responsibilities.cols());
  // pi's old values are not needed: the expected counts are built in its place.
  for (std::size_t k = 0; k < components; ++k) {
    const double* g = responsibilities.row(k).data();
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += intensity[i] * g[i];
    pi[k] = sum;
  }
  dirichlet_update(pi, dirichlet_alpha);
}

void update_mixing_weights_from_counts(std::span<double> pi, std::span<const double> expected_counts,
                                       std::size_t rows, std::span<const double> dirichlet_alpha) {
  check_weight_update_sizes(pi.size(), rows, dirichlet_alpha.size());
  std::copy_n(expected_counts.begin(), pi.size(), pi.begin());
  dirichlet_update(pi, dirichlet_alpha);
}

}  // namespace brivane
