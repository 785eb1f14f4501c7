#include "em_gamma_ll.hpp"

#include <algorithm>

#include "failure.hpp"

namespace brivane {

namespace {

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

void check_e_step_sizes(std::size_t components, std::size_t density_rows, std::size_t output_rows,
                        std::size_t intensity, std::size_t n) {
  require_length(density_rows, components);
  require_length(output_rows, components);
  require_length(intensity, n);
}

std::vector<const double*> row_pointers(const RowMatrix& matrix) {
  std::vector<const double*> rows(matrix.rows());
  for (std::size_t k = 0; k < rows.size(); ++k) rows[k] = matrix.row(k).data();
  return rows;
}

std::vector<double*> row_pointers(RowMatrix& matrix) {
  std::vector<double*> rows(matrix.rows());
  for (std::size_t k = 0; k < rows.size(); ++k) rows[k] = matrix.row(k).data();
  return rows;
}

}  // namespace

double gamma_and_log_likelihood(std::span<const double> intensity, const RowMatrix& densities,
                                std::span<const double> pi, std::span<double> mixture,
                                RowMatrix& responsibilities) {
  const std::size_t n = mixture.size();
  if (n == 0) return 0.0;
  check_e_step_sizes(pi.size(), densities.rows(), responsibilities.rows(), intensity.size(), n);
  const std::vector<const double*> density_rows = row_pointers(densities);
  const std::vector<double*> rows = row_pointers(responsibilities);
  EStepPass pass;
  pass.intensity = intensity.data();
  pass.components = pi.size();
  pass.pi = pi.data();
  pass.densities = density_rows.data();
  pass.rows = rows.data();
  pass.weights = false;
  pass.mixture = mixture.data();
  ChunkedSums sums(n, 1 + pi.size(), e_step_scratch(pi.size()), false);
  std::vector<double> totals(sums.sums());
  const SimdKernels& kernels = simd_kernels();
  sums.run([&](std::size_t begin, std::size_t end, double* chunk_sums,
               double* scratch) { kernels.e_step_chunk(pass, begin, end, chunk_sums, scratch); },
           totals);
  return totals[0];
}

WeightPass::WeightPass(std::span<const double> intensity, const RowMatrix& densities, std::span<const double> pi,
                       RowMatrix& weights, bool parallel)
    : n_(densities.cols()),
      intensity_(intensity),
      pi_(pi),
      rows_(densities.rows()),
      weight_rows_(weights.rows()),
      density_rows_(row_pointers(densities)),
      weight_row_pointers_(row_pointers(weights)),
      sums_(densities.cols(), 1 + pi.size(), e_step_scratch(pi.size()), parallel),
      totals_(1 + pi.size()) {}

void WeightPass::check() const { check_e_step_sizes(pi_.size(), rows_, weight_rows_, intensity_.size(), n_); }

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
