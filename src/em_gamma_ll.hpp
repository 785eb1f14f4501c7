#pragma once
// E-step and Dirichlet weight update of the EM mixture fits.

#include <cstddef>
#include <span>

#include "matrix.hpp"

namespace brivane {

// E-step over the P = len(pi) first components. Fills the mixture density
//   m[i] = sum_k pi[k] D[k][i]                         (k in order, from 0)
// and the responsibilities G[k][i] = (D[k][i] pi[k]) / (m[i] + 1e-20), and returns the weighted
// log-likelihood sum_i intensity[i] ln(m[i] + 1e-200) accumulated in sample order. The floors
// keep both finite where the mixture vanishes. An empty grid gives 0 and computes nothing.
// `scratch` holds n doubles. A pi longer than the rows of D, or an intensity shorter than the
// grid, raises the index Failure before anything is computed.
double gamma_and_log_likelihood(std::span<const double> intensity, const RowMatrix& densities,
                                std::span<const double> pi, std::span<double> mixture,
                                RowMatrix& responsibilities, std::span<double> scratch);

// The E-step as the EM loop uses it: the same log-likelihood, but row k receives the sample
// weights intensity[i] G[k][i] that the refits, the tilt estimate and the weight update need
// (nothing else reads the responsibilities), and expected_counts[k] (one per entry of pi) their
// sums in sample order. With `parallel` the samples are shared among the worker pool; every sum
// still runs in sample order, so the result is the same either way.
double weights_and_log_likelihood(std::span<const double> intensity, const RowMatrix& densities,
                                  std::span<const double> pi, std::span<double> mixture,
                                  RowMatrix& weights, std::span<double> expected_counts,
                                  std::span<double> scratch, bool parallel);

// Maximum a posteriori mixing weights under a Dirichlet prior, in place:
//   b[k] = sum_i intensity[i] G[k][i] + alpha[k] - 1,  c[k] = b[k] / sum(b)  (0 unless > 0),
//   pi[k] = c[k] / sum(c).
// Concentrations below 1 may drive a weight to exactly 0; all-zero c gives NaN weights (0/0), as
// the data then carry no information. Fewer responsibility rows or concentrations than weights
// raise the index Failure for the first component that lacks one.
void update_mixing_weights(std::span<double> pi, std::span<const double> intensity,
                           const RowMatrix& responsibilities,
                           std::span<const double> dirichlet_alpha);

// The same update from expected counts made by the E-step (one per entry of pi); `rows` is the
// number of responsibility rows, for the size check.
void update_mixing_weights_from_counts(std::span<double> pi, std::span<const double> expected_counts,
                                       std::size_t rows, std::span<const double> dirichlet_alpha);

}  // namespace brivane
