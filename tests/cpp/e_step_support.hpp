#pragma once
// The E-step in its responsibilities form and the weight update from responsibility rows: the
// textbook forms of what the EM loop does through WeightPass and expected counts, kept here as
// references for the tests.

#include <algorithm>
#include <span>
#include <vector>

#include "em_gamma_ll.hpp"
#include "failure.hpp"
#include "matrix.hpp"
#include "parallel.hpp"
#include "passes/e_step_pass.hpp"
#include "vector_math.hpp"

namespace brivane {

// E-step over the P = len(pi) first components through the kernels' responsibilities form: the
// mixture density m[i] = sum_k pi[k] D[k][i] (k in order, from 0), the responsibilities
// G[k][i] = (D[k][i] pi[k]) (1 / (m[i] + 1e-20)), and the weighted log-likelihood
// sum_i intensity[i] ln(m[i] + 1e-200) in the fixed chunk order of ChunkedSums. An empty grid
// gives 0; a pi longer than the rows, or an intensity shorter than the grid, raises the index
// Failure before anything is computed.
inline double gamma_and_log_likelihood(std::span<const double> intensity, const RowMatrix& densities,
                                       std::span<const double> pi, std::span<double> mixture,
                                       RowMatrix& responsibilities) {
  const std::size_t n = mixture.size();
  if (n == 0) return 0.0;
  require_length(densities.rows(), pi.size());
  require_length(responsibilities.rows(), pi.size());
  require_length(intensity.size(), n);
  std::vector<const double*> density_rows(pi.size());
  std::vector<double*> rows(pi.size());
  for (std::size_t k = 0; k < pi.size(); ++k) {
    density_rows[k] = densities.row(k).data();
    rows[k] = responsibilities.row(k).data();
  }
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
  const EStepKernels& kernels = e_step_kernels();
  sums.run([&](std::size_t begin, std::size_t end, double* chunk_sums,
               double* scratch) { kernels.chunk(pass, begin, end, chunk_sums, scratch); },
           totals);
  return totals[0];
}

// The Dirichlet weight update from responsibility rows: the expected counts
// sum_i intensity[i] G[k][i] in sample order, then update_mixing_weights_from_counts.
inline void update_mixing_weights(std::span<double> pi, std::span<const double> intensity,
                                  const RowMatrix& responsibilities, std::span<const double> dirichlet_alpha) {
  std::vector<double> counts(pi.size());
  const std::size_t n = std::min(intensity.size(), responsibilities.cols());
  for (std::size_t k = 0; k < std::min(pi.size(), responsibilities.rows()); ++k) {
    const double* g = responsibilities.row(k).data();
    for (std::size_t i = 0; i < n; ++i) counts[k] += intensity[i] * g[i];
  }
  update_mixing_weights_from_counts(pi, counts, responsibilities.rows(), dirichlet_alpha);
}

}  // namespace brivane
