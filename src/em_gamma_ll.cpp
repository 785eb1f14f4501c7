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

void update_mixing_weights_from_counts(std::span<double> pi, std::span<const double> expected_counts,
                                       std::size_t rows, std::span<const double> dirichlet_alpha) {
  check_weight_update_sizes(pi.size(), rows, dirichlet_alpha.size());
  std::copy_n(expected_counts.begin(), pi.size(), pi.begin());
  dirichlet_update(pi, dirichlet_alpha);
}

}  // namespace brivane
